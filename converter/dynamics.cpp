#include "converter/dynamics.hpp"

#include <ebur128.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <numeric>

namespace converter {

namespace {

constexpr int ticks = pattern::ticks_per_second;

struct meter_deleter {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};
using meter = std::unique_ptr<ebur128_state, meter_deleter>;

// Integrated loudness and the short-term loudness of the 3 s centred on
// each whole second. After second k is fed, the short-term window covers
// seconds k - 2 to k, centred on k - 1; the song is followed by one second
// of silence so that its last second gets its window too (as its first does,
// with the meter's history still silent).
void measure_loudness(const wave_sample& source, unsigned groups, std::uint32_t seconds, dynamics_plan& plan) {
    meter st(ebur128_init(groups, sample_rate, EBUR128_MODE_S | EBUR128_MODE_I));
    if (!st) throw std::bad_alloc();
    if (groups == 1) ebur128_set_channel(st.get(), 0, EBUR128_DUAL_MONO);

    const std::size_t frames = source.frame_count();
    const unsigned stride = source.info.chans;
    std::vector<short> chunk(static_cast<std::size_t>(sample_rate) * groups);
    for (std::uint32_t k = 0; k <= seconds; ++k) {
        const std::size_t first = static_cast<std::size_t>(k) * sample_rate;
        for (std::size_t n = 0; n < sample_rate; ++n)
            for (unsigned c = 0; c < groups; ++c)
                chunk[n * groups + c] = first + n < frames ? source.data[(first + n) * stride + c] : 0;
        if (k == seconds) {
            // Only whole seconds are converted, so only they are measured;
            // the silence after them counts for nothing once gated.
            ebur128_loudness_global(st.get(), &plan.integrated);
            std::fill(chunk.begin(), chunk.end(), 0);
        }
        if (ebur128_add_frames_short(st.get(), chunk.data(), sample_rate) != EBUR128_SUCCESS) throw std::bad_alloc();
        if (k >= 1) ebur128_loudness_shortterm(st.get(), &plan.short_term[k - 1]);
    }
}

// Events per channel and second: 30 at the integrated loudness, doubling
// every 10 LU louder up to twice that, halving every 10 LU quieter, none
// below the gate. The fractions carry over, so a quiet passage still fires
// now and then instead of never.
void set_budgets(dynamics_plan& plan) {
    double carry = 0.0;
    for (std::uint32_t s = 0; s < plan.seconds; ++s) {
        const double relative = plan.short_term[s] - plan.integrated;
        if (!std::isfinite(plan.integrated) || !(relative > -dynamics_gate_db)) {
            plan.budget[s] = 0;
            carry = 0.0;
            continue;
        }
        const double wanted = dynamics_events_at_reference * std::pow(2.0, std::min(relative, 10.0) / 10.0) + carry;
        const double whole = std::floor(wanted);
        plan.budget[s] = static_cast<std::uint16_t>(whole);
        carry = wanted - whole;
    }
}

// The power of a song's frames as R128 gates its blocks: the mean of the
// frames above -70 dBFS, then the mean of those within 10 dB of that mean.
double mean_above(const std::vector<double>& power, double threshold) {
    double sum = 0.0;
    std::size_t n = 0;
    for (double p : power)
        if (p > threshold) {
            sum += p;
            ++n;
        }
    return n == 0 ? 0.0 : sum / static_cast<double>(n);
}

double gated_mean(const std::vector<double>& power) {
    const double absolute = mean_above(power, 1e-7);
    return absolute > 0.0 ? mean_above(power, absolute * 0.1) : 0.0;
}

// Per channel and game frame: whether the frame is gated and how strongly
// it starts a hit. Onset strength is a two-band energy flux: the rise, in
// nepers, of the frame's power and of the power of its first difference (the
// highs: snares, hats) over the previous frame's, each floored at the song's
// gate so that a rise out of near-silence does not count as a huge hit.
// Both are ratios, so the song's overall level does not matter.
void set_weights(const wave_sample& source, unsigned groups, std::uint32_t seconds, dynamics_plan& plan) {
    const std::size_t frames_per_channel = static_cast<std::size_t>(seconds) * ticks;
    const unsigned stride = source.info.chans;
    std::vector<double> power(frames_per_channel * groups), highs(frames_per_channel * groups);
    std::vector<char> silent(frames_per_channel * groups);
    for (unsigned c = 0; c < groups; ++c) {
        std::int32_t previous = 0;
        for (std::size_t f = 0; f < frames_per_channel; ++f) {
            double p = 0.0, h = 0.0;
            bool all_zero = true;
            for (std::size_t n = f * frame_length; n < (f + 1) * frame_length; ++n) {
                const std::int32_t v = source.data[n * stride + c];
                const double x = v * (1.0 / 32768.0);
                const double d = (v - previous) * (1.0 / 32768.0);
                p += x * x;
                h += d * d;
                all_zero = all_zero && v == 0;
                previous = v;
            }
            const std::size_t at = c * frames_per_channel + f;
            power[at] = p / frame_length;
            highs[at] = h / frame_length;
            silent[at] = all_zero;
        }
    }
    const double gate = std::pow(10.0, -dynamics_gate_db / 10.0);
    const double power_floor = gated_mean(power) * gate;
    const double highs_floor = gated_mean(highs) * gate;

    auto gated = [&](std::size_t at) { return silent[at] || power_floor <= 0.0 || power[at] < power_floor; };

    std::vector<double> onset(power.size(), 0.0);
    std::vector<double> sounding;
    for (unsigned c = 0; c < groups; ++c) {
        for (std::size_t f = 0; f < frames_per_channel; ++f) {
            const std::size_t at = c * frames_per_channel + f;
            if (gated(at)) continue;
            const double p0 = f == 0 ? 0.0 : power[at - 1], h0 = f == 0 ? 0.0 : highs[at - 1];
            onset[at] = std::max(0.0, std::log((power[at] + power_floor) / (p0 + power_floor))) +
                        std::max(0.0, std::log((highs[at] + highs_floor) / (h0 + highs_floor)));
            sounding.push_back(onset[at]);
        }
    }
    // Onsets are measured against the song's strong ones (its top tenth).
    double strong = 0.0;
    if (!sounding.empty()) {
        const auto nth = sounding.begin() + static_cast<std::ptrdiff_t>(sounding.size() * 9 / 10);
        std::nth_element(sounding.begin(), nth, sounding.end());
        strong = *nth;
    }
    for (unsigned c = 0; c < groups; ++c) {
        for (std::size_t f = 0; f < frames_per_channel; ++f) {
            const std::size_t at = c * frames_per_channel + f;
            if (gated(at)) continue;  // its weight stays 0
            const double hit = strong > 0.0 ? std::min(1.0, onset[at] / strong) : 0.0;
            plan.weight[at] = static_cast<float>(0.25 + hit);
        }
    }
}

}  // namespace

dynamics_plan plan_dynamics(const wave_sample& source) {
    dynamics_plan plan;
    plan.groups = std::min(source.info.chans, 2u);
    plan.seconds = source.info.chans == 0 || source.info.freq != sample_rate
                       ? 0
                       : static_cast<std::uint32_t>(source.frame_count() / sample_rate);
    plan.short_term.assign(plan.seconds, 0.0);
    plan.budget.assign(plan.seconds, 0);
    plan.weight.assign(static_cast<std::size_t>(plan.groups) * plan.seconds * ticks, 0.0f);
    if (plan.seconds == 0) return plan;
    measure_loudness(source, plan.groups, plan.seconds, plan);
    set_budgets(plan);
    set_weights(source, plan.groups, plan.seconds, plan);
    return plan;
}

void keep_strongest(event_queue& events, const dynamics_plan& plan, unsigned group, std::uint32_t second) {
    const std::int64_t base = static_cast<std::int64_t>(second) * ticks;
    // A candidate with its strength as it was when `crowd` records were kept
    // on its tick. Strengths only fall as ticks fill, so one whose crowd has
    // grown is weighed again and put back: the greedy choice, made lazily.
    struct candidate {
        double strength;
        std::int32_t time;
        std::size_t index;
        unsigned crowd;
    };
    auto weaker = [](const candidate& a, const candidate& b) {
        if (a.strength != b.strength) return a.strength < b.strength;
        if (a.time != b.time) return a.time > b.time;
        return a.index > b.index;
    };
    std::vector<candidate> heap;
    heap.reserve(events.size());
    for (std::size_t k = 0; k < events.size(); ++k) {
        const float w = plan.tick_weight(group, events[k].time);
        if (w > 0.0f) heap.push_back({static_cast<double>(events[k].speed) * w, events[k].time, k, 0});
    }
    std::make_heap(heap.begin(), heap.end(), weaker);

    std::vector<char> kept(events.size(), 0);
    std::array<unsigned, ticks> crowd{};
    for (std::size_t left = plan.budget[second]; left > 0 && !heap.empty();) {
        std::pop_heap(heap.begin(), heap.end(), weaker);
        candidate c = heap.back();
        heap.pop_back();
        unsigned& on_tick = crowd[static_cast<std::size_t>(c.time - base)];
        if (c.crowd != on_tick) {
            c.strength = std::ldexp(static_cast<double>(events[c.index].speed) * plan.tick_weight(group, c.time),
                                    -static_cast<int>(on_tick));
            c.crowd = on_tick;
            heap.push_back(c);
            std::push_heap(heap.begin(), heap.end(), weaker);
            continue;
        }
        kept[c.index] = 1;
        ++on_tick;
        --left;
    }
    std::size_t out = 0;
    for (std::size_t k = 0; k < events.size(); ++k)
        if (kept[k]) events[out++] = events[k];
    events.resize(out);
}

}  // namespace converter
