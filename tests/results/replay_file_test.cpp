#include "results/replay_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xxhash.h>

#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "results/ghost_check.hpp"
#include "results/watch_pace.hpp"
#include "support/scratch_dir.hpp"

namespace {

using results::replay;
using results::replay_status;

// Title frames, a start key tapped, steering held, a bomb, the result screen left.
replay sample() {
    replay r;
    r.seed = 0xC0FFEE42u;
    r.pattern = {0x0123456789ABCDEFull, 0xFEDCBA9876543210ull};
    for (int i = 0; i < 200; ++i) results::append_update(r, 0);
    results::append_update(r, 1u << 2);                          // Return down now, up before
    for (int i = 0; i < 3; ++i) results::append_update(r, 1u << 2 | 1u << 13);
    for (int i = 0; i < 5000; ++i) results::append_update(r, 1u << 5 | 1u << 16);  // Left held
    results::append_update(r, (1u << 22) - 1);                    // every key, both snapshots
    results::append_update(r, 0);
    // A run played from update 201 to 5204, its result screen left by update 5206.
    r.finished_runs.push_back({200, 5204, 5206, 37, -5});
    return r;
}

void expect_same(const replay& a, const replay& b) {
    EXPECT_EQ(a.seed, b.seed);
    EXPECT_EQ(a.pattern, b.pattern);
    EXPECT_EQ(a.offset_ms, b.offset_ms);
    EXPECT_EQ(a.update_count, b.update_count);
    ASSERT_EQ(a.runs.size(), b.runs.size());
    for (std::size_t i = 0; i < a.runs.size(); ++i) {
        EXPECT_EQ(a.runs[i].length, b.runs[i].length) << "run " << i;
        EXPECT_EQ(a.runs[i].keys, b.runs[i].keys) << "run " << i;
    }
    ASSERT_EQ(a.finished_runs.size(), b.finished_runs.size());
    for (std::size_t i = 0; i < a.finished_runs.size(); ++i) {
        const results::run_summary &x = a.finished_runs[i], &y = b.finished_runs[i];
        EXPECT_EQ(std::vector<std::int64_t>({x.start_update, x.result_update, x.end_update, x.hits, x.score}),
                  std::vector<std::int64_t>({y.start_update, y.result_update, y.end_update, y.hits, y.score}))
            << "finished run " << i;
    }
}

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

// Sets a header field and makes the checksum fit again, for faults the
// checksum alone would not tell apart.
std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> b, std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    const std::size_t body = b.size() - results::replay_checksum_size;
    const std::uint64_t sum = XXH3_64bits(b.data(), body);
    for (int i = 0; i < 8; ++i) b[body + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    return b;
}

results::replay_read_result decode(const std::vector<std::uint8_t>& b, replay& out) {
    return results::decode_replay(b.data(), b.size(), out);
}

std::string message_for(const std::vector<std::uint8_t>& b) {
    replay out;
    return results::describe_replay_failure("run.vrp", decode(b, out));
}

TEST(ReplayFile, RoundTripsThroughAFileInLittleEndianLayout) {
    const replay r = sample();
    EXPECT_EQ(r.update_count, 5206u);
    EXPECT_EQ(r.runs.size(), 6u);

    const std::vector<std::uint8_t> bytes = results::encode_replay(r);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "VELMRPLY");
    EXPECT_EQ(le(bytes, 8, 2), 2u);
    EXPECT_EQ(le(bytes, 12, 4), 0xC0FFEE42u);
    EXPECT_EQ(le(bytes, 16, 8), 0x0123456789ABCDEFull);
    EXPECT_EQ(le(bytes, 24, 8), 0xFEDCBA9876543210ull);
    EXPECT_EQ(le(bytes, 36, 4), 5206u);
    const std::size_t p = le(bytes, 40, 4);
    EXPECT_EQ(p + 44 + 4 + 20 + 8, bytes.size());
    // 200 idle updates: length 200 as two bytes, key word 0 as one.
    EXPECT_EQ(le(bytes, 44, 3), 0x0001C8u);
    // One finished run after the key data.
    EXPECT_EQ(le(bytes, 44 + p, 4), 1u);
    EXPECT_EQ(le(bytes, 48 + p, 4), 200u);
    EXPECT_EQ(le(bytes, 52 + p, 4), 5204u);
    EXPECT_EQ(le(bytes, 56 + p, 4), 5206u);
    EXPECT_EQ(le(bytes, 60 + p, 4), 37u);
    EXPECT_EQ(le(bytes, 64 + p, 4), 0xFFFFFFFBu);

