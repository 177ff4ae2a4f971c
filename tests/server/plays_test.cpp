// What a replay played, apart from its file: the play hashes leave the
// header out and see every key, the key changes are the presses and
// releases, and the matcher pairs changes one to one within the tolerance.
#include <gtest/gtest.h>

#include "server/plays.hpp"
#include "server_helpers.hpp"

namespace {

using server::key_change;
using namespace server_test;

results::replay decoded(const std::string& bytes) {
    results::replay r;
    EXPECT_EQ(results::decode_replay(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), r).status,
              results::replay_status::ok);
    return r;
}

std::vector<key_change> changes_of(const std::vector<std::pair<std::uint32_t, int>>& presses) {
    std::vector<key_change> out;
    for (const auto& [at, key] : presses) out.push_back({at, static_cast<std::uint8_t>(key), true});
    return out;
}

TEST(Plays, TheHashesLeaveTheHeaderOutAndSeeEveryKey) {
    const std::string stage = stage_bytes(30, 1);
    const results::replay base = decoded(replay_bytes(stage, 21, {{2, 500}, {3, 600}}));
    const server::session_play play = server::play_of(base);
    ASSERT_EQ(play.runs.size(), 2u);
    EXPECT_EQ(play.runs[0].hash, play.runs[1].hash) << "the same keys in both runs";

    struct row {
        const char* what;
        std::function<void(results::replay&)> change;
        bool same_session, same_run, same_run_2;
    };
    const std::vector<row> rows = {
        {"seed", [](results::replay& r) { r.seed ^= 0x55; }, true, true, true},
        {"offset", [](results::replay& r) { r.offset_ms = -250; }, true, true, true},
        {"claimed score", [](results::replay& r) { r.finished_runs[0].score += 1; }, false, true, true},
        {"keys after the last run", [](results::replay& r) { results::append_update(r, 1u << 3); }, true, true, true},
        {"one key in run 1", [](results::replay& r) { r.runs[3].keys ^= 1u << 4; }, false, false, true},
        {"its before half only", [](results::replay& r) { r.runs[3].keys ^= 1u << (results::replay_key_count + 4); }, false, false, true},
        {"another stage", [&](results::replay& r) { r.pattern = vaz::hash_bytes("x", 1); }, false, false, false},
    };
    for (const row& r : rows) {
        results::replay changed = base;
        r.change(changed);
        // Through the file, as the server gets it.
        const std::vector<std::uint8_t> bytes = results::encode_replay(changed);
        const server::session_play p = server::play_of(decoded(std::string(bytes.begin(), bytes.end())));
        EXPECT_EQ(p.hash == play.hash, r.same_session) << r.what;
        EXPECT_EQ(p.runs[0].hash == play.runs[0].hash, r.same_run) << r.what;
        EXPECT_EQ(p.runs[1].hash == play.runs[1].hash, r.same_run_2) << r.what;
    }
}

TEST(Plays, KeyChangesAreThePressesAndReleasesFromTheRunsStart) {
    results::replay r;
    const std::uint32_t space = 1, z = 2, before_z = z << results::replay_key_count;
    for (std::uint32_t keys : {space, 0u, space, space | z, z | before_z, z | before_z | (space << results::replay_key_count),
                               0u, 0u, space})
        results::append_update(r, keys);
    // The run starts with Space already down: a press at its first update.
    r.finished_runs.push_back({2, 7, 8, 0, 0});
    const server::session_play p = server::play_of(r);
    ASSERT_EQ(p.runs.size(), 1u);
    const std::vector<key_change> expected = {{0, 0, true}, {1, 1, true}, {2, 0, false}, {4, 1, false}};
    EXPECT_EQ(p.runs[0].changes, expected);

    std::vector<key_change> back;
    EXPECT_TRUE(server::decode_changes(server::encode_changes(expected), back));
    EXPECT_EQ(back, expected);
    for (const std::string& damaged : {std::string("\x80"), std::string("\x1e"), std::string(6, '\xff') + "\x01"})
        EXPECT_FALSE(server::decode_changes(damaged, back)) << "damaged bytes";
}

