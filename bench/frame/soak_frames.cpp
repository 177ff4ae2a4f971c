// Soak: the game's frame (every update and drawing body, the flip, input and
// events) run back to back for a long time with all five big pools kept
// full, while the process's resident memory is sampled. A leak per frame, or
// per spawn and kill, shows as a rising line; the verdict compares the last
// sample with the one taken once everything has been touched.
//   soak_frames [seconds, default 600] [sample interval, default 10]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/frame/frame_scene.hpp"

namespace {

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const double interval = argc > 2 ? std::atof(argv[2]) : 10.0;
    // Memory may still settle while the first minute runs (allocator pools,
    // driver buffers); from then on it must stay level.
    const double settle = seconds < 120.0 ? seconds / 2.0 : 60.0;
    constexpr long allowed_growth_kib = 1024;

    if (seconds <= 0.0 || interval <= 0.0) {
        std::fprintf(stderr, "usage: soak_frames [seconds > 0] [sample interval > 0]\n");
        return 2;
    }
    if (!frame_scene::open()) return 1;

    using clock_type = std::chrono::steady_clock;
    const auto start = clock_type::now();
    auto elapsed = [&] { return std::chrono::duration<double>(clock_type::now() - start).count(); };

    frame_scene::fill_crowded();
    long frames = 0, settled_kib = -1, peak_kib = 0, last_kib = 0;
    int least_full = 1024;
    double next_sample = 0.0;
    std::printf("%8s %10s %8s  %s\n", "seconds", "frames", "rss KiB", "live: marks incoming tracers blood sparks");
    while (elapsed() < seconds) {
        frame_scene::top_up();
        const frame_scene::pool_counts c = frame_scene::live_per_pool();
        for (int n : {c.echo, c.incoming, c.tracers, c.blood, c.sparks})
            if (n < least_full) least_full = n;
        frame_scene::run_frame();
        ++frames;

        const double t = elapsed();
        if (t >= next_sample) {
            last_kib = resident_kib();
            if (last_kib > peak_kib) peak_kib = last_kib;
            if (settled_kib < 0 && t >= settle) settled_kib = last_kib;
            std::printf("%8.0f %10ld %8ld  %d %d %d %d %d\n", t, frames, last_kib, c.echo, c.incoming, c.tracers, c.blood,
                        c.sparks);
            std::fflush(stdout);
            next_sample += interval;
        }
    }
    last_kib = resident_kib();
    if (settled_kib < 0) settled_kib = last_kib;
    const long growth = last_kib - settled_kib;
    std::printf("soak: %ld frames in %.0f s; every pool held at least %d of 1024 live tasks before each frame\n", frames,
                elapsed(), least_full);
    std::printf("soak: resident %ld KiB after %.0f s, %ld KiB at the end (growth %ld KiB, peak %ld KiB)\n", settled_kib,
                settle, last_kib, growth, peak_kib);
    const bool flat = growth <= allowed_growth_kib;
    const bool saturated = least_full == 1024;
    std::printf("soak: %s\n", flat && saturated ? "PASS, memory flat with every pool full"
                              : !saturated       ? "FAIL, a pool was not kept full"
                                                 : "FAIL, memory grew");
    return flat && saturated ? 0 : 1;
}