    test_support::scratch_dir dir;
    const std::string path = dir / "run.vrp";
    ASSERT_EQ(results::write_replay_file(path, r), "");
    replay back;
    const results::replay_read_result read = results::read_replay_file(path, back);
    ASSERT_EQ(read.status, replay_status::ok) << results::describe_replay_failure(path, read);
    expect_same(r, back);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.vrp"}) << "the temporary file was left behind";

    // The cursor hands out the updates in recorded order.
    results::replay_cursor cursor(back);
    std::uint32_t keys = 99, seen = 0, left_held = 0;
    while (cursor.next(keys)) {
        ++seen;
        if (keys == (1u << 5 | 1u << 16)) ++left_held;
    }
    EXPECT_EQ(seen, 5206u);
    EXPECT_EQ(left_held, 5000u);
    EXPECT_TRUE(cursor.at_end());

    // Version 1, from before runs were listed, still reads, and stays version 1.
    replay old = r;
    old.version = 1;
    old.finished_runs.clear();
    const std::vector<std::uint8_t> old_bytes = results::encode_replay(old);
    EXPECT_EQ(old_bytes.size(), p + 44 + 8);
    ASSERT_EQ(decode(old_bytes, back).status, replay_status::ok);
    EXPECT_EQ(back.version, 1u);
    expect_same(old, back);
    EXPECT_EQ(results::encode_replay(back), old_bytes);
}

// A session of three runs kept up to the end of its second: a replay of it
// stops as that run's result screen is left.
TEST(ReplayFile, CutsASessionAfterAnEndedRun) {
    replay r;
    for (std::uint32_t k : {0u, 1u, 1u, 0u, 0u, 2u, 0u, 0u, 0u, 4u}) results::append_update(r, k);
    r.finished_runs = {{1, 2, 3, 1, 10}, {4, 5, 7, 2, 20}, {8, 9, 0, 3, 30}};
    replay cut = r;
    EXPECT_FALSE(results::cut_after_run(cut, 2)) << "the third run never ended";
    EXPECT_FALSE(results::cut_after_run(cut, 3));
    ASSERT_TRUE(results::cut_after_run(cut, 1));
    EXPECT_EQ(cut.update_count, 7u);
    ASSERT_EQ(cut.finished_runs.size(), 2u);
    EXPECT_EQ(cut.finished_runs[1].score, 20);
    std::vector<std::uint32_t> keys;
    results::replay_cursor cursor(cut);
    for (std::uint32_t k; cursor.next(k);) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::uint32_t>{0, 1, 1, 0, 0, 2, 0}));
    replay back;
    const std::vector<std::uint8_t> bytes = results::encode_replay(cut);
    ASSERT_EQ(decode(bytes, back).status, replay_status::ok);
    expect_same(cut, back);
}

// The ratio as the result screen shows it, rounded to float32 and truncated.
TEST(ReplayFile, RatioTextIsTheResultScreensFigure) {
    const std::pair<std::pair<std::int32_t, std::int32_t>, const char*> rows[] = {
        {{0, 0}, "0.00"},          {{0, 1234}, "1234.00"},     {{3, 100}, "2.22"},
        {{1, 15}, "1.00"},         {{7, 1}, "0.00"},           {{3823, 513115}, "8.94"},
        {{-1, 1}, "0.00"},         {{0, -1}, "0.00"},  // 2^32 wraps in the ten digits, as on the screen
    };
    for (const auto& [counters, text] : rows) {
        EXPECT_EQ(results::ratio_text(results::shown_ratio(counters.first, counters.second)), text)
            << counters.first << " hits, score " << counters.second;
    }
}

