// velmora_verify against what the real game writes: sessions played by the
// real velmora under the dummy drivers, its keys pressed by a preloaded
// script (scripted_keys.cpp) with runs, bombs and pauses, on stages of every
// edition and difficulty, all verify to the runs the game recorded; and a
// recording changed in any way that matters is rejected with its reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gametask/rules.hpp"
#include "results/replay_file.hpp"
#include "support/run_process.hpp"
#include "support/scratch.hpp"

namespace {

using json = nlohmann::json;
using shell_test::scratch_dir;

std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void run_ok(const std::vector<std::string>& argv) {
    const process_result r = run_process(argv);
    ASSERT_EQ(r.status, 0) << argv[0] << ": " << r.out << r.err;
}

// A song of the given length and its stage in the given edition and difficulty.
void make_stage(const scratch_dir& dir, const std::string& edition, const std::string& difficulty,
                const std::string& seconds = "4") {
    run_ok({build_dir() + "/make_song", "--seconds", seconds, dir / "song.wav"});
    run_ok({build_dir() + "/velmora_bc", dir / "song.wav", dir / "stage.pat", "--edition", edition, "--difficulty",
            difficulty});
}

struct verdict {
    int status = -1;
    json out;
};

verdict verify(const std::vector<std::string>& args) {
    std::vector<std::string> argv{build_dir() + "/velmora_verify"};
    argv.insert(argv.end(), args.begin(), args.end());
    const process_result r = run_process(argv);
    verdict v;
    v.status = r.status;
    // Exactly one JSON object and nothing else.
    v.out = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(v.out.is_object()) << "standard output: " << r.out << "\nstandard error: " << r.err;
    return v;
}

// Every run of the replay, as the game recorded it, is what the re-play gives.
void expect_verified(const std::string& stage, const std::string& replay_file) {
    results::replay r;
    ASSERT_EQ(results::read_replay_file(replay_file, r).status, results::replay_status::ok);
    const verdict v = verify({stage, replay_file});
    ASSERT_EQ(v.status, 0) << v.out.dump();
    EXPECT_EQ(v.out["verified"], true);
    EXPECT_EQ(v.out["reason"], "");
    vaz::hash_128 hash;
    std::string error;
    ASSERT_TRUE(results::hash_file(stage, hash, error)) << error;
    EXPECT_EQ(v.out["stage"], hash.hex());
    EXPECT_EQ(v.out["updates"], r.update_count);
    // The logic that played it, as a server records it with the verdict.
    EXPECT_EQ(v.out["logic_version"], gametask::rules::logic_version);
    ASSERT_EQ(v.out["runs"].size(), r.finished_runs.size());
    for (std::size_t i = 0; i < r.finished_runs.size(); ++i) {
        const results::run_summary& s = r.finished_runs[i];
        const json& run = v.out["runs"][i];
        EXPECT_EQ(run["run"], i + 1);
        EXPECT_EQ(run["hits"], s.hits);
        EXPECT_EQ(run["score"], s.score);
        EXPECT_EQ(run["updates"], results::frames_played(s));
        EXPECT_EQ(run["ratio"].get<double>(), static_cast<double>(results::shown_ratio(s.hits, s.score)));
    }
}

// A player's keys by frame: Space for two frames every 1.5 s (it starts a
// run on the title, bombs in play, leaves the result screen), the ship
// steered round a small square with the arrows and then W A S D, so the
// bullets it fires come back past it, and each pause P, P again 1.5 s later.
std::string key_script(int frames, const std::vector<int>& pauses) {
    struct change {
        int frame;
        int key;
        int down;
    };
    std::vector<change> c;
    const int space = 32, p = 112;
    const int arrows[4] = {275, 274, 276, 273};  // right, down, left, up
    const int wasd[4] = {100, 115, 97, 119};
    const std::vector<std::vector<int>> legs = {{0}, {1}, {2}, {3}, {0, 1}, {2, 3}};
    for (int f = 10; f < frames; f += 90) {
        c.push_back({f, space, 1});
        c.push_back({f + 2, space, 0});
    }
    for (int f = 0, leg = 0; f < frames; f += 12, ++leg) {
        const int* keys = (leg / 6) % 2 ? wasd : arrows;
        const std::vector<int>& held = legs[leg % 6];
        for (int k = 0; k < 4; ++k) {
            c.push_back({f, arrows[k], 0});
            c.push_back({f, wasd[k], 0});
        }
        for (int k : held) c.push_back({f, keys[k], 1});
    }
    for (int at : pauses) {
        for (int f : {at, at + 90}) {
            c.push_back({f, p, 1});
            c.push_back({f + 2, p, 0});
        }
    }
    std::stable_sort(c.begin(), c.end(), [](const change& a, const change& b) { return a.frame < b.frame; });
    std::ostringstream s;
    for (const change& x : c) s << x.frame << ' ' << x.key << ' ' << x.down << '\n';
    s << frames << " quit\n";
    return s.str();
}

struct session_row {
    const char* edition;
    const char* difficulty;
    int frames;           // at most, at 60 a second, before Escape
    std::size_t runs;     // finished, then the game is quit
    bool bombs;           // the re-play sets some off
};

void PrintTo(const session_row& r, std::ostream* os) { *os << r.edition << '/' << r.difficulty; }

class RecordedSession : public ::testing::TestWithParam<session_row> {};

TEST_P(RecordedSession, VerifiesToTheRunsTheGameRecorded) {
#ifdef VELMORA_SANITIZED
    GTEST_SKIP() << "a sanitized game cannot have a library preloaded";
#endif
    const session_row& row = GetParam();
    scratch_dir dir;
    make_stage(dir, row.edition, row.difficulty);
    const std::vector<int> pauses = {200, 1900};
    std::ofstream(dir / "keys.txt") << key_script(row.frames, pauses);

    process_options opt;
    // The session ends as soon as the last run's result screen is left,
    // which writes the recording for the second time in that run.
    opt.env = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy", "LD_PRELOAD=" SCRIPTED_KEYS_LIB,
               "VELMORA_KEY_SCRIPT=" + dir / "keys.txt", "VELMORA_KEY_REPORT=" + dir / "flips.txt",
               "VELMORA_KEY_WATCH=" + dir / "session.vrp" + ":" + std::to_string(2 * row.runs)};
    const process_result game = run_process(
        {build_dir() + "/velmora", dir / "song.wav", dir / "stage.pat", "-window", "-record=" + dir / "session.vrp"},
        opt);
    ASSERT_EQ(game.status, 0) << game.out << game.err;
    results::replay recorded;
    ASSERT_EQ(results::read_replay_file(dir / "session.vrp", recorded).status, results::replay_status::ok) << game.out;
    ASSERT_EQ(recorded.finished_runs.size(), row.runs) << game.out;
    // The game keeps 60 updates a second, following the music while it
    // plays, and runs none while paused; the recording holds every update
    // but the last frame's. A busy machine can only make it fall behind.
    long flips = 0;
    double seconds = 0;
    std::ifstream(dir / "flips.txt") >> flips >> seconds;
    EXPECT_GE(seconds * 60 - recorded.update_count, 60)
        << "no pause took: " << recorded.update_count << " updates in " << seconds << " s (" << flips << " frames)";

