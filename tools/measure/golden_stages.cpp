#include "tools/measure/golden_stages.hpp"

#include <xxhash.h>

#include <cstdio>
#include <vector>

#include "converter/convert.hpp"
#include "tools/measure/stage_measure.hpp"
#include "tools/song/dynamics_song.hpp"
#include "tools/song/song.hpp"

namespace golden_stages {

std::string digest_text() {
    struct piece {
        const char* name;
        std::vector<std::int16_t> music;
    };
    const piece pieces[] = {{"bundled-20s", song::render(20)}, {"dynamics-60s", song::render_dynamics(0.0)}};
    std::string text =
        "# The dynamics edition's stages, to the bit: song, difficulty, events, XXH3-64 of the\n"
        "# pattern file. Made by build/golden_stages tests/converter/golden/dynamics_stages.txt\n";
    for (const piece& p : pieces) {
        const converter::wave_sample source(44100, 2, p.music);
        for (converter::difficulty d :
             {converter::difficulty::easy, converter::difficulty::normal, converter::difficulty::hard}) {
            pattern::vector_sink sink;
            converter::write_pattern(source, converter::edition::dynamics, d, sink, nullptr, 1);
            std::size_t events = 0;
            if (const auto stage = stage_measure::parse_stage(sink.bytes))
                for (const auto& g : *stage) events += g.size();
            char line[128];
            std::snprintf(line, sizeof line, "%s %s %zu %016llx\n", p.name, converter::difficulty_name(d), events,
                          static_cast<unsigned long long>(XXH3_64bits(sink.bytes.data(), sink.bytes.size())));
            text += line;
        }
    }
    return text;
}

}  // namespace golden_stages