TEST(ReplayFile, OverwritesWholeAndLeavesTheOldFileOnAFailedWrite) {
    test_support::scratch_dir dir;
    const std::string path = dir / "run.vrp";
    { std::ofstream(path) << "an older file"; }
    replay r = sample();
    ASSERT_EQ(results::write_replay_file(path, r), "");
    replay back;
    ASSERT_EQ(results::read_replay_file(path, back).status, replay_status::ok);

    // A folder with no write permission: the old replay stays as it was.
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
        r.seed = 1;
        EXPECT_NE(results::write_replay_file(path, r), "");
        ::chmod(dir.path().c_str(), 0700);
        ASSERT_EQ(results::read_replay_file(path, back).status, replay_status::ok);
        EXPECT_EQ(back.seed, 0xC0FFEE42u);
    }
    EXPECT_NE(results::write_replay_file(dir / "no/such/folder.vrp", r), "");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.vrp"});
}

TEST(ReplayFile, EachKindOfBadFileHasItsMessage) {
    const std::vector<std::uint8_t> good = results::encode_replay(sample());
    const std::vector<std::uint8_t> cut(good.begin(), good.end() - 1);
    std::vector<std::uint8_t> flipped = good;
    flipped[60] ^= 0x10;
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);

    EXPECT_EQ(message_for({}), "replay file \"run.vrp\" is empty");
    EXPECT_EQ(message_for({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}),
              "\"run.vrp\" is not a velmora replay file");
    EXPECT_EQ(message_for({'V', 'E', 'L'}), "replay file \"run.vrp\" is cut short: in its header");
    EXPECT_EQ(message_for(std::vector<std::uint8_t>(good.begin(), good.begin() + 30)),
              "replay file \"run.vrp\" is cut short: in its header");
    EXPECT_EQ(message_for(cut), "replay file \"run.vrp\" is cut short: it holds " + std::to_string(good.size() - 1) +
                                    " of its " + std::to_string(good.size()) + " bytes");
    EXPECT_EQ(message_for(flipped), "replay file \"run.vrp\" is damaged: its checksum does not match its contents");
    EXPECT_EQ(message_for(longer), "replay file \"run.vrp\" is damaged: 1 bytes follow its end");
    EXPECT_EQ(message_for(resealed(good, 8, 3, 2)),
              "replay file \"run.vrp\" has format version 3, written by a newer velmora; this one reads version 2");
    EXPECT_EQ(message_for(resealed(good, 36, 5207, 4)),
              "replay file \"run.vrp\" is damaged: its key runs do not add up to the 5207 updates its header "
              "announces");
    EXPECT_EQ(message_for(resealed(good, 40, 0xFFFFFFFFu, 4)),
              "replay file \"run.vrp\" is damaged: its header announces 4294967295 bytes of key data, more than any "
              "replay holds");

    const std::size_t list = good.size() - 8 - 20 - 4;  // where the run count is
    EXPECT_EQ(message_for(std::vector<std::uint8_t>(good.begin(), good.begin() + list + 3)),
              "replay file \"run.vrp\" is cut short: it holds " + std::to_string(list + 3) +
                  " bytes and ends before its list of runs");
    EXPECT_EQ(message_for(resealed(good, list, 0x10000000u, 4)),
              "replay file \"run.vrp\" is damaged: it announces 268435456 finished runs, more than any replay holds");
    // A run whose result screen comes before its start, or past the session.
    const std::string outside = "replay file \"run.vrp\" is damaged: its run 1 lies outside the session's updates or "
                                "before an earlier run";
    EXPECT_EQ(message_for(resealed(good, list + 8, 100, 4)), outside);
    EXPECT_EQ(message_for(resealed(good, list + 8, 5207, 4)), outside);
    EXPECT_EQ(message_for(resealed(good, list + 12, 5203, 4)), outside);

    test_support::scratch_dir dir;
    replay out;
    EXPECT_EQ(results::describe_replay_failure("gone.vrp", results::read_replay_file(dir / "gone.vrp", out)),
              "cannot open replay file \"gone.vrp\": No such file or directory");
    EXPECT_EQ(results::describe_replay_failure("dir", results::read_replay_file(dir.path(), out)),
              "cannot read replay file \"dir\": Is a directory");
    // Never opened for reading: a pipe's open would wait for a writer.
    ASSERT_EQ(mkfifo((dir / "pipe.vrp").c_str(), 0600), 0);
    EXPECT_EQ(results::describe_replay_failure("pipe.vrp", results::read_replay_file(dir / "pipe.vrp", out)),
              "cannot read replay file \"pipe.vrp\": not a regular file (a named pipe)");
}

