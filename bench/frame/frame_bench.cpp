// Cost of one whole frame of the game's loop (clear, border, both walks,
// flip on the dummy video driver, key snapshot, event poll), without the wait.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/frame/frame_scene.hpp"
#include "bench/report_spread.hpp"
#include "shell/video.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

// One window per process: opened on first use, kept for every benchmark.
bool scene_ready() {
    static const bool ok = frame_scene::open();
    return ok;
}

double timed_frame() {
    const auto start = clock_type::now();
    frame_scene::run_frame();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Every timed frame starts from a freshly filled scene, so each one sees all
// five pools of 1024 full and a chain reaction under way.
void BM_CrowdedFrame(benchmark::State& state) {
    if (!scene_ready()) {
        state.SkipWithError("cannot open the game window or its sprite sheet");
        return;
    }
    std::vector<double> micros;
    int live = 0;
    for (auto _ : state) {
        frame_scene::fill_crowded();
        live = frame_scene::live_bullets_and_effects();
        const double seconds = timed_frame();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    state.counters["live_at_start"] = live;
    report_spread(state, micros);
}
BENCHMARK(BM_CrowdedFrame)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Where the crowded frame's time goes, as mean microseconds per step.
void BM_CrowdedFrameSteps(benchmark::State& state) {
    if (!scene_ready()) {
        state.SkipWithError("cannot open the game window or its sprite sheet");
        return;
    }
    frame_scene::step_times total;
    for (auto _ : state) {
        frame_scene::fill_crowded();
        frame_scene::step_times one;
        frame_scene::run_frame(&one);
        state.SetIterationTime(one.clear + one.border + one.updates + one.drawing + one.flip + one.input);
        total.clear += one.clear;
        total.border += one.border;
        total.updates += one.updates;
        total.drawing += one.drawing;
        total.flip += one.flip;
        total.input += one.input;
    }
    const double per_frame_us = 1e6 / static_cast<double>(state.iterations());
    state.counters["clear_us"] = total.clear * per_frame_us;
    state.counters["border_us"] = total.border * per_frame_us;
    state.counters["updates_us"] = total.updates * per_frame_us;
    state.counters["drawing_us"] = total.drawing * per_frame_us;
    state.counters["flip_us"] = total.flip * per_frame_us;
    state.counters["input_us"] = total.input * per_frame_us;
}
BENCHMARK(BM_CrowdedFrameSteps)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The title demo after ten seconds of bursts: the game's everyday load.
void BM_DemoFrame(benchmark::State& state) {
    if (!scene_ready()) {
        state.SkipWithError("cannot open the game window or its sprite sheet");
        return;
    }
    frame_scene::start_demo();
    for (int i = 0; i < 600; ++i) frame_scene::run_frame();
    std::vector<double> micros;
    for (auto _ : state) {
        const double seconds = timed_frame();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    state.counters["live"] = frame_scene::live_bullets_and_effects();
    report_spread(state, micros);
}
BENCHMARK(BM_DemoFrame)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Showing a frame in a window of 1, 2 or 3 times the game's size: at 1 the
// flip alone, above it the whole-pixel scale-up into the screen as well.
void BM_Flip(benchmark::State& state) {
    if (!scene_ready()) {
        state.SkipWithError("cannot open the game window or its sprite sheet");
        return;
    }
    const int scale = static_cast<int>(state.range(0));
    if (!window->set_mode(0, scale)) {
        state.SkipWithError("the dummy driver refused the mode");
        window->set_mode(0, 1);
        return;
    }
    frame_scene::start_demo();
    for (int i = 0; i < 60; ++i) frame_scene::run_frame();
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = clock_type::now();
        window->flip();
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    report_spread(state, micros);
    window->set_mode(0, 1);
}
BENCHMARK(BM_Flip)->Arg(1)->Arg(2)->Arg(3)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