    expect_verified(dir / "stage.pat", dir / "session.vrp");
    const verdict v = verify({dir / "stage.pat", dir / "session.vrp"});
    if (row.bombs) {
        EXPECT_GT(v.out["bombs"].get<int>(), 0);
    }

    // The best run's replay as velmora_play keeps it: cut after that run.
    results::cut_after_run(recorded, 0);
    ASSERT_EQ(results::write_replay_file(dir / "first.vrp", recorded), "");
    expect_verified(dir / "stage.pat", dir / "first.vrp");
}

INSTANTIATE_TEST_SUITE_P(
    EveryEditionAndDifficulty, RecordedSession,
    ::testing::Values(session_row{"standard", "hard", 4800, 2, true}, session_row{"standard", "normal", 2400, 1, false},
                      session_row{"standard", "easy", 2400, 1, false}, session_row{"zetaflux", "hard", 4800, 2, true},
                      session_row{"zetaflux", "normal", 2400, 1, false}, session_row{"zetaflux", "easy", 2400, 1, false},
                      session_row{"dynamics", "hard", 4800, 2, false}, session_row{"dynamics", "normal", 2400, 1, false},
                      session_row{"dynamics", "easy", 2400, 1, false}),
    [](const ::testing::TestParamInfo<session_row>& i) {
        return std::string(i.param.edition) + "_" + i.param.difficulty;
    });

