// What a ghost costs: preparing it (reading its replay and the stage, playing
// the replay again headless and keeping its run update by update) for a
// 3-minute run, and the work it adds to each frame of a run (following the
// live run, the translucent ship and the line), over a whole 3-minute run.
// The run is the crowded one of the re-play benchmark: the ship steered round
// a small square all through, grazing without end, bombing every 1.5 s and
// setting off chains over the whole field. Its song and stages are made once
// by make_song and velmora_bc into the folder the re-play benchmark uses
// (VELMORA_REPLAY_BENCH_DIR, /tmp/velmora_replay_bench by default).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/frame/frame_scene.hpp"
#include "bench/report_spread.hpp"
#include "bench/song_stage.hpp"
#include "game/ghost.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/update_walk.hpp"
#include "pattern/pattern_loader.hpp"
#include "replaycheck/replay_check.hpp"
#include "results/replay_file.hpp"
#include "shell/keyboard.hpp"
#include "shell/pattern_store.hpp"
#include "shell/video.hpp"

namespace {

// Start on update 10, steer round a square of 12 updates a side (arrows, then
// W A S D), Space every 90 updates: as the re-play benchmark's crowded run.
results::replay steered(const vaz::hash_128& stage, std::uint32_t updates) {
    constexpr std::uint32_t space = 1u << 0;
    const std::uint32_t arrows[4] = {1u << 6, 1u << 4, 1u << 5, 1u << 3};
    const std::uint32_t wasd[4] = {1u << 8, 1u << 10, 1u << 7, 1u << 9};
    auto down_at = [&](std::uint32_t u) {
        const std::uint32_t leg = u / 12;
        return ((leg / 4) % 2 ? wasd : arrows)[leg % 4] | (u % 90 == 10 ? space : 0u);
    };
    results::replay r;
    r.seed = 1234;
    r.pattern = stage;
    for (std::uint32_t u = 0; u < updates; ++u)
        results::append_update(r, down_at(u) | (u > 0 ? down_at(u - 1) << results::replay_key_count : 0u));
    return r;
}

struct run_files {
    std::string stage, replay, error;
};

// The stage and a replay of its first run, cut after it, made once.
run_files prepare(const std::string& edition, const std::string& difficulty) {
    run_files f;
    f.replay = bench::folder() + "/" + edition + "-" + difficulty + "-ghost.vrp";
    f.stage = bench::song_stage(edition, difficulty, f.error);
    if (f.stage.empty() || bench::made(f.replay)) return f;
    const replaycheck::file_bytes stage = replaycheck::read_file_bounded(f.stage, replaycheck::stage_max_file_size);
    results::replay r = steered(vaz::hash_bytes(stage.bytes.data(), stage.bytes.size()), (bench::song_seconds + 60) * 60);
    // The game's walk over the keys, until the run's result screen is left.
    gametask::reset_logic(r.seed);
    load_pattern_file(f.stage.c_str(), pattern_groups, pattern_group_count);
    gametask::spawn_first_flow_task(false);
    static Uint8 keys[key_count];
    Uint8* const real_keys = key_state;
    key_state = keys;
    gametask::run_watch watch;
    results::replay_cursor cursor(r);
    std::uint32_t word = 0, update = 0;
    while (cursor.next(word)) {
        gametask::put_key_word(word, keys);
        update_tasks.run();
        if (watch.after_update(++update) == gametask::run_watch::change::result_left) break;
    }
    key_state = real_keys;
    if (watch.finished().empty() || watch.finished()[0].end_update == 0) {
        f.error = "the steered keys never finish a run";
        return f;
    }
    r.finished_runs = {watch.finished()[0]};
    results::cut_after_run(r, 0);
    if (const std::string why = results::write_replay_file(f.replay, r); !why.empty()) f.error = why;
    return f;
}

void BM_GhostPrepare(benchmark::State& state, const std::string& edition, const std::string& difficulty) {
    const run_files files = prepare(edition, difficulty);
    if (!files.error.empty()) {
        state.SkipWithError(files.error.c_str());
        return;
    }
    std::size_t frames = 0;
    for (auto _ : state) {
        ghost_track track;
        const std::string why = prepare_ghost({files.replay, "bench"}, files.stage, track);
        if (!why.empty()) {
            state.SkipWithError(why.c_str());
            return;
        }
        frames = track.frames.size();
    }
    state.counters["run_updates"] = static_cast<double>(frames);
}
BENCHMARK_CAPTURE(BM_GhostPrepare, standard_hard, std::string("standard"), std::string("hard"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GhostPrepare, dynamics_normal, std::string("dynamics"), std::string("normal"))
    ->Unit(benchmark::kMillisecond);

// The run played again update by update into the window, as a frame of one
// update each; what is timed is the ghost's own part of each frame: following
// the live run after its update, and drawing the ship and the line over it.
void BM_GhostPerFrame(benchmark::State& state, const std::string& edition, const std::string& difficulty) {
    static const bool window_ok = frame_scene::open();
    const run_files files = prepare(edition, difficulty);
    if (!window_ok || !files.error.empty()) {
        state.SkipWithError(window_ok ? files.error.c_str() : "cannot open the game window or its sprite sheet");
        return;
    }
    results::replay r;
    if (results::read_replay_file(files.replay, r).status != results::replay_status::ok) {
        state.SkipWithError("the replay cannot be read");
        return;
    }
    static Uint8 keys[key_count];
    Uint8* const real_keys = key_state;
    key_state = keys;
    std::vector<double> micros;
    double first_us = -1;
    for (auto _ : state) {
        first_us = -1;
        gametask::reset_logic(r.seed);
        if (load_pattern_file(files.stage.c_str(), pattern_groups, pattern_group_count).status !=
                pattern_load_status::loaded ||
            !prepare_ghost_for_stage({files.replay, "Mira #1"}, files.stage).empty()) {
            state.SkipWithError("the ghost cannot be prepared");
            break;
        }
        gametask::spawn_first_flow_task(false);
        results::replay_cursor cursor(r);
        std::uint32_t word = 0;
        double spent = 0;
        while (cursor.next(word)) {
            gametask::put_key_word(word, keys);
            update_tasks.run();
            clear_frame();
            draw_tasks.run();
            const auto start = std::chrono::steady_clock::now();
            ghost_after_update();
            draw_ghost();
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            spent += s;
            // The first draw makes the translucent copy of the sprite sheet.
            if (first_us < 0) first_us = s * 1e6;
            else micros.push_back(s * 1e6);
        }
        state.SetIterationTime(spent);
        end_ghost();
    }
    key_state = real_keys;
    state.counters["frames"] = static_cast<double>(micros.size());
    state.counters["first_us"] = first_us;
    double total = 0;
    for (double m : micros) total += m;
    state.counters["mean_us"] = micros.empty() ? 0 : total / static_cast<double>(micros.size());
    report_spread(state, micros);
}
BENCHMARK_CAPTURE(BM_GhostPerFrame, standard_hard, std::string("standard"), std::string("hard"))
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