TEST(Plays, TheMatcherPairsChangesOneToOneWithinTheTolerance) {
    const struct {
        const char* what;
        std::vector<key_change> run, other;
        std::size_t matched;
    } rows[] = {
        {"the same", changes_of({{10, 1}, {20, 2}, {30, 1}}), changes_of({{10, 1}, {20, 2}, {30, 1}}), 3},
        {"3 updates apart", changes_of({{10, 1}, {20, 2}}), changes_of({{7, 1}, {23, 2}}), 2},
        {"4 updates apart", changes_of({{10, 1}, {20, 2}}), changes_of({{6, 1}, {24, 2}}), 0},
        {"another key", changes_of({{10, 1}}), changes_of({{10, 2}}), 0},
        {"a release for a press", changes_of({{10, 1}}), {{10, 1, false}}, 0},
        {"two near one", changes_of({{10, 1}}), changes_of({{9, 1}, {11, 1}}), 1},
        {"one near two", changes_of({{9, 1}, {11, 1}}), changes_of({{10, 1}}), 1},
        // 5 could take 2 or 6; taking 2 leaves 6 for 9.
        {"the earlier first", changes_of({{2, 3}, {6, 3}}), changes_of({{5, 3}, {9, 3}}), 2},
        {"nothing", changes_of({{2, 3}}), {}, 0},
    };
    for (const auto& r : rows) {
        const server::change_matcher m(r.run);
        EXPECT_EQ(m.matched(r.other), r.matched) << r.what;
        EXPECT_EQ(m.matched(server::encode_changes(r.other)), r.matched) << r.what << ", encoded";
    }
}

TEST(Plays, ANearCopyNeedsNineTenthsOfEnoughChanges) {
    const std::string stage = stage_bytes(30, 2);
    const std::vector<tap> taps = random_taps(5, 40);
    auto changes = [&](const std::vector<tap>& t) {
        return server::play_of(decoded(replay_of_taps(stage, 1, t, 800))).runs[0].changes;
    };
    const std::vector<key_change> original = changes(taps);
    ASSERT_EQ(original.size(), 80u);
    std::vector<tap> moved = taps;
    for (std::size_t i = 0; i < moved.size(); i += 3) moved[i].at += 1 + i % 2;
    std::vector<tap> dropped_5 = moved, dropped_15 = moved;
    dropped_5.erase(dropped_5.begin() + 10, dropped_5.begin() + 12);
    dropped_15.erase(dropped_15.begin() + 10, dropped_15.begin() + 16);
    const std::vector<tap> few(taps.begin(), taps.begin() + 14), part(taps.begin(), taps.begin() + 16);
    const struct {
        const char* what;
        std::vector<key_change> run, stored;
        bool copy;
    } rows[] = {
        {"moved by 1 or 2", changes(moved), original, true},
        {"moved, 5% dropped", changes(dropped_5), original, true},
        // Judged by the new run's changes: dropping from it keeps it a copy...
        {"moved, 15% dropped", changes(dropped_15), original, true},
        // ...while a stored run missing 15% of the new one's is not one.
        {"the stored run missing 15%", original, changes(dropped_15), false},
        {"another run", changes(random_taps(6, 40)), original, false},
        {"fewer changes than the least", changes(few), changes(few), false},
        {"enough changes, all matched", changes(part), changes({taps.begin(), taps.begin() + 20}), true},
        {"a stored run of more than twice the changes", changes(part), original, false},
    };
    for (const auto& r : rows) {
        const server::change_matcher m(r.run);
        EXPECT_EQ(m.near_copy(server::encode_changes(r.stored), r.stored.size()), r.copy) << r.what;
    }
}

}  // namespace
