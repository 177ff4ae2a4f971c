// Run: <build folder>/kernel_sets_bench SONG [RUNS]
// What each kernel set (converter/kernels.hpp) saves on a whole conversion
// of SONG, as velmora_bc does it on one thread (decoding included), for the
// standard edition and the dynamics edition at hard and easy: the least and
// the median process CPU time of RUNS runs (7 unless given) per set, the
// sets taking turns, and the least time's gain over the next narrower set,
// per 3 minutes of song. CPU time, since the machine may be shared. Every
// set must write the plain set's bytes: exit 1 when one does not.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "converter/convert.hpp"
#include "converter/editions.hpp"
#include "converter/kernels.hpp"
#include "vaz/xbass.hpp"

namespace {

double process_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct run_result {
    double seconds;
    std::vector<std::uint8_t> bytes;
    std::uint32_t song_seconds;
};

run_result convert_once(const char* path, converter::edition ed, converter::difficulty d) {
    converter::decoded_stream source(path);
    if (source.failed()) throw std::runtime_error(std::string("cannot decode ") + path);
    pattern::vector_sink sink;
    std::uint32_t song_seconds = 0;
    const double start = process_seconds();
    converter::write_pattern(source, ed, d, sink,
                             [&](unsigned, std::uint32_t, std::uint32_t seconds) { song_seconds = seconds; }, 1);
    return {process_seconds() - start, std::move(sink.bytes), song_seconds};
}

struct job {
    converter::edition ed;
    converter::difficulty d;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kernel_sets_bench SONG [RUNS]\n");
        return 2;
    }
    const int runs = argc == 3 ? std::atoi(argv[2]) : 7;
    if (runs < 1 || runs > 1000) {
        std::fprintf(stderr, "kernel_sets_bench: RUNS is 1 to 1000\n");
        return 2;
    }
    vaz::xbass<audiolayer::decode::layer> audio;
    std::vector<converter::kernel_set> sets;
    for (auto k : {converter::kernel_set::plain, converter::kernel_set::sse2, converter::kernel_set::avx_fma,
                   converter::kernel_set::avx512})
        if (converter::kernels_supported(k)) sets.push_back(k);
    const job jobs[] = {{converter::edition::standard, converter::difficulty::hard},
                        {converter::edition::dynamics, converter::difficulty::hard},
                        {converter::edition::dynamics, converter::difficulty::easy}};
    bool same = true;
    std::printf("%-9s %-6s %-8s %9s %9s %16s\n", "edition", "level", "kernels", "least ms", "median ms",
                "gain ms / 3 min");
    for (const job& j : jobs) {
        std::vector<std::vector<double>> times(sets.size());
        std::vector<std::uint8_t> plain_bytes;
        std::uint32_t song_seconds = 0;
        for (int r = 0; r < runs; ++r) {
            for (std::size_t s = 0; s < sets.size(); ++s) {
                converter::use_kernels(sets[s]);
                run_result got = convert_once(argv[1], j.ed, j.d);
                times[s].push_back(got.seconds);
                song_seconds = got.song_seconds;
                if (s == 0 && r == 0) plain_bytes = std::move(got.bytes);
                else if (got.bytes != plain_bytes) {
                    std::printf("DIFFERENT BYTES: %s with %s\n", converter::edition_name(j.ed),
                                converter::kernel_set_name(sets[s]));
                    same = false;
                }
            }
        }
        const double per_3_min = song_seconds > 0 ? 180.0 / song_seconds : 0.0;
        double narrower = 0.0;
        for (std::size_t s = 0; s < sets.size(); ++s) {
            std::vector<double>& t = times[s];
            std::sort(t.begin(), t.end());
            const double least = t.front() * 1000.0, median = t[t.size() / 2] * 1000.0;
            char gain[32] = "";
            if (s > 0) std::snprintf(gain, sizeof gain, "%+.1f", (narrower - least) * per_3_min);
            std::printf("%-9s %-6s %-8s %9.1f %9.1f %16s\n", converter::edition_name(j.ed),
                        converter::difficulty_name(j.d), converter::kernel_set_name(sets[s]), least, median, gain);
            narrower = least;
        }
    }
    return same ? 0 : 1;
}
