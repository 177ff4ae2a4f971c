// Run: <build folder>/converter_prepare_bench [songs, default 20] [seconds per song, default 180]
// Prepares generated songs in mixed formats, rates and channel counts the way
// a front end does: load_at_converter_rate, then write_pattern into memory.
// Reports songs per second and the real-time factor (seconds of music
// prepared per second of wall time) for
//   1 thread             one song after another, the analysis on one thread
//   N threads per song   one song after another, the analysis on N threads
//                        (loading and resampling stay on one)
//   N songs at once      N songs side by side, each on one thread
// with N the number of cores (at least 2), and beside them the CPU time
// (user and system) per song and the cores kept busy on average. Other work
// on the machine lengthens the wall times but hardly the CPU times: a
// configuration that spends no more CPU per song than one thread does, and
// keeps N cores busy, is N times faster on N free cores. The load average is
// printed before and after. Every configuration must give the same pattern
// bytes; the run fails otherwise.
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <sys/resource.h>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "converter/convert.hpp"
#include "converter/load_any.hpp"

namespace {

struct song_format {
    const char* extension;
    int format;
    int rate;
    int channels;
};

// A spread of what a music library holds.
const std::vector<song_format> formats = {
    {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2},      {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2},
    {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 22050, 1},      {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2},
    {"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2},       {"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 2},
    {"wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2},       {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 32000, 1},
};

// Music-like material at the file's own rate: pulsing tones, a kick every
// half second and noise, different per channel and per song.
bool write_song(const std::string& path, const song_format& f, double seconds, unsigned seed) {
    SF_INFO info{};
    info.samplerate = f.rate;
    info.channels = f.channels;
    info.format = f.format;
    if (!sf_format_check(&info)) return false;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0.0, 0.02);
    const double two_pi = 6.283185307179586;
    const double base = 300.0 + 40.0 * seed;
    const std::size_t frames = static_cast<std::size_t>(seconds * f.rate);
    std::vector<double> chunk;
    bool ok = true;
    for (std::size_t start = 0; start < frames && ok; start += 8192) {
        const std::size_t n_frames = std::min<std::size_t>(8192, frames - start);
        chunk.assign(n_frames * static_cast<std::size_t>(f.channels), 0.0);
        for (std::size_t n = 0; n < n_frames; ++n) {
            const double t = static_cast<double>(start + n) / f.rate;
            const double beat = std::fmod(t, 0.5);
            const double kick = 0.3 * std::exp(-beat * 30.0) * std::sin(two_pi * 60.0 * beat);
            for (int ch = 0; ch < f.channels; ++ch) {
                double x = kick + noise(gen);
                x += 0.15 * (0.5 + 0.5 * std::cos(two_pi * (4.0 + ch + seed % 3) * t)) *
                     std::sin(two_pi * (base + 110.0 * ch) * t);
                x += 0.1 * (0.5 + 0.5 * std::cos(two_pi * 11.0 * t)) * std::sin(two_pi * (3520.0 - 500.0 * ch) * t);
                chunk[n * static_cast<std::size_t>(f.channels) + static_cast<std::size_t>(ch)] = x;
            }
        }
        ok = sf_writef_double(file, chunk.data(), static_cast<sf_count_t>(n_frames)) ==
             static_cast<sf_count_t>(n_frames);
    }
    sf_close(file);
    return ok;
}

struct prepared {
    std::vector<std::uint8_t> pattern;
    double seconds = 0;  // of music
};

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double thread_cpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// CPU time of the loading (decoding, resampling) in single-threaded runs.
std::atomic<double> loading_cpu{0};

prepared prepare(const std::string& path, unsigned threads) {
    converter::source_facts facts{};
    std::string error;
    const double before = thread_cpu();
    const auto source = converter::load_at_converter_rate(path, &facts, &error);
    if (!source) {
        std::fprintf(stderr, "converter_prepare_bench: %s\n", error.c_str());
        std::exit(1);
    }
    loading_cpu = loading_cpu + (thread_cpu() - before);
    pattern::vector_sink sink;
    converter::write_pattern(*source, converter::edition::standard, sink, nullptr, threads);
    return {std::move(sink.bytes), facts.seconds};
}

double process_cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

struct result {
    double wall;
    double cpu;  // of the whole process: what the machine's other load cannot inflate much
    double music;
    std::vector<std::vector<std::uint8_t>> patterns;
};

// `songs_at_once` workers take the songs in turn, each preparing its song
// with `threads` analysis threads.
result run(const std::vector<std::string>& songs, unsigned songs_at_once, unsigned threads) {
    result r{0, 0, 0, std::vector<std::vector<std::uint8_t>>(songs.size())};
    std::vector<double> music(songs.size());
    std::atomic<std::size_t> next{0};
    const double start = now();
    const double cpu_start = process_cpu();
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < songs_at_once; ++w)
        workers.emplace_back([&] {
            for (std::size_t k; (k = next++) < songs.size();) {
                prepared p = prepare(songs[k], threads);
                r.patterns[k] = std::move(p.pattern);
                music[k] = p.seconds;
            }
        });
    for (std::thread& t : workers) t.join();
    r.wall = now() - start;
    r.cpu = process_cpu() - cpu_start;
    for (double m : music) r.music += m;
    return r;
}