// Every cut of a good file and every flipped bit is refused, never taken for
// a shorter replay.
TEST(ReplayFile, NoCutOrFlippedBitIsAccepted) {
    replay small;
    small.seed = 7;
    for (std::uint32_t k : {0u, 0u, 4u, 4u | 1u << 13, 0u}) results::append_update(small, k);
    small.finished_runs = {{1, 2, 3, 4, 5}, {3, 4, 0, 6, 7}};
    const std::vector<std::uint8_t> good = results::encode_replay(small);
    for (std::size_t n = 0; n < good.size(); ++n) {
        replay out;
        const replay_status s = results::decode_replay(good.data(), n, out).status;
        EXPECT_TRUE(s == replay_status::truncated || s == replay_status::empty) << "cut at " << n;
    }
    for (std::size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::vector<std::uint8_t> b = good;
        b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        replay out;
        EXPECT_NE(decode(b, out).status, replay_status::ok) << "bit " << bit;
    }
}

// A well-sealed file whose key data breaks the format's rules.
TEST(ReplayFile, RefusesMalformedKeyData) {
    auto with_payload = [](std::vector<std::uint8_t> payload, std::uint32_t updates) {
        replay r;
        r.version = 1;  // key data right before the checksum
        std::vector<std::uint8_t> b = results::encode_replay(r);
        b.resize(results::replay_header_size);
        b.insert(b.end(), payload.begin(), payload.end());
        b.resize(b.size() + results::replay_checksum_size);
        b = resealed(b, 40, payload.size(), 4);
        return resealed(b, 36, updates, 4);
    };
    const std::string damaged = "replay file \"run.vrp\" is damaged: ";
    EXPECT_EQ(message_for(with_payload({2, 0, 3, 1}, 5)), "");
    EXPECT_EQ(message_for(with_payload({2, 0, 3}, 5)), damaged + "its key data ends inside a run");
    EXPECT_EQ(message_for(with_payload({0, 1}, 0)), damaged + "its key data holds a run of no updates");
    EXPECT_EQ(message_for(with_payload({0x82, 0x00, 1}, 2)), damaged + "its key data holds a malformed number");
    EXPECT_EQ(message_for(with_payload({1, 0x80, 0x80, 0x80, 0x80, 0x10}, 1)),
              damaged + "its key data holds a malformed number");
    EXPECT_EQ(message_for(with_payload({1, 0x80, 0x80, 0x80, 0x02}, 1)),
              damaged + "its key data names keys this version does not record");
    EXPECT_EQ(message_for(with_payload({2, 1, 3, 1}, 5)), damaged + "its key data repeats a run");
}

TEST(ReplayFile, HashesAFileWithXxh3) {
    test_support::scratch_dir dir;
    const std::string text = "\x01\xff\xff\xff\xff";
    { std::ofstream(dir / "a.pat", std::ios::binary) << text; }
    results::file_hash h;
    std::string error;
    ASSERT_TRUE(results::hash_file(dir / "a.pat", h, error)) << error;
    const XXH128_hash_t want = XXH3_128bits(text.data(), text.size());
    EXPECT_EQ(h.low, want.low64);
    EXPECT_EQ(h.high, want.high64);
    EXPECT_FALSE(results::hash_file(dir / "none.pat", h, error));
    EXPECT_EQ(error, "No such file or directory");
}

