#include "converter/convert.hpp"

#include <algorithm>
#include <string>

#include "converter/output_file.hpp"

namespace converter {

unsigned group_count(const wave_sample& source) { return std::min(source.info.chans, 2u); }

std::uint32_t whole_seconds(const wave_sample& source) {
    if (source.info.chans == 0 || source.info.freq == 0) return 0;
    return static_cast<std::uint32_t>((source.info.length / (2 * source.info.chans)) / source.info.freq);
}

void write_pattern(const wave_sample& source, edition ed, pattern::sink& out, console& con) {
    pattern::writer writer(out);
    event_queue events;
    analysis an;
    const unsigned groups = group_count(source);
    const std::uint32_t seconds = whole_seconds(source);
    auto earlier = [](const bullet_pattern_element& a, const bullet_pattern_element& b) { return a.time < b.time; };

    writer.group_count(groups);
    for (unsigned ch = 0; ch < groups; ++ch) {
        std::int32_t base = 0;
        for (std::uint32_t s = 0; s < seconds; ++s) {
            con.line(std::to_string(s + 1) + " / " + std::to_string(seconds) + " : " + std::to_string(ch + 1) + " / 2");
            an.run(source.channel(ch), s);
            append_bursts(events, an, ed, base, static_cast<int>(ch));
            // Every record of this second fires before any of the next, so
            // ordering and writing them now gives the group's whole order
            // while holding only one second's events.
            std::stable_sort(events.begin(), events.end(), earlier);
            for (const bullet_pattern_element& e : events) writer.record(e);
            events.clear();
            base += pattern::ticks_per_second;
        }
        writer.terminator();
    }
}

bool convert(const wave_sample& source, const std::string& output_path, edition ed, console& con) {
    output_file out(output_path);
    if (!out.created()) {
        con.message(messages::output_not_created);
        return false;
    }
    write_pattern(source, ed, out, con);
    if (!out.commit()) {
        con.message(messages::output_not_written);
        return false;
    }
    return true;
}

}  // namespace converter