// Replays made before this version of the game's logic still verify, on
// stages made again from the same generated songs: the best runs an older
// velmora_play kept (tests/data/library_v2), and a 3-minute run steered
// round a small square through chains over the whole field, with the result
// the re-play gave before a burst looked only at the bullets near it
// (tests/data/replaycheck, made with make_golden.cpp there).
TEST(Verify, ReplaysOfEarlierVersionsStillVerify) {
    const struct {
        const char* seconds;
        const char* edition;
        const char* difficulty;
        const char* replay;
    } rows[] = {
        {"2", "standard", "hard", "library_v2/b2b2bbeaa10b46c33f0102f00d206a83-standard-1796787556-18501.vrp"},
        {"2", "zetaflux", "hard", "library_v2/b2b2bbeaa10b46c33f0102f00d206a83-zetaflux-1796787663-20192.vrp"},
        {"3", "standard", "hard", "library_v2/1f853e10205343137ae7b04b401f57b0-standard-1796787717-22760.vrp"},
        {"180", "standard", "hard", "replaycheck/standard_hard_crowded.vrp"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.replay);
        scratch_dir dir;
        make_stage(dir, row.edition, row.difficulty, row.seconds);
        expect_verified(dir / "stage.pat", std::string(VELMORA_SOURCE_DIR "/tests/data/") + row.replay);
    }
    // --version names the same logic, for a server to know which sessions another verified.
    const process_result version = run_process({build_dir() + "/velmora_verify", "--version"});
    EXPECT_NE(version.out.find("\nlogic_version " + std::to_string(gametask::rules::logic_version) + "\n"), std::string::npos)
        << version.out;
}