// A ghost races only a finished run of a replay played on the very stage.
TEST(GhostCheck, TheReplayTheStageAndTheRunAreChecked) {
    test_support::scratch_dir dir;
    { std::ofstream(dir / "stage.pat", std::ios::binary) << "a stage's bytes"; }
    { std::ofstream(dir / "other.pat", std::ios::binary) << "another stage"; }
    replay r = sample();
    std::string error;
    ASSERT_TRUE(results::hash_file(dir / "stage.pat", r.pattern, error)) << error;
    r.finished_runs.insert(r.finished_runs.begin(), {10, 100, 110, 2, 90});
    ASSERT_EQ(results::write_replay_file(dir / "two.vrp", r), "");
    r.finished_runs.clear();
    ASSERT_EQ(results::write_replay_file(dir / "none.vrp", r), "");
    { std::ofstream(dir / "bad.vrp") << "not a replay"; }
    const struct {
        const char* replay;
        int run;
        const char* stage;
        std::string says;  // "" when it races
    } rows[] = {
        {"two.vrp", 1, "stage.pat", ""},
        {"two.vrp", 2, "stage.pat", ""},
        {"two.vrp", 3, "stage.pat", "holds no finished run 3"},
        {"two.vrp", 0, "stage.pat", "holds no finished run 0"},
        {"two.vrp", 1, "other.pat", "was played on another stage, not \"Song\" on hard"},
        {"two.vrp", 1, "gone.pat", "cannot read the stage"},
        {"none.vrp", 1, "stage.pat", "holds no finished run to race"},
        {"bad.vrp", 1, "stage.pat", "ghost: "},
        {"gone.vrp", 1, "stage.pat", "ghost: "},
    };
    for (const auto& row : rows) {
        const std::string why = results::check_ghost_replay(dir / row.replay, row.run, dir / row.stage, "\"Song\" on hard");
        if (row.says.empty()) EXPECT_EQ(why, "") << row.replay << " run " << row.run;
        else EXPECT_NE(why.find(row.says), std::string::npos) << row.replay << " run " << row.run << ": " << why;
    }
}

}  // namespace

// Speed changes how many recorded updates a drawn frame runs, and nothing
// else: over any number of frames the updates add up to speed x frames.
TEST(WatchPace, FramesRunTheirShareOfUpdatesAndTheKeysStepThroughTheSpeeds) {
    struct pace_case {
        int speed;
        std::vector<int> first_frames;
    };
    const pace_case cases[] = {
        {25, {0, 0, 0, 1, 0, 0, 0, 1}},
        {50, {0, 1, 0, 1}},
        {75, {0, 1, 1, 1, 0, 1}},
        {100, {1, 1, 1}},
        {150, {1, 2, 1, 2}},
        {400, {4, 4}},
        {800, {8, 8}},
    };
    for (const pace_case& c : cases) {
        results::watch_pacer pacer;
        std::vector<int> frames;
        for (std::size_t i = 0; i < c.first_frames.size(); ++i) frames.push_back(pacer.updates_this_frame(c.speed));
        EXPECT_EQ(frames, c.first_frames) << c.speed;
        long total = 0;
        for (int i = 0; i < 1000; ++i) total += pacer.updates_this_frame(c.speed);
        EXPECT_EQ(total, 10L * c.speed) << c.speed;
    }
    results::watch_pacer pacer;
    pacer.updates_this_frame(75);
    pacer.restart();
    EXPECT_EQ(pacer.updates_this_frame(75), 0) << "a restart forgets what the last frames left";

    // From 0.25x up to 8x and back, the ends staying; a speed between steps
    // goes to its neighbours.
    std::vector<int> up{25}, down{800};
    for (int i = 0; i < 6; ++i) up.push_back(results::faster_watch_speed(up.back()));
    for (int i = 0; i < 6; ++i) down.push_back(results::slower_watch_speed(down.back()));
    EXPECT_EQ(up, (std::vector<int>{25, 50, 100, 200, 400, 800, 800}));
    EXPECT_EQ(down, (std::vector<int>{800, 400, 200, 100, 50, 25, 25}));
    EXPECT_EQ(results::faster_watch_speed(150), 200);
    EXPECT_EQ(results::slower_watch_speed(150), 100);

    const std::pair<int, const char*> speeds[] = {{25, "0.25x"}, {150, "1.5x"}, {400, "4x"}};
    for (const auto& [speed, text] : speeds) EXPECT_EQ(results::watch_speed_text(speed), text);
    const std::pair<std::uint32_t, const char*> moments[] = {{0, "0:00.0"}, {5, "0:00.0"}, {6, "0:00.1"}, {3659, "1:00.9"}, {216000, "60:00.0"}};
    for (const auto& [update, text] : moments) EXPECT_EQ(results::watch_moment_text(update), text);
    EXPECT_EQ(results::watch_update_at(60000), 3600u);
    EXPECT_EQ(results::watch_update_at(16), 0u) << "the update shown is the last one run by then";
}
