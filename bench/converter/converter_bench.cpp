// Run: <build folder>/converter_bench
// Reports, for 180 seconds of generated stereo at 44100 Hz:
//   Conversion/180s          the whole conversion in memory (analysis, records, file bytes)
//   AnalysisVsFftw/180s      our analysis of all 360 channel-seconds against libfftw3f
//                            doing the same whole work (filling the windows, 60 x
//                            1024-point and 512 x 64-point transforms, the
//                            magnitudes, means, peaks and normalising between
//                            and after), both on one core, in turns, timed in
//                            thread CPU time: ours_per_fftw is the median of 5 rounds
//   PeakMemory/180s          peak resident memory and page faults of velmora_bc
//                            converting the file
//   DynamicsCost/180s        the dynamics edition's conversion against the
//                            standard one's, both on one thread, in thread CPU
//                            time, taken in turns: added_percent is its extra
//                            cost (the median of 9 rounds), plan_ms the
//                            song-level measures alone
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <fftw3.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The same whole work on both sides, one channel-second after another in
// turns, in thread CPU time: the 16-bit values scaled and laid out as the 60
// windows (each a frame of 735 values and the frame's first 289 again, no
// imaginary part), 60 complex transforms of 1024 points, every bin's 64
// magnitudes with their mean and peak normalised into 512 series, 512
// complex transforms of 64 points, and their lower 32 magnitudes. FFTW runs
// its own batched plans (FFTW_MEASURE) in single precision over its own
// interleaved layout; the filling and the magnitudes around it are the same
// arithmetic as ours (single-precision square roots, double sums), four
// values at a time with SSE as ours are. Ours is analysis::run, whose output
// is defined to the bit; FFTW's is not (single precision throughout).
struct fftw_analysis {
    static constexpr int windows = 60;
    static constexpr int bins = converter::frequency_bins;
    static constexpr int length = converter::window_length;
    static constexpr int series_length = converter::modulation_length;

    fftw_analysis() {
        frames = fftwf_alloc_complex(static_cast<std::size_t>(windows) * length);
        series = fftwf_alloc_complex(static_cast<std::size_t>(bins) * series_length);
        int n = length;
        window_plan = fftwf_plan_many_dft(1, &n, windows, frames, nullptr, 1, length, frames, nullptr, 1, length,
                                          FFTW_FORWARD, FFTW_MEASURE);
        // Series side by side, point j of bin M at [j * bins + M], as ours.
        int m = series_length;
        series_plan = fftwf_plan_many_dft(1, &m, bins, series, nullptr, bins, 1, series, nullptr, bins, 1,
                                          FFTW_FORWARD, FFTW_MEASURE);
        samples.resize(converter::sample_rate);
        spectra.resize(static_cast<std::size_t>(windows) * bins);
        out.resize(static_cast<std::size_t>(converter::modulation_bins) * bins);
    }
    ~fftw_analysis() {
        fftwf_destroy_plan(window_plan);
        fftwf_destroy_plan(series_plan);
        fftwf_free(frames);
        fftwf_free(series);
    }