// Every recording changed in a way that matters, and files that are no
// replay or no stage, each with its reason; the session they start from is
// a replay played by the real game and recorded again (so no preload is
// needed and the sanitized build runs it too).
TEST(Verify, RejectsEveryChangeThatMattersWithItsReason) {
    scratch_dir dir;
    make_stage(dir, "standard", "normal");
    run_ok({build_dir() + "/velmora_bc", dir / "song.wav", dir / "other.pat", "--edition", "zetaflux"});

    results::replay keys;
    keys.seed = 2024;
    std::string error;
    ASSERT_TRUE(results::hash_file(dir / "stage.pat", keys.pattern, error)) << error;
    // Space every 1.5 s (start, bombs, leaving the result), the ship jiggling left and right.
    constexpr std::uint32_t space = 1u << 0, up = 1u << 3, left = 1u << 5, right = 1u << 6;
    auto down_at = [](std::uint32_t u) { return ((u / 8) % 2 ? right : left) | (u % 90 == 10 ? space : 0u); };
    for (std::uint32_t u = 0; u < 1700; ++u) {
        results::append_update(keys, down_at(u) | (u > 0 ? down_at(u - 1) << results::replay_key_count : 0u));
    }
    ASSERT_EQ(results::write_replay_file(dir / "keys.vrp", keys), "");
    process_options opt;
    opt.env = {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy"};
    const process_result game = run_process({build_dir() + "/velmora", dir / "song.wav", dir / "stage.pat", "-window",
                                             "-replay=" + dir / "keys.vrp", "-record=" + dir / "session.vrp"},
                                            opt);
    ASSERT_EQ(game.status, 0) << game.out << game.err;
    results::replay good;
    ASSERT_EQ(results::read_replay_file(dir / "session.vrp", good).status, results::replay_status::ok);
    ASSERT_EQ(good.finished_runs.size(), 1u) << game.out;
    // The same keys for longer: a session of two runs.
    for (std::uint32_t u = 1700; u < 3400; ++u) {
        results::append_update(keys, down_at(u) | down_at(u - 1) << results::replay_key_count);
    }
    ASSERT_EQ(results::write_replay_file(dir / "keys2.vrp", keys), "");
    const process_result game2 = run_process({build_dir() + "/velmora", dir / "song.wav", dir / "stage.pat", "-window",
                                              "-replay=" + dir / "keys2.vrp", "-record=" + dir / "two.vrp"},
                                             opt);
    ASSERT_EQ(game2.status, 0) << game2.out << game2.err;
    results::replay two;
    ASSERT_EQ(results::read_replay_file(dir / "two.vrp", two).status, results::replay_status::ok);
    ASSERT_GE(two.finished_runs.size(), 2u) << game2.out;
    expect_verified(dir / "stage.pat", dir / "session.vrp");
    const results::run_summary run = good.finished_runs[0];
    const std::vector<std::uint8_t> good_bytes = read_bytes(dir / "session.vrp");

    // One key run in the middle of play holds Up as well.
    results::replay steered = good;
    std::uint32_t at = 0;
    for (results::key_run& k : steered.runs) {
        if (at > run.start_update + 200) {
            k.keys |= up;
            break;
        }
        at += k.length;
    }
    results::replay scored = good;
    scored.finished_runs[0].score += 1;
    results::replay two_scored = two;
    two_scored.finished_runs[0].score += 1;
    results::replay later = good;
    later.finished_runs[0].start_update += 1;
    results::replay no_runs = good;
    no_runs.finished_runs.clear();
    results::replay version_1 = good;
    version_1.version = 1;
    std::vector<std::uint8_t> damaged = good_bytes;
    damaged[60] ^= 0x01;
    const std::vector<std::uint8_t> noise = {0x03, 0x00, 0x01};
    results::replay on_noise = good;
    on_noise.pattern = vaz::hash_bytes(noise.data(), noise.size());
    shell_test::write_bytes(dir / "noise.pat", noise);

    auto file = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        shell_test::write_bytes(dir / name, bytes);
        return dir / name;
    };
    auto replay_file = [&](const std::string& name, const results::replay& r) {
        return file(name, results::encode_replay(r));
    };
    const std::string stage = dir / "stage.pat";
    const std::string replay = dir / "session.vrp";
    const std::string hex = good.pattern.hex();
    const std::string s = std::to_string(run.score);
    const std::string size = std::to_string(good_bytes.size());
    const std::string listed = std::to_string(run.hits) + ":" + s + ":" + std::to_string(results::frames_played(run));
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string reason;  // the whole reason, or its beginning when it ends in "..."
    } rows[] = {
        {"one key run changed", {stage, replay_file("steered.vrp", steered)}, 1, "run 1: ..."},
        {"score claimed one higher", {stage, replay_file("scored.vrp", scored)}, 1,
         "run 1: score: recorded " + std::to_string(run.score + 1) + ", replayed " + s},
        {"score claimed one higher in the first of two runs", {stage, replay_file("two_scored.vrp", two_scored)}, 1,
         "run 1: score: recorded " + std::to_string(two.finished_runs[0].score + 1) + ", replayed " +
             std::to_string(two.finished_runs[0].score)},
        {"claims as listed", {stage, replay, "--claims", listed}, 0, ""},
        {"claims other than listed", {stage, replay, "--claims", listed + "1"}, 1,
         "run 1: claimed " + std::to_string(run.hits) + " hits, score " + s + " in ..."},
        {"claims for two runs of one", {stage, replay, "--claims", listed + "," + listed}, 1, "the claims name 2 runs, the replay lists 1"},
        {"claims without updates", {stage, replay, "--claims", "1:2"}, 2, "--claims must be HITS:SCORE:UPDATES for each run, comma-separated, not \"1:2\""},
        {"start claimed one later", {stage, replay_file("later.vrp", later)}, 1,
         "run 1: start update: recorded " + std::to_string(run.start_update + 1) + ", replayed " +
             std::to_string(run.start_update)},
        {"another stage", {dir / "other.pat", replay}, 1, "the replay was recorded on another stage (" + hex + "), not this one (..."},
        {"cut short", {stage, file("cut.vrp", {good_bytes.begin(), good_bytes.end() - 8})}, 1,
         "the replay is cut short: it holds " + std::to_string(good_bytes.size() - 8) + " of its " + size + " bytes"},
        {"a changed byte", {stage, file("damaged.vrp", damaged)}, 1, "the replay is damaged: ..."},
        {"empty", {stage, file("empty.vrp", {})}, 1, "the replay is empty"},
        {"not a replay", {stage, stage}, 1, "the replay is not a velmora replay file"},
        {"no finished run", {stage, replay_file("none.vrp", no_runs)}, 1, "the replay holds no finished run"},
        {"version 1, without runs", {stage, replay_file("v1.vrp", version_1)}, 1, "the replay holds no finished run"},
        {"past the limit", {stage, replay, "--max-updates", std::to_string(good.update_count - 1)}, 1,
         "the replay holds " + std::to_string(good.update_count) + " updates, past the limit of " +
             std::to_string(good.update_count - 1)},
        {"at the limit", {stage, replay, "--max-updates=" + std::to_string(good.update_count)}, 0, ""},
        {"a stage that is no pattern file", {dir / "noise.pat", replay_file("noise.vrp", on_noise)}, 1,
         "the stage is not a pattern file: it announces 3 groups, not 1 or 2"},
        {"a stage too large", {file("huge.pat", std::vector<std::uint8_t>((32u << 20) + 1)), replay}, 1,
         "the stage is too large to be one (over 32 MiB)"},
        {"no stage file", {dir / "missing.pat", replay}, 2,
         "cannot read the stage file \"" + dir / "missing.pat" + "\": No such file or directory"},
        {"a folder for the replay", {stage, dir.path()}, 2, "cannot read the replay file \"" + dir.path() + "\": ..."},
        {"one file", {stage}, 2, "give a stage file and a replay file"},
        {"a bad limit", {stage, replay, "--max-updates", "0"}, 2,
         "--max-updates must be a whole number from 1 to 4294967295, not \"0\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const verdict v = verify(row.args);
        EXPECT_EQ(v.status, row.status) << v.out.dump();
        EXPECT_EQ(v.out["verified"], row.status == 0);
        const std::string reason = v.out["reason"].get<std::string>();
        const std::string& want = row.reason;
        if (want.size() >= 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            EXPECT_EQ(reason.rfind(want.substr(0, want.size() - 3), 0), 0u) << reason;
        } else {
            EXPECT_EQ(reason, want);
        }
    }
    // The re-play of a forged first run stops where that run leaves its result screen.
    const verdict early = verify({stage, dir / "two_scored.vrp"});
    EXPECT_EQ(early.out["updates"], two.finished_runs[0].end_update);
    EXPECT_EQ(early.out["session_updates"], two.update_count);
    EXPECT_LT(two.finished_runs[0].end_update, two.update_count);
}

}  // namespace
