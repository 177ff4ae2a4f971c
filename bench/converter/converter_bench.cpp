// Run: <build folder>/converter_bench
// Reports, for 180 seconds of generated stereo at 44100 Hz:
//   Conversion/180s          the whole conversion in memory (analysis, records, file bytes)
//   AnalysisVsFftw/180s      our analysis of all 360 channel-seconds against libfftw3f
//                            running the same transforms (64 x 1024 points and
//                            512 x 64 points per channel-second), both on one
//                            core, timed in thread CPU time
//   PeakMemory/180s          peak resident memory of velmora_bc converting the file
//   DynamicsCost/180s        the dynamics edition's conversion against the
//                            standard one's, both on one thread, in thread CPU
//                            time, taken in turns: added_percent is its extra
//                            cost, plan_ms the song-level measures alone
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "converter/analysis.hpp"
#include "converter/convert.hpp"
#include "converter/dynamics.hpp"

namespace {

constexpr std::uint32_t seconds = 180;
constexpr std::size_t frames = static_cast<std::size_t>(seconds) * converter::sample_rate;

// Music-like material: tones whose loudness pulses at several rates, a kick
// every half second, and noise, different in the two channels.
const std::vector<std::int16_t>& signal() {
    static const std::vector<std::int16_t> values = [] {
        std::vector<std::int16_t> v(frames * 2);
        std::mt19937 gen(2024);
        std::normal_distribution<double> noise(0.0, 600.0);
        const double two_pi = 6.283185307179586;
        for (std::size_t n = 0; n < frames; ++n) {
            const double t = static_cast<double>(n) / converter::sample_rate;
            const double beat = std::fmod(t, 0.5);
            const double kick = 9000.0 * std::exp(-beat * 30.0) * std::sin(two_pi * 60.0 * beat);
            for (int ch = 0; ch < 2; ++ch) {
                double x = kick + noise(gen);
                x += 5000.0 * (0.5 + 0.5 * std::cos(two_pi * (4.0 + ch) * t)) * std::sin(two_pi * (440.0 + 110.0 * ch) * t);
                x += 3000.0 * (0.5 + 0.5 * std::cos(two_pi * 11.0 * t)) * std::sin(two_pi * (3520.0 - 500.0 * ch) * t);
                x += 2000.0 * std::sin(two_pi * (1000.0 + 200.0 * std::sin(two_pi * 0.1 * t)) * t);
                v[2 * n + static_cast<std::size_t>(ch)] = static_cast<std::int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, x))));
            }
        }
        return v;
    }();
    return values;
}

// CPU time of this thread: the machine may be shared, and time spent waiting
// for a core belongs to neither side.
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

class counting_sink : public pattern::sink {
public:
    void put(const std::uint8_t*, std::size_t count) override { bytes += count; }
    std::size_t bytes = 0;
};

void Conversion(benchmark::State& state) {
    const converter::wave_sample source(converter::sample_rate, 2, signal());
    std::size_t bytes = 0;
    for (auto _ : state) {
        counting_sink sink;
        std::ostringstream progress;
        converter::console con(progress, converter::console_encoding::utf8);
        converter::write_pattern(source, converter::edition::standard, sink, con);
        bytes = sink.bytes;
    }
    state.counters["pattern_bytes"] = static_cast<double>(bytes);
    state.counters["records"] = static_cast<double>((bytes - 9) / 12);
}
BENCHMARK(Conversion)->Name("Conversion/180s")->Unit(benchmark::kMillisecond)->Iterations(3);