    // Four values at once where ours does so too: sqrt(re^2 + im^2) / half
    // in single precision, FFTW's complex pairs taken apart.
    static __m128 magnitudes4(const fftwf_complex* x, float half_inverse) {
        const __m128 ab = _mm_loadu_ps(x[0]);
        const __m128 cd = _mm_loadu_ps(x[2]);
        const __m128 re = _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 im = _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 1, 3, 1));
        return _mm_mul_ps(_mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im))), _mm_set1_ps(half_inverse));
    }

    void run(const converter::channel_view& c, std::uint32_t second) {
        const std::int16_t* v = c.values + c.channel + static_cast<std::size_t>(second) * converter::sample_rate * c.channels;
        for (std::size_t n = 0; n < converter::sample_rate; ++n) samples[n] = v[n * c.channels] * (1.0f / 32768.0f);
        constexpr std::size_t frame = converter::frame_length;
        for (int j = 0; j < windows; ++j) {
            const float* x = &samples[static_cast<std::size_t>(j) * frame];
            fftwf_complex* w = frames + static_cast<std::size_t>(j) * length;
            for (std::size_t k = 0; k < frame; ++k) w[k][0] = x[k], w[k][1] = 0.0f;
            for (std::size_t k = frame; k < static_cast<std::size_t>(length); ++k) w[k][0] = x[k - frame], w[k][1] = 0.0f;
        }
        fftwf_execute(window_plan);
        // Window by window along the bins, then bin by bin along the windows.
        for (int j = 0; j < windows; ++j)
            for (int bin = 0; bin < bins; bin += 4)
                _mm_storeu_ps(&spectra[static_cast<std::size_t>(j) * bins + static_cast<std::size_t>(bin)],
                              magnitudes4(frames + static_cast<std::size_t>(j) * length + static_cast<std::size_t>(bin),
                                          1.0f / 512.0f));
        for (int bin = 0; bin < bins; bin += 2) {
            // Two bins: their sums in double, in order of j.
            __m128d sum = _mm_setzero_pd();
            for (int j = 0; j < series_length; ++j)
                sum = _mm_add_pd(sum, _mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(
                                          &spectra[static_cast<std::size_t>(j % windows) * bins + static_cast<std::size_t>(bin)])))));
            const __m128 mean = _mm_cvtpd_ps(_mm_mul_pd(sum, _mm_set1_pd(0.015625)));
            __m128 peak = _mm_setzero_ps();
            for (int j = 0; j < windows; ++j) {
                const __m128 a = _mm_sub_ps(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(
                                                &spectra[static_cast<std::size_t>(j) * bins + static_cast<std::size_t>(bin)]))),
                                            mean);
                peak = _mm_max_ps(peak, _mm_andnot_ps(_mm_set1_ps(-0.0f), a));
            }
            const __m128 zero_peak = _mm_cmpeq_ps(peak, _mm_setzero_ps());
            for (int j = 0; j < series_length; ++j) {
                const __m128 a = _mm_sub_ps(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(
                                                &spectra[static_cast<std::size_t>(j % windows) * bins + static_cast<std::size_t>(bin)]))),
                                            mean);
                const __m128 y = _mm_andnot_ps(zero_peak, _mm_div_ps(a, peak));
                // (re, 0) pairs of the two bins.
                _mm_storeu_ps(series[static_cast<std::size_t>(j) * bins + static_cast<std::size_t>(bin)],
                              _mm_unpacklo_ps(y, _mm_setzero_ps()));
            }
        }
        fftwf_execute(series_plan);
        for (int l = 0; l < converter::modulation_bins; ++l)
            for (int bin = 0; bin < bins; bin += 4)
                _mm_storeu_ps(&out[static_cast<std::size_t>(l) * bins + static_cast<std::size_t>(bin)],
                              magnitudes4(series + static_cast<std::size_t>(l) * bins + static_cast<std::size_t>(bin),
                                          1.0f / 32.0f));
    }

    fftwf_complex* frames;
    fftwf_complex* series;
    fftwf_plan window_plan;
    fftwf_plan series_plan;
    std::vector<float> samples;
    std::vector<float> spectra;  // magnitude of bin M in window j at [j * bins + M]
    std::vector<float> out;
};