void report(const char* name, const result& r, std::size_t songs, double single_wall) {
    std::printf("%-22s %7.2f s %7.3f songs/s %7.1fx real time %5.2fx faster %7.2f s CPU %6.3f s CPU/song %5.2f cores busy\n",
                name, r.wall, songs / r.wall, r.music / r.wall, single_wall / r.wall, r.cpu, r.cpu / songs,
                r.cpu / r.wall);
}

std::string load_average() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t song_count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 180.0;
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());

    char folder[] = "/tmp/velmora_prepare_bench.XXXXXX";
    if (!mkdtemp(folder)) return 1;
    std::vector<std::string> songs;
    std::printf("writing %zu songs of %.0f s:", song_count, seconds);
    for (std::size_t k = 0; k < song_count; ++k) {
        // Formats this libsndfile cannot write are passed over.
        for (std::size_t tries = 0; tries < formats.size(); ++tries) {
            const song_format& f = formats[(k + tries) % formats.size()];
            const std::string path = std::string(folder) + "/song" + std::to_string(k) + "." + f.extension;
            if (write_song(path, f, seconds, static_cast<unsigned>(k))) {
                std::printf(" %s/%d/%d", f.extension, f.rate, f.channels);
                std::fflush(stdout);
                songs.push_back(path);
                break;
            }
            std::remove(path.c_str());
        }
    }
    std::printf("\n\n");

    std::printf("load average before: %s (%u cores)\n", load_average().c_str(), cores);
    const result one = run(songs, 1, 1);
    const double loading = loading_cpu;
    const result per_song = run(songs, 1, cores);
    const result side_by_side = run(songs, cores, 1);
    report("1 thread", one, songs.size(), one.wall);
    const std::string a = std::to_string(cores) + " threads per song", b = std::to_string(cores) + " songs at once";
    report(a.c_str(), per_song, songs.size(), one.wall);
    report(b.c_str(), side_by_side, songs.size(), one.wall);
    std::printf("(1 thread: loading, resampling included, %.2f s of %.2f s CPU)\n", loading, one.cpu);
    std::printf("load average after: %s\n", load_average().c_str());

    nftw(folder, [](const char* p, const struct stat*, int, FTW*) { return std::remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
    if (per_song.patterns != one.patterns || side_by_side.patterns != one.patterns) {
        std::fprintf(stderr, "converter_prepare_bench: the pattern bytes differ between thread counts\n");
        return 1;
    }
    return 0;
}