// Both sides get the same windows; only the transforms are timed for FFTW,
// the whole analysis (windows, both transform sets, magnitudes) for us.
void AnalysisVsFftw(benchmark::State& state) {
    const std::vector<std::int16_t>& v = signal();
    const converter::channel_view channels[2] = {{v.data(), frames, 2, 0}, {v.data(), frames, 2, 1}};
    converter::analysis an;

    std::vector<fftwf_complex*> windows(converter::window_count);
    std::vector<fftwf_complex*> series(converter::frequency_bins);
    for (auto& w : windows) w = fftwf_alloc_complex(converter::window_length);
    for (auto& s : series) s = fftwf_alloc_complex(converter::modulation_length);
    fftwf_plan window_plan = fftwf_plan_dft_1d(converter::window_length, windows[0], windows[0], FFTW_FORWARD, FFTW_MEASURE);
    fftwf_plan series_plan = fftwf_plan_dft_1d(converter::modulation_length, series[0], series[0], FFTW_FORWARD, FFTW_MEASURE);

    double ours = 0.0, fftw = 0.0;
    float sink = 0.0f;
    for (auto _ : state) {
        ours = fftw = 0.0;
        for (const auto& c : channels) {
            for (std::uint32_t s = 0; s < seconds; ++s) {
                double t0 = thread_seconds();
                an.run(c, s);
                ours += thread_seconds() - t0;
                sink += an.magnitude(100, 3);

                for (int j = 0; j < converter::window_count; ++j) {
                    const std::size_t start = static_cast<std::size_t>(s) * converter::sample_rate +
                                              static_cast<std::size_t>(j % 60) * converter::frame_length;
                    for (int k = 0; k < converter::window_length; ++k) {
                        windows[j][k][0] = v[2 * (start + static_cast<std::size_t>(k) % converter::frame_length) + c.channel] / 32768.0f;
                        windows[j][k][1] = 0.0f;
                    }
                }
                for (int b = 0; b < converter::frequency_bins; ++b)
                    for (int j = 0; j < converter::modulation_length; ++j) {
                        series[b][j][0] = windows[j][b][0];
                        series[b][j][1] = 0.0f;
                    }
                t0 = thread_seconds();
                for (auto* w : windows) fftwf_execute_dft(window_plan, w, w);
                for (auto* s2 : series) fftwf_execute_dft(series_plan, s2, s2);
                fftw += thread_seconds() - t0;
                sink += windows[3][7][0] + series[9][4][1];
            }
        }
        state.SetIterationTime(ours);
    }
    benchmark::DoNotOptimize(sink);
    state.counters["ours_ms"] = ours * 1e3;
    state.counters["fftw_ms"] = fftw * 1e3;
    state.counters["ours_per_fftw"] = ours / fftw;
    fftwf_destroy_plan(window_plan);
    fftwf_destroy_plan(series_plan);
    for (auto* w : windows) fftwf_free(w);
    for (auto* s : series) fftwf_free(s);
}
BENCHMARK(AnalysisVsFftw)->Name("AnalysisVsFftw/180s")->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void DynamicsCost(benchmark::State& state) {
    const converter::wave_sample source(converter::sample_rate, 2, signal());
    auto convert = [&](converter::edition ed) {
        counting_sink sink;
        const double t0 = thread_seconds();
        converter::write_pattern(source, ed, sink, nullptr, 1);
        return thread_seconds() - t0;
    };
    double standard = 0.0, dynamics = 0.0, plan = 0.0;
    int rounds = 0;
    for (auto _ : state) {
        standard += convert(converter::edition::standard);
        dynamics += convert(converter::edition::dynamics);
        const double t0 = thread_seconds();
        benchmark::DoNotOptimize(converter::plan_dynamics(source).budget.data());
        plan += thread_seconds() - t0;
        ++rounds;
    }
    state.counters["standard_ms"] = standard / rounds * 1e3;
    state.counters["dynamics_ms"] = dynamics / rounds * 1e3;
    state.counters["plan_ms"] = plan / rounds * 1e3;
    state.counters["added_percent"] = 100.0 * (dynamics - standard) / standard;
}
BENCHMARK(DynamicsCost)->Name("DynamicsCost/180s")->Unit(benchmark::kMillisecond)->Iterations(3);

// velmora_bc on a 180-second WAV, in a child so its peak is its own.
void PeakMemory(benchmark::State& state) {
    const std::string stem = "/tmp/velmora_bc_bench_" + std::to_string(getpid());
    const std::string wav = stem + ".wav";
    const std::string pat = stem + ".pat";
    SF_INFO info{};
    info.samplerate = static_cast<int>(converter::sample_rate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(wav.c_str(), SFM_WRITE, &info);
    if (!f) {
        state.SkipWithError("cannot write the test file");
        return;
    }
    sf_writef_short(f, signal().data(), static_cast<sf_count_t>(frames));
    sf_close(f);

    double peak_mib = 0.0, wall = 0.0;
    int status = -1;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout)) _exit(126);
            execl(VELMORA_BC_PATH, VELMORA_BC_PATH, wav.c_str(), pat.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    }
    const double decoded_mib = static_cast<double>(frames * 2 * sizeof(std::int16_t)) / (1024.0 * 1024.0);
    state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    state.counters["run_s"] = wall;
    state.counters["peak_MiB"] = peak_mib;
    state.counters["decoded_MiB"] = decoded_mib;
    state.counters["beyond_decoded_MiB"] = peak_mib - decoded_mib;
    std::remove(wav.c_str());
    std::remove(pat.c_str());
}
BENCHMARK(PeakMemory)->Name("PeakMemory/180s")->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