void AnalysisVsFftw(benchmark::State& state) {
    const std::vector<std::int16_t>& v = signal();
    const converter::channel_view channels[2] = {{v.data(), frames, 2, 0}, {v.data(), frames, 2, 1}};
    converter::analysis an;
    fftw_analysis fftw_side;

    double ours = 0.0, fftw = 0.0;
    float sink = 0.0f;
    std::vector<double> ratios;
    for (auto _ : state) {
        double ours_round = 0.0, fftw_round = 0.0;
        for (const auto& c : channels) {
            for (std::uint32_t s = 0; s < seconds; ++s) {
                double t0 = thread_seconds();
                an.run(c, s);
                ours_round += thread_seconds() - t0;
                sink += an.magnitude(100, 3);

                t0 = thread_seconds();
                fftw_side.run(c, s);
                fftw_round += thread_seconds() - t0;
                sink += fftw_side.out[3 * 512 + 100];
            }
        }
        state.SetIterationTime(ours_round);
        ours += ours_round;
        fftw += fftw_round;
        ratios.push_back(ours_round / fftw_round);
    }
    benchmark::DoNotOptimize(sink);
    std::sort(ratios.begin(), ratios.end());
    const double rounds = static_cast<double>(ratios.size());
    state.counters["ours_ms"] = ours / rounds * 1e3;
    state.counters["fftw_ms"] = fftw / rounds * 1e3;
    state.counters["ours_per_fftw"] = ratios[ratios.size() / 2];  // the median round's
}
BENCHMARK(AnalysisVsFftw)->Name("AnalysisVsFftw/180s")->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void DynamicsCost(benchmark::State& state) {
    const converter::wave_sample source(converter::sample_rate, 2, signal());
    auto convert = [&](converter::edition ed) {
        counting_sink sink;
        const double t0 = thread_seconds();
        converter::write_pattern(source, ed, sink, nullptr, 1);
        return thread_seconds() - t0;
    };
    double standard = 0.0, dynamics = 0.0, plan = 0.0;
    std::vector<double> added;  // each round's, in percent
    for (auto _ : state) {
        const double s = convert(converter::edition::standard);
        const double d = convert(converter::edition::dynamics);
        standard += s;
        dynamics += d;
        added.push_back(100.0 * (d - s) / s);
        const double t0 = thread_seconds();
        benchmark::DoNotOptimize(converter::plan_dynamics(source).level.data());
        plan += thread_seconds() - t0;
    }
    const double rounds = static_cast<double>(added.size());
    std::sort(added.begin(), added.end());
    state.counters["standard_ms"] = standard / rounds * 1e3;
    state.counters["dynamics_ms"] = dynamics / rounds * 1e3;
    state.counters["plan_ms"] = plan / rounds * 1e3;
    // The median round's: the machine's speed drifts less within a round.
    state.counters["added_percent"] = added[added.size() / 2];
}
BENCHMARK(DynamicsCost)->Name("DynamicsCost/180s")->Unit(benchmark::kMillisecond)->Iterations(9);

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
    long faults = 0;
    int status = -1;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout)) _exit(126);
            execl(VELMORA_BC_PATH, VELMORA_BC_PATH, wav.c_str(), pat.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // The child's own high-water mark, read while it runs: wait4's
        // ru_maxrss would also count this process's memory, which the child
        // shared between fork and exec. The mark only grows, so the last
        // reading before the exit is the peak, give or take its last
        // milliseconds.
        const std::string status_file = "/proc/" + std::to_string(pid) + "/status";
        long hwm_kib = 0;
        rusage usage{};
        for (;;) {
            if (std::FILE* sf = std::fopen(status_file.c_str(), "r")) {
                // Only once it is velmora_bc: before the exec it is a copy of this process.
                char line[256];
                bool converter = false;
                while (std::fgets(line, sizeof line, sf)) {
                    if (std::strncmp(line, "Name:", 5) == 0) converter = std::strstr(line, "velmora_bc") != nullptr;
                    if (converter && std::strncmp(line, "VmHWM:", 6) == 0)
                        hwm_kib = std::max(hwm_kib, std::atol(line + 6));
                }
                std::fclose(sf);
            }
            if (wait4(pid, &status, WNOHANG, &usage) == pid) break;
            usleep(1000);
        }
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        peak_mib = static_cast<double>(hwm_kib) / 1024.0;
        faults = usage.ru_minflt + usage.ru_majflt;
    }
    // The song decoded whole, which velmora_bc no longer holds: it reads a
    // few seconds at a time.
    const double decoded_mib = static_cast<double>(frames * 2 * sizeof(std::int16_t)) / (1024.0 * 1024.0);
    state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    state.counters["run_s"] = wall;
    state.counters["peak_MiB"] = peak_mib;
    state.counters["page_faults"] = static_cast<double>(faults);
    state.counters["song_decoded_MiB"] = decoded_mib;
    std::remove(wav.c_str());
    std::remove(pat.c_str());
}
BENCHMARK(PeakMemory)->Name("PeakMemory/180s")->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
