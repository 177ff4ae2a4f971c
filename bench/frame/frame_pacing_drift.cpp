// Runs the game's frame loop (the title demo, or with --crowded the scene of
// all pools full, refilled every frame) for a while, and compares the number
// of updates with the wall clock:
//   frame_pacing_drift [SECONDS, default 60] [--crowded]
// Exit status 0 when the rate is 60.00 per second and the drift is under one frame.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/frame/frame_scene.hpp"
#include "shell/frame_pacing.hpp"

int main(int argc, char** argv) {
    double seconds = 60.0;
    bool crowded = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--crowded") == 0) {
            crowded = true;
        } else {
            char* end = nullptr;
            seconds = std::strtod(argv[i], &end);
            if (*end != '\0' || !(seconds >= 1.0)) {
                std::fprintf(stderr, "usage: frame_pacing_drift [SECONDS >= 1] [--crowded]\n");
                return 2;
            }
        }
    }
    if (!frame_scene::open()) return 1;
    frame_scene::start_demo();

    using clock_type = std::chrono::steady_clock;
    constexpr double frame_ms = 1000.0 / 60.0;

    // The first wait only anchors the schedule; time and count from there.
    frame_scene::run_frame();
    frame_wait();
    const auto start = clock_type::now();
    long frames = 0;
    double elapsed_ms = 0.0, worst_lead_ms = 0.0, worst_lag_ms = 0.0;
    while (elapsed_ms < seconds * 1000.0) {
        if (crowded) frame_scene::fill_crowded();
        frame_scene::run_frame();
        frame_wait();
        ++frames;
        elapsed_ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
        const double off = elapsed_ms - frames * frame_ms;  // > 0: behind the schedule
        worst_lag_ms = std::fmax(worst_lag_ms, off);
        worst_lead_ms = std::fmax(worst_lead_ms, -off);
    }

    const double rate = frames / (elapsed_ms / 1000.0);
    const double drift_frames = elapsed_ms / frame_ms - static_cast<double>(frames);
    std::printf("load:            %s\n", crowded ? "crowded (all five pools of 1024 refilled every frame)" : "title demo");
    std::printf("updates:         %ld in %.3f s of wall-clock time\n", frames, elapsed_ms / 1000.0);
    std::printf("rate:            %.3f updates per second (goal 60.00)\n", rate);
    std::printf("drift at end:    %+.3f frames (%+.2f ms; goal under 1 frame)\n", drift_frames, drift_frames * frame_ms);
    std::printf("worst on the way: %.2f ms behind, %.2f ms ahead of the schedule\n", worst_lag_ms, worst_lead_ms);
    const bool ok = std::fabs(rate - 60.0) < 0.005 && std::fabs(drift_frames) < 1.0;
    std::printf("%s\n", ok ? "pacing: ok" : "pacing: OFF GOAL");
    return ok ? 0 : 1;
}
