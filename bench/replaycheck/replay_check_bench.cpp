// The headless re-play as a scoreboard's worker runs it, on one core: read
// the stage and the replay from files, play every update again, compare the
// finished run. A 3-minute song's stage on dynamics/normal and on
// standard/hard, each with two replays of one run:
// - played: a bot plays the run as a player would, steering away from the
//   incoming bullets nearest to it and circling the field otherwise;
// - bombing: the same bot, bombing whenever its gauge holds a bomb, which
//   sets off chains through much of the run;
// - crowded: the ship steered round a small square all through, so every
//   bullet it fires comes back past it: it grazes without end, bombs every
//   1.5 s and sets off chains over the whole field (the dearest updates a
//   replay can ask for).
// The counter x_real_time is how many times faster than the game plays the
// re-play runs (60 updates a second).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "bench/song_stage.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "gametask/update_walk.hpp"
#include "pattern/pattern_loader.hpp"
#include "replaycheck/replay_check.hpp"
#include "results/replay_file.hpp"
#include "shell/keyboard.hpp"
#include "shell/pattern_store.hpp"

namespace {

// Start on update 10, steer round a square of 12 updates a side (arrows, then
// W A S D), Space every 90 updates: a bomb in play, the result left.
std::vector<std::uint8_t> steered_keys(const vaz::hash_128& stage, std::uint32_t updates) {
    constexpr std::uint32_t space = 1u << 0;
    const std::uint32_t arrows[4] = {1u << 6, 1u << 4, 1u << 5, 1u << 3};  // right, down, left, up
    const std::uint32_t wasd[4] = {1u << 8, 1u << 10, 1u << 7, 1u << 9};
    auto down_at = [&](std::uint32_t u) {
        const std::uint32_t leg = u / 12;
        const std::uint32_t* keys = (leg / 4) % 2 ? wasd : arrows;
        return keys[leg % 4] | (u % 90 == 10 ? space : 0u);
    };
    results::replay r;
    r.seed = 1234;
    r.pattern = stage;
    for (std::uint32_t u = 0; u < updates; ++u) {
        results::append_update(r, down_at(u) | (u > 0 ? down_at(u - 1) << results::replay_key_count : 0u));
    }
    // A placeholder run: the first re-play rejects it and says how the run went.
    r.finished_runs.push_back({0, 1, 0, 0, 0});
    return results::encode_replay(r);
}

namespace gt = gametask;

constexpr std::uint32_t space_bit = 1u << 0, up_bit = 1u << 3, down_bit = 1u << 4, left_bit = 1u << 5,
                        right_bit = 1u << 6;

// Of the nine ways to move, the one that takes the ship furthest from the
// three incoming bullets nearest to it over the next 8 updates, with a
// little pull towards a point circling the field.
std::uint32_t dodge(const gt::myship& ship, std::uint32_t update) {
    const double centre = 220.0, orbit = 110.0, turn = 6.283185307179586 / 600.0;
    const double tx = centre + orbit * std::cos(turn * update), ty = centre + orbit * std::sin(turn * update);
    std::vector<std::pair<float, const gt::bullet_r*>> near;
    for (auto* n = update_tasks.begin<gt::bullet_r>(); n != update_tasks.end<gt::bullet_r>(); n = n->next) {
        const auto& b = vaz::tasksystem::object_of<gt::bullet_r>(n);
        near.emplace_back((b.x - ship.x) * (b.x - ship.x) + (b.y - ship.y) * (b.y - ship.y), &b);
    }
    const std::size_t count = std::min<std::size_t>(3, near.size());
    std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(count), near.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
    double best = 1e300;
    int best_dx = 0, best_dy = 0;
    for (int dx = -1; dx <= 1; ++dx) {
        for (int dy = -1; dy <= 1; ++dy) {
            double danger = 0.0;
            for (std::size_t i = 0; i < count; ++i) {
                const gt::bullet_r& b = *near[i].second;
                for (int k = 1; k <= 8; ++k) {
                    const double sx = std::clamp(ship.x + static_cast<float>(dx * k), 0.0f, 440.0f);
                    const double sy = std::clamp(ship.y + static_cast<float>(dy * k), 0.0f, 440.0f);
                    const double ex = b.x + b.vx * k - sx, ey = b.y + b.vy * k - sy;
                    danger += 1.0 / (1.0 + ex * ex + ey * ey);
                }
            }
            const double ax = ship.x + dx - tx, ay = ship.y + dy - ty;
            danger += 1e-6 * (ax * ax + ay * ay);
            if (danger < best) {
                best = danger;
                best_dx = dx;
                best_dy = dy;
            }
        }
    }
    return (best_dx < 0 ? left_bit : 0u) | (best_dx > 0 ? right_bit : 0u) | (best_dy < 0 ? up_bit : 0u) |
           (best_dy > 0 ? down_bit : 0u);
}

// The bot's session: Space starts the run, the bot plays it, Space leaves its
// result screen; played with the game's update walk and kept as a replay.
std::vector<std::uint8_t> played_run(const std::vector<std::uint8_t>& stage, const vaz::hash_128& hash, bool bombs) {
    results::replay r;
    r.seed = 1234;
    r.pattern = hash;
    gt::reset_logic(r.seed);
    std::istringstream in(std::string(stage.begin(), stage.end()));
    load_pattern(in, pattern_groups, pattern_group_count);
    gt::spawn_first_flow_task(false);
    static Uint8 keys[key_count];
    key_state = keys;
    gt::run_watch watch;
    std::uint32_t before = 0;
    for (std::uint32_t update = 1; update < 60 * 60 * 10; ++update) {
        std::uint32_t now = 0;
        if (const gt::myship* ship = gt::first_live<gt::myship>(); ship && !gt::any_live<gt::gameover>()) {
            now = dodge(*ship, update);
            if (bombs && ship->gauge >= gt::rules::bomb_cost && ship->bomb == 0 && !(before & space_bit)) {
                now |= space_bit;
            }
        } else if (!(before & space_bit)) {
            now = space_bit;  // the title, and the result screen
        }
        const std::uint32_t word = now | before << results::replay_key_count;
        gt::put_key_word(word, keys);
        update_tasks.run();
        results::append_update(r, word);
        before = now;
        if (watch.after_update(update) == gt::run_watch::change::result_left) break;
    }
    r.finished_runs = watch.finished();
    return results::encode_replay(r);
}

struct job_files {
    std::string stage;
    std::string replay;
    std::string error;
};

enum class play { played, bombing, crowded };

const char* name(play kind) {
    switch (kind) {
    case play::played: return "played";
    case play::bombing: return "bombing";
    case play::crowded: break;
    }
    return "crowded";
}

// The stage and a verified replay of its first run, made once in the folder.
job_files prepare(const std::string& edition, const std::string& difficulty, play kind) {
    job_files f;
    f.replay = bench::folder() + "/" + edition + "-" + difficulty + "-" + name(kind) + ".vrp";
    f.stage = bench::song_stage(edition, difficulty, f.error);
    if (f.stage.empty()) return f;
    const replaycheck::file_bytes stage = replaycheck::read_file_bounded(f.stage, replaycheck::stage_max_file_size);
    const vaz::hash_128 hash = vaz::hash_bytes(stage.bytes.data(), stage.bytes.size());
    if (kind != play::crowded) {
        const std::vector<std::uint8_t> bytes = played_run(stage.bytes, hash, kind == play::bombing);
        results::replay r;
        results::decode_replay(bytes.data(), bytes.size(), r);
        if (r.finished_runs.empty()) f.error = "the bot never finished its run";
        if (const std::string why = results::write_replay_file(f.replay, r); !why.empty()) f.error = why;
        return f;
    }
    const std::vector<std::uint8_t> keys = steered_keys(hash, (bench::song_seconds + 60) * 60);
    const replaycheck::check_result first =
        replaycheck::check_replay(stage.bytes.data(), stage.bytes.size(), keys.data(), keys.size());
    if (first.runs.empty() || first.runs[0].end_update == 0) {
        f.error = "the steered keys never finish a run: " + first.reason;
        return f;
    }
    results::replay r;
    results::decode_replay(keys.data(), keys.size(), r);
    r.finished_runs = {first.runs[0]};
    results::cut_after_run(r, 0);
    if (const std::string why = results::write_replay_file(f.replay, r); !why.empty()) f.error = why;
    return f;
}

void BM_ReplayCheck(benchmark::State& state, const std::string& edition, const std::string& difficulty, play kind) {
    const job_files files = prepare(edition, difficulty, kind);
    if (!files.error.empty()) {
        state.SkipWithError(files.error.c_str());
        return;
    }
    std::uint32_t updates = 0, hits = 0, score = 0, bombs = 0;
    for (auto _ : state) {
        const replaycheck::file_bytes stage =
            replaycheck::read_file_bounded(files.stage, replaycheck::stage_max_file_size);
        const replaycheck::file_bytes replay =
            replaycheck::read_file_bounded(files.replay, results::replay_max_file_size);
        const replaycheck::check_result r = replaycheck::check_replay(stage.bytes.data(), stage.bytes.size(),
                                                                      replay.bytes.data(), replay.bytes.size());
        if (!r.verified) {
            state.SkipWithError(("not verified: " + r.reason).c_str());
            return;
        }
        updates = r.updates;
        hits = static_cast<std::uint32_t>(r.runs[0].hits);
        score = static_cast<std::uint32_t>(r.runs[0].score);
        bombs = r.bombs;
    }
    state.counters["updates"] = updates;
    state.counters["hits"] = hits;
    state.counters["score"] = score;
    state.counters["bombs"] = bombs;
    state.counters["us_per_update"] = benchmark::Counter(static_cast<double>(updates) * 1e-6,
                                                         benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(updates) / 60.0, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_ReplayCheck, dynamics_normal_played, std::string("dynamics"), std::string("normal"), play::played)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayCheck, standard_hard_played, std::string("standard"), std::string("hard"), play::played)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayCheck, dynamics_normal_bombing, std::string("dynamics"), std::string("normal"), play::bombing)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayCheck, standard_hard_bombing, std::string("standard"), std::string("hard"), play::bombing)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayCheck, dynamics_normal_crowded, std::string("dynamics"), std::string("normal"), play::crowded)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayCheck, standard_hard_crowded, std::string("standard"), std::string("hard"), play::crowded)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
