#include "converter/synthesis.hpp"

#include "vaz/single_pi.hpp"

namespace converter {

// pi, bin, channel, i and l + 1 enter as single-precision values; the
// arithmetic runs in double, left to right, and is rounded once.
bullet_pattern_element burst_record(edition ed, std::int32_t base, int channel, int bin, int l, int i, float m,
                                    float floor) {
    const double pi = vaz::single_pi();
    const double bin_f = static_cast<float>(bin);
    const double channel_f = static_cast<float>(channel);
    const double i_f = static_cast<float>(i);
    const double count_f = static_cast<float>(l + 1);
    const double m_d = m;

    bullet_pattern_element e;
    e.time = base - (i * -pattern::ticks_per_second) / (l + 1);
    if (ed != edition::zetaflux) {
        e.angle = static_cast<float>(bin_f * pi / frequency_bins + channel_f * pi - pi * 0.5);
        e.speed = static_cast<float>(m_d * 2.5);
    } else {
        e.angle = static_cast<float>(pi * bin_f / frequency_bins + pi * channel_f + pi * i_f / count_f - pi * 0.5);
        e.speed = static_cast<float>(m_d + (m_d - static_cast<double>(floor)) * 1.5);
    }
    return e;
}

void collect_bursts(const analysis& an, edition ed, std::vector<burst>& out) {
    out.clear();
    for (int bin = 0; bin < frequency_bins; ++bin) {
        float floor = 0.0f;
        if (ed == edition::zetaflux)
            for (int l = 0; l < modulation_bins; ++l)
                if (an.magnitude(bin, l) < floor) floor = an.magnitude(bin, l);
        // Modulation bins ascending; only those the analysis did not rule out.
        for (std::uint32_t bits = an.burst_candidates(bin); bits != 0; bits &= bits - 1) {
            const int l = __builtin_ctz(bits);
            const float m = an.magnitude(bin, l);
            if (is_burst(m))
                out.push_back({static_cast<std::uint16_t>(bin), static_cast<std::uint8_t>(l), m, floor});
        }
    }
}

void append_bursts(event_queue& events, const burst* first, const burst* last, edition ed, std::int32_t base,
                   int channel) {
    for (const burst* b = first; b != last; ++b)
        for (int i = 0; i <= b->l; ++i)
            events.push_back(burst_record(ed, base, channel, b->bin, b->l, i, b->m, b->floor));
}

void append_bursts(event_queue& events, const analysis& an, edition ed, std::int32_t base, int channel) {
    std::vector<burst> bursts;
    collect_bursts(an, ed, bursts);
    append_bursts(events, bursts.data(), bursts.data() + bursts.size(), ed, base, channel);
}

}  // namespace converter
