#include "converter/dynamics.hpp"

#include "converter/loudness.hpp"
#include "converter/onsets.hpp"
#include "vaz/single_pi.hpp"

#include "converter/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace converter {

namespace {

constexpr int ticks = pattern::ticks_per_second;

// The loudness meter hears a mono mix of the converted channels at a quarter
// of the rate (each value the mean of four frames): a quarter of the
// meter's work on one channel instead of two, for measures that only compare
// the song with itself. Up to 5.5 kHz is heard as it is; what lies above
// folds into the band it keeps, with its energy.
constexpr unsigned meter_decimation = 4;
constexpr std::size_t meter_rate = sample_rate / meter_decimation;

// One second of the meter's mix: each value the sum of four frames of the
// converted channels, times `scale`. The sums are whole numbers and the
// scale a power of two, so every path gives the same values.
void mix_for_meter(const std::int16_t* v, unsigned stride, unsigned groups, float scale, float* out) {
    std::size_t j = 0;
#if defined(__SSE2__)
    if (stride == 2 && groups == 2 && four_lane_kernels()) {
        // Four values from 32 at a time: pairs added by madd, then across.
        const __m128i ones = _mm_set1_epi16(1);
        const __m128 scales = _mm_set1_ps(scale);
        for (; j + 4 <= meter_rate; j += 4, v += 32) {
            const __m128i a = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)), ones);
            const __m128i b = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 8)), ones);
            const __m128i c = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 16)), ones);
            const __m128i d = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 24)), ones);
            const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
            const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(c, d), _mm_unpackhi_epi32(c, d));
            const __m128i sums = _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
            _mm_storeu_ps(out + j, _mm_mul_ps(_mm_cvtepi32_ps(sums), scales));
        }
    }
#endif
    for (; j < meter_rate; ++j, v += meter_decimation * stride) {
        std::int32_t sum = 0;
        for (unsigned n = 0; n < meter_decimation; ++n)
            for (unsigned c = 0; c < groups; ++c) sum += v[n * stride + c];
        out[j] = static_cast<float>(sum) * scale;
    }
}

// Integrated loudness and the short-term loudness of the 3 s centred on
// each whole second. After second k is fed, the short-term window covers
// seconds k - 2 to k, centred on k - 1; the song is followed by one second
// of silence so that its last second gets its window too (as its first does,
// with the meter's history still silent).
class loudness_meter {
public:
    loudness_meter(unsigned stride, unsigned groups)
        : meter_(meter_rate),
          stride_(stride),
          groups_(groups),
          // The sum of 4 frames of 2 channels scaled by a power of two: exact.
          scale_(1.0f / static_cast<float>(meter_decimation * groups * 32768u)),
          chunk_(meter_rate) {}

    // Second k of the song.
    void add_second(const std::int16_t* v) {
        mix_for_meter(v, stride_, groups_, scale_, chunk_.data());
        feed();
    }

    // Second k of the song, with a maker of the meter's loop that takes the
    // mix from `mixed()` (stereo_second).
    template <class Make>
    void add_second_with(const std::int16_t* v, Make&& make) {
        mix_for_meter(v, stride_, groups_, scale_, chunk_.data());
        meter_.add_made(meter_rate, make);
        fed();
    }

    const float* mixed() const { return chunk_.data(); }

    // After the last second: the integrated loudness, and every second's
    // short-term loudness.
    double finish(std::vector<double>& short_term) {
        // Only whole seconds are converted, so only they are measured;
        // the silence after them counts for nothing once gated.
        const double integrated = meter_.integrated();
        std::fill(chunk_.begin(), chunk_.end(), 0.0f);
        feed();
        short_term = meter_.short_term();
        return integrated;
    }

private:
    void feed() {
        meter_.add(chunk_.data(), meter_rate);
        fed();
    }

    void fed() {
        if (fed_++ >= 1) meter_.mark_short_term();
    }

    k_loudness meter_;
    unsigned stride_;
    unsigned groups_;
    float scale_;
    std::vector<float> chunk_;
    std::uint32_t fed_ = 0;
};

// Each second's level: 2^(LU above the integrated / 10), up to twice at
// 10 LU; 0 below the gate. In whole LU, and within 1.5 LU of the song's
// level (about what a listener can tell apart) at it, so that a steady
// sound whose short-term loudness wavers gets the same threats all along.
void set_levels(dynamics_plan& plan) {
    plan.level.assign(plan.seconds, 0.0);
    for (std::uint32_t s = 0; s < plan.seconds; ++s) {
        const double relative = plan.short_term[s] - plan.integrated;
        if (!std::isfinite(plan.integrated) || !(relative > -dynamics_gate_db)) continue;
        const double heard = std::fabs(relative) < 1.5 ? 0.0 : std::round(relative);
        plan.level[s] = std::pow(2.0, std::min(heard, 10.0) / 10.0);
    }
}

// max(0, log(now / before)) for positive measures, without the logarithm
// where it would be thrown away.
double rise(double now, double before) { return now > before ? std::log(now / before) : 0.0; }

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

// The power of a song's frames as R128 gates its blocks: the mean of the
// frames above -70 dBFS, then the mean of those within 10 dB of that mean.
double gated_mean(const std::vector<double>& power) {
    const double absolute = mean_above(power, 1e-7);
    return absolute > 0.0 ? mean_above(power, absolute * 0.1) : 0.0;
}

// The sums of squares behind a game frame's power and that of its highs,
// whole numbers and so exact in any order: the highs are the differences of
// consecutive values halved first (x >> 1 is floor(x / 2)), which keeps them
// within 16 bits.
struct frame_sums {
    std::uint64_t power = 0, highs = 0;
    void add(std::int32_t x, std::int32_t before) {
        const std::int32_t d = (x >> 1) - (before >> 1);
        power += static_cast<std::uint64_t>(x * x);
        highs += static_cast<std::uint64_t>(d * d);
    }
};

void frame_sums_of(const std::int16_t* v, unsigned stride, std::int32_t before, frame_sums& out) {
    for (std::size_t n = 0; n < frame_length; ++n, v += stride) {
        out.add(*v, before);
        before = *v;
    }
}

#if defined(__SSE2__)
// [L0 R0 L1 R1 L2 R2 L3 R3] as [L0 L1 L2 L3 R0 R1 R2 R3].
inline __m128i deinterleave(__m128i x) {
    x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(3, 1, 2, 0));
    x = _mm_shufflehi_epi16(x, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_shuffle_epi32(x, _MM_SHUFFLE(3, 1, 2, 0));
}

// Sums of the squares of deinterleaved values without shuffles: madd gives
// [L0²+L1², L2²+L3², R0²+R1², R2²+R3²] (each at most 2^31, so unsigned),
// which `all` adds as two 64-bit numbers (lo + 2^32 hi each) and `high` as
// their high halves alone; the left sum is then lane 0's lo + hi, the right
// lane 1's. Sums wrap modulo 2^64 and are recovered exactly.
struct square_sums_64 {
    __m128i all = _mm_setzero_si128(), high = _mm_setzero_si128();

    void add(__m128i y) {
        const __m128i pairs = _mm_madd_epi16(y, y);
        all = _mm_add_epi64(all, pairs);
        high = _mm_add_epi64(high, _mm_srli_epi64(pairs, 32));
    }

    // The left and the right sum.
    void take(std::uint64_t& left, std::uint64_t& right) const {
        alignas(16) std::uint64_t a[2], h[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(a), all);
        _mm_store_si128(reinterpret_cast<__m128i*>(h), high);
        left += a[0] - (h[0] << 32) + h[0];
        right += a[1] - (h[1] << 32) + h[1];
    }
};
#endif

// Mean square of every game frame of each converted channel and of its
// highs, and whether it is digitally silent, one second after another:
// [channel][frame].
struct frame_measures {
    std::vector<double> power[2], highs[2];
    std::vector<char> silent[2];
    std::int32_t before[2] = {0, 0};

    void add_second(const std::int16_t* data, unsigned stride, unsigned groups) {
        for (std::size_t f = 0; f < static_cast<std::size_t>(ticks); ++f) {
            const std::int16_t* v = data + f * frame_length * stride;
            frame_sums sums[2];
            for (unsigned c = 0; c < groups; ++c) frame_sums_of(v + c, stride, before[c], sums[c]);
            for (unsigned c = 0; c < groups; ++c) {
                before[c] = v[(frame_length - 1) * stride + c];
                push(c, sums[c]);
            }
        }
    }

    void push(unsigned c, const frame_sums& sums) {
        constexpr double to_power = 1.0 / (32768.0 * 32768.0 * frame_length);
        power[c].push_back(static_cast<double>(sums.power) * to_power);
        highs[c].push_back(static_cast<double>(sums.highs) * to_power);
        silent[c].push_back(sums.power == 0);
    }
};

#if defined(__SSE2__)
// The game frames' measures of one second of interleaved stereo, taken in
// the loudness meter's loop: value i of the meter's mix (`mixed`, made
// before) stands for frames 4i to 4i + 3, and giving it adds those frames to
// their game frames' sums, work the core does while the meter's filter waits
// on itself.
class stereo_second {
public:
    stereo_second(const std::int16_t* v, const float* mixed, frame_measures& out)
        : v_(v), mixed_(mixed), out_(out),
          halved_before_(_mm_set_epi16(static_cast<short>(out.before[1] >> 1), 0, 0, 0,
                                       static_cast<short>(out.before[0] >> 1), 0, 0, 0)) {}

    // Values whose four frames lie within one game frame and end none. Each
    // channel's previous value is its deinterleaved lane before, the last
    // lane of the value before for the first.
    [[gnu::always_inline]] float operator()(std::size_t i) {
        const __m128i x = deinterleave(load(i));
        const __m128i halved = _mm_srai_epi16(x, 1);
        const __m128i previous = _mm_or_si128(_mm_slli_epi64(halved, 16), _mm_srli_epi64(halved_before_, 48));
        power_.add(x);
        highs_.add(_mm_sub_epi16(halved, previous));
        halved_before_ = halved;
        return mixed_[i];
    }

    std::size_t plain_until(std::size_t i) const { return std::max(i, (end_ - 1) / 4); }

    float value(std::size_t i) const { return mixed_[i]; }

    // The value whose four frames end a game frame or cross into the next.
    float special(std::size_t i) {
        if (4 * i + 4 == end_) {
            const float value = operator()(i);
            close_frame();
            return value;
        }
        for (std::size_t frame = 4 * i; frame < 4 * i + 4; ++frame) {
            if (frame == end_) close_frame();
            l_.add(v_[2 * frame], frame == 0 ? out_.before[0] : v_[2 * frame - 2]);
            r_.add(v_[2 * frame + 1], frame == 0 ? out_.before[1] : v_[2 * frame - 1]);
        }
        halved_before_ = _mm_srai_epi16(deinterleave(load(i)), 1);
        return mixed_[i];
    }

    // After the second's last value: its last frame leads into the next second.
    void finish() {
        out_.before[0] = v_[2 * (sample_rate - 1)];
        out_.before[1] = v_[2 * (sample_rate - 1) + 1];
    }

private:
    __m128i load(std::size_t i) const { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v_ + 8 * i)); }

    void close_frame() {
        power_.take(l_.power, r_.power);
        highs_.take(l_.highs, r_.highs);
        out_.push(0, l_);
        out_.push(1, r_);
        l_ = r_ = frame_sums{};
        power_ = highs_ = square_sums_64{};
        end_ += frame_length;
    }

    const std::int16_t* v_;
    const float* mixed_;
    frame_measures& out_;
    __m128i halved_before_;  // deinterleaved
    square_sums_64 power_, highs_;
    frame_sums l_, r_;
    std::size_t end_ = frame_length;  // where the current game frame ends
};
#endif

// Per channel and game frame: whether the frame is gated and how strongly
// it starts a hit. Onset strength is a two-band energy flux: the rise, in
// nepers, of the frame's power and of the power of its first difference (the
// highs: snares, hats) over the previous frame's, each floored at the song's
// gate so that a rise out of near-silence does not count as a huge hit.
// Both are ratios, so the song's overall level does not matter.
void set_weights(frame_measures& measured, unsigned groups, std::uint32_t seconds, dynamics_plan& plan) {
    const std::size_t frames_per_channel = static_cast<std::size_t>(seconds) * ticks;
    // [channel * frames + frame], the channels one after the other.
    std::vector<double> power, highs;
    std::vector<char> silent;
    for (unsigned c = 0; c < groups; ++c) {
        power.insert(power.end(), measured.power[c].begin(), measured.power[c].end());
        highs.insert(highs.end(), measured.highs[c].begin(), measured.highs[c].end());
        silent.insert(silent.end(), measured.silent[c].begin(), measured.silent[c].end());
        std::vector<double>().swap(measured.power[c]);
        std::vector<double>().swap(measured.highs[c]);
        std::vector<char>().swap(measured.silent[c]);
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
            onset[at] = rise(power[at] + power_floor, p0 + power_floor) + rise(highs[at] + highs_floor, h0 + highs_floor);
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

static_assert(sample_rate == onset_finder::rate, "the onset finder hears the song's rate");
// A beat this close to an onset is that onset.
constexpr std::int32_t same_moment_ticks = 3;
// The share of the song's beats on an onset above which its beat is clear:
// on real music the shares fall in two groups, 0.66 to 1 and 0.11 to 0.57.
constexpr double clear_beat_share = 0.6;
// A sound held this long past its moment goes on as a stream, a moment
// every stream_ticks; this much silence before a moment makes it a drop.
constexpr std::int32_t held_ticks = 30;
constexpr std::int32_t stream_ticks = 15;
constexpr std::int32_t drop_silence_ticks = 60;
// Onsets in the second around a beat no onset marks that make it a rest:
// eighth notes at 120 beats a minute.
constexpr std::ptrdiff_t busy_onsets = 4;

// The tick nearest an onset finder's sample.
std::int32_t tick_of(std::int64_t sample) {
    constexpr std::int64_t rate = onset_finder::rate;
    return static_cast<std::int32_t>((sample * 2 * ticks + rate) / (2 * rate));
}

// The onsets and the beats that no onset stands for, on the ticks where the
// music sounds; streams through the sounds held between them; the first
// moment after a silence marked a drop.
void set_moments(const onset_finder& found, dynamics_plan& plan) {
    const std::int32_t last_tick = static_cast<std::int32_t>(plan.seconds) * ticks;
    std::vector<char> sounding(static_cast<std::size_t>(last_tick), 0);
    for (std::int32_t t = 0; t < last_tick; ++t) {
        if (!(plan.level[static_cast<std::size_t>(t / ticks)] > 0.0)) continue;
        for (unsigned g = 0; g < plan.groups && !sounding[static_cast<std::size_t>(t)]; ++g)
            sounding[static_cast<std::size_t>(t)] = plan.tick_weight(g, t) > 0.0f;
    }

    // An onset's strength is its rank among the song's: the flights then
    // spread evenly over the level's span, whatever the song's dynamics.
    const auto& onsets = found.onsets();
    std::vector<std::size_t> order(onsets.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return onsets[a].strength < onsets[b].strength; });
    std::vector<dynamics_moment> heard(onsets.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
        const std::size_t i = order[r];
        const float strength = order.size() > 1 ? static_cast<float>(r) / static_cast<float>(order.size() - 1) : 1.0f;
        heard[i] = {tick_of(onsets[i].sample), strength, dynamics_moment::hit};
    }
    const std::size_t onset_count = heard.size();
    std::vector<std::int32_t> pulses;
    for (std::int64_t b : found.beats()) {
        const std::int32_t t = tick_of(b);
        const auto near = std::lower_bound(heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(onset_count),
                                           t - same_moment_ticks,
                                           [](const dynamics_moment& m, std::int32_t x) { return m.tick < x; });
        if (near != heard.begin() + static_cast<std::ptrdiff_t>(onset_count) && near->tick <= t + same_moment_ticks)
            continue;
        pulses.push_back(t);
    }
    // A beat no onset marks is a pulse: it carries what a stream does. The
    // tracker finds beats in music with none too, where they are guesses at
    // chance among the onsets: only where most of them fall on an onset is
    // the beat clear enough to be felt without one.
    // Amid notes as quick as these, a beat with none is a rest, and stays one.
    const std::size_t beats = found.beats().size();
    const auto onsets_within = [&](std::int32_t from, std::int32_t to) {
        const auto first = heard.begin(), end = heard.begin() + static_cast<std::ptrdiff_t>(onset_count);
        const auto by_tick = [](const dynamics_moment& m, std::int32_t x) { return m.tick < x; };
        return std::lower_bound(first, end, to, by_tick) - std::lower_bound(first, end, from, by_tick);
    };
    if (static_cast<double>(beats - pulses.size()) >= clear_beat_share * static_cast<double>(beats))
        for (std::int32_t t : pulses)
            if (onsets_within(t - ticks / 2, t + ticks / 2) < busy_onsets)
                heard.push_back({t, 0.0f, dynamics_moment::stream});
    std::stable_sort(heard.begin(), heard.end(),
                     [](const dynamics_moment& a, const dynamics_moment& b) { return a.tick < b.tick; });

    plan.moments.clear();
    std::int32_t last_sound = -drop_silence_ticks - 1;  // the last sounding tick seen
    std::int32_t last_onset = -1;  // the last onset's tick, or the start of a sound before any
    auto fill_stream = [&](std::int32_t until) {
        // Every stream_ticks from held_ticks past the last onset while the sound holds.
        if (last_onset < 0) return;
        std::int32_t u = last_onset;
        for (std::int32_t t = last_onset + held_ticks; t + stream_ticks / 2 < until && t < last_tick;
             t += stream_ticks) {
            for (; u <= t; ++u)
                if (!sounding[static_cast<std::size_t>(u)]) return;
            plan.moments.push_back({t, 0.0f, dynamics_moment::stream});
        }
    };
    std::size_t next = 0;
    for (std::int32_t t = 0; t < last_tick; ++t) {
        bool here = false, onset = false;
        float strength = 0.0f;
        while (next < heard.size() && heard[next].tick <= t) {
            if (heard[next].tick == t) {
                here = true;
                onset = onset || heard[next].kind == dynamics_moment::hit;
                strength = std::max(strength, heard[next].strength);
            }
            ++next;
        }
        if (!sounding[static_cast<std::size_t>(t)]) continue;
        const bool in_stream = last_onset >= 0 && t - last_onset >= held_ticks && t - last_sound == 1;
        if (onset) {
            fill_stream(t);
            const bool drop = t - last_sound > drop_silence_ticks;
            plan.moments.push_back({t, strength, drop ? dynamics_moment::drop : dynamics_moment::hit});
            last_onset = t;
        } else if (here && !in_stream) {
            // A pulse close after an onset; further on, the stream has it.
            plan.moments.push_back({t, 0.0f, dynamics_moment::stream});
        } else if (last_onset < 0 || t - last_sound > 1) {
            // A sound that starts with no onset holds from its start.
            fill_stream(t);
            last_onset = t;
        }
        last_sound = t;
    }
    fill_stream(last_tick);
}

// Repeated bars. The beat tracker's beats, laid on a grid at their local
// period and carried back to the song's start (the tracker needs some
// seconds to lock on), are grouped in fours; each bar's onset envelope (the
// frames' hit strengths, summed over the channels and smoothed over three
// ticks, so that a beat a tick off still lines up) is compared with those
// of the bars first heard before it. A bar whose best match correlates
// strongly repeats it, and each of its onsets takes the threats and flights
// of the onset in the same place there.
constexpr std::size_t beats_per_bar = 4;
constexpr double repeat_correlation = 0.8;
// Bars compared with each one: about two minutes at common tempi, enough for
// verses and choruses, so the search stays a small part of the measures.
constexpr std::size_t bars_looked_back = 48;
// A repeated moment's partner lies this close to its place in the first bar;
// bars are aligned to this many ticks either way (the tracker's beats lie
// some milliseconds off the music's).
constexpr std::int32_t repeat_slack_ticks = 2;
constexpr std::int32_t bar_shift_ticks = 8;

// The shortest beat a listener taps along with: 160 a minute, in ticks.
constexpr double fastest_felt_beat = 22.5;

// The beat's period in ticks around beats [from, to): the longest from 40
// to 200 beats a minute of which most gaps between the tracker's beats lie
// near whole multiples (the tracker may skip beats, and wavers while it
// locks on); 0 where none fits.
double beat_period(const std::vector<std::int32_t>& beats, std::size_t from, std::size_t to) {
    constexpr double slowest = 90.0, fastest = 18.0, step = 0.5, near = 2.0, most = 0.75;
    for (double p = slowest; p >= fastest; p -= step) {
        std::size_t fit = 0, n = 0;
        for (std::size_t i = from + 1; i < to; ++i) {
            const double gap = beats[i] - beats[i - 1];
            if (gap > 4 * slowest) continue;  // across a silence
            fit += std::fabs(gap - std::max(1.0, std::round(gap / p)) * p) <= near;
            ++n;
        }
        if (n >= beats_per_bar && static_cast<double>(fit) >= most * static_cast<double>(n)) return p;
    }
    return 0.0;
}

// The beats in ticks on a grid at the local period (of the tracker's eight
// beats nearest, so that it follows a change of tempo): the tracker's where
// it has one, the grid carried on where it has none and back to the song's
// start.
std::vector<std::int32_t> beat_grid(const std::vector<std::int32_t>& beats, std::int32_t last_tick) {
    constexpr std::size_t around = 4;
    if (beats.size() <= 2 * around) return {};
    // Fitted around every fourth beat (the windows overlap), for the four.
    std::vector<double> period(beats.size());
    for (std::size_t i = 0; i < beats.size(); ++i) {
        if (i % beats_per_bar != 0) {
            period[i] = period[i - 1];
            continue;
        }
        const std::size_t from = std::min(i > around ? i - around : 0, beats.size() - 2 * around - 1);
        period[i] = beat_period(beats, from, from + 2 * around + 1);
        // A tracker that counts faster than a listener taps counts half
        // beats: the grid takes every other, so that a bar is a bar.
        while (period[i] > 0.0 && period[i] < fastest_felt_beat) period[i] *= 2.0;
    }
    // The grid starts at the first beat that most of the first ones lie a
    // whole number of periods from (within an eighth of one): a beat the
    // tracker placed before it locked on would set the grid off the music.
    std::size_t next = 0;
    if (period[0] > 0.0) {
        std::size_t most = 0;
        for (std::size_t i = 0; i <= 2 * around; ++i) {
            std::size_t agree = 0;
            for (std::size_t j = 0; j <= 2 * around; ++j) {
                const double gap = std::fabs(beats[j] - beats[i]);
                agree += std::fabs(gap - std::round(gap / period[0]) * period[0]) <= period[0] / 8;
            }
            if (agree > most) {
                most = agree;
                next = i;
            }
        }
    }
    std::vector<std::int32_t> grid;
    if (period[0] > 0.0)
        for (double t = beats[next] - period[0]; t >= 0.0; t -= period[0])
            grid.push_back(static_cast<std::int32_t>(std::lround(t)));
    std::reverse(grid.begin(), grid.end());
    for (double t = beats[next]; t < last_tick;) {
        grid.push_back(static_cast<std::int32_t>(std::lround(t)));
        while (next + 1 < beats.size() && beats[next + 1] <= t) ++next;
        const double p = period[next];
        if (!(p > 0.0)) {
            // No steady beat here: on from the tracker's next one.
            if (next + 1 >= beats.size()) break;
            t = beats[++next];
            continue;
        }
        t += p;
        for (std::size_t i = next; i < beats.size() && beats[i] <= t + p / 4; ++i)
            if (std::fabs(beats[i] - t) <= p / 4) {
                t = beats[i];
                break;
            }
    }
    return grid;
}

// An onset envelope with its running sums, so that the correlation of two
// windows costs only their products.
class envelope_sums {
public:
    explicit envelope_sums(std::vector<float> values) : v_(std::move(values)), sum_(1, 0.0), squares_(1, 0.0) {
        for (float x : v_) {
            sum_.push_back(sum_.back() + x);
            squares_.push_back(squares_.back() + static_cast<double>(x) * x);
        }
    }

    std::int32_t size() const { return static_cast<std::int32_t>(v_.size()); }

    // Pearson correlation of [a, a + n) and [b, b + n), b before a; what of
    // b lies before the start is left out of both.
    double correlation(std::int32_t a, std::int32_t b, std::int32_t n) const {
        const std::int32_t skip = std::max(0, -b);
        a += skip;
        b += skip;
        n -= skip;
        if (n < 4 || a + n > size()) return 0.0;
        const auto ua = static_cast<std::size_t>(a), ub = static_cast<std::size_t>(b), un = static_cast<std::size_t>(n);
        double sab = 0.0;
        for (std::size_t i = 0; i < un; ++i) sab += static_cast<double>(v_[ua + i]) * v_[ub + i];
        const double m = n, sa = sum_[ua + un] - sum_[ua], sb = sum_[ub + un] - sum_[ub];
        const double va = squares_[ua + un] - squares_[ua] - sa * sa / m;
        const double vb = squares_[ub + un] - squares_[ub] - sb * sb / m;
        return va > 1e-9 && vb > 1e-9 ? (sab - sa * sb / m) / std::sqrt(va * vb) : 0.0;
    }

private:
    std::vector<float> v_;
    std::vector<double> sum_, squares_;
};

// The bars (four beats of the grid) that repeat an earlier one: each is
// compared with the bars first heard before it of about its length, shifted
// by some ticks either way (first in steps of two, on an envelope of pairs
// of ticks, then to the tick), and repeats its best match.
std::vector<dynamics_repeat> repeated_bars(const std::vector<float>& envelope, const std::vector<std::int32_t>& beats,
                                           std::int32_t last_tick) {
    std::vector<float> pairs(envelope.size() / 2);
    for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = envelope[2 * i] + envelope[2 * i + 1];
    const envelope_sums fine(envelope), coarse(std::move(pairs));
    struct bar {
        std::int32_t from, length, origin;  // origin: where the bar was first heard
    };
    std::vector<bar> bars;
    std::vector<dynamics_repeat> repeats;
    for (std::size_t b = 0; b < beats.size(); b += beats_per_bar) {
        // The song's last bar may end before its four beats do.
        const bool whole = b + beats_per_bar < beats.size() && beats[b + beats_per_bar] <= last_tick;
        const std::int32_t from = beats[b], length = (whole ? beats[b + beats_per_bar] : last_tick) - from;
        if (length < 8) break;
        const std::size_t k = bars.size();
        bars.push_back({from, length, from});
        double best = repeat_correlation;
        std::size_t roots = 0;
        for (std::size_t j = k; j-- > 0 && roots < bars_looked_back;) {
            if (bars[j].origin != bars[j].from) continue;  // only bars heard first
            ++roots;
            const std::int32_t shorter = std::min(bars[j].length, length);
            if (whole && std::abs(bars[j].length - length) > bar_shift_ticks) continue;
            double coarse_best = -1.0;
            std::int32_t at = bars[j].from;
            for (std::int32_t shift = -bar_shift_ticks; shift <= bar_shift_ticks; shift += 2) {
                const std::int32_t there = bars[j].from + shift;
                if (there + shorter > from) continue;
                const double r = coarse.correlation(from / 2, there >= 0 ? there / 2 : -((1 - there) / 2), shorter / 2);
                if (r > coarse_best) {
                    coarse_best = r;
                    at = there;
                }
            }
            if (coarse_best < best - 0.1) continue;
            for (std::int32_t there = at - 1; there <= at + 1; ++there) {
                if (there + shorter > from) continue;
                const double r = fine.correlation(from, there, shorter);
                if (r > best) {
                    best = r;
                    bars[k].origin = there;
                }
            }
        }
        if (bars[k].origin != from) repeats.push_back({from, length, bars[k].origin});
    }
    return repeats;
}

// Each repeated bar's onsets and their partners in the bar first heard: the
// nearest onset to the same place, each taken once, itself no repeat. A
// held sound's stream keeps its own even pace.
void link_repeats(dynamics_plan& plan) {
    auto& moments = plan.moments;
    const auto at_or_after = [&](std::int32_t tick) {
        return static_cast<std::size_t>(std::lower_bound(moments.begin(), moments.end(), tick,
                                                         [](const dynamics_moment& m, std::int32_t x) {
                                                             return m.tick < x;
                                                         }) -
                                        moments.begin());
    };
    std::vector<std::size_t> taken;
    for (const dynamics_repeat& r : plan.repeats) {
        taken.clear();
        for (std::size_t m = at_or_after(r.from); m < moments.size() && moments[m].tick < r.from + r.length; ++m) {
            if (moments[m].kind == dynamics_moment::stream) continue;
            const std::int32_t place = r.first + (moments[m].tick - r.from);
            std::size_t best = m;
            std::int32_t best_off = repeat_slack_ticks + 1;
            for (std::size_t i = at_or_after(place - repeat_slack_ticks);
                 i < m && moments[i].tick <= place + repeat_slack_ticks; ++i) {
                const std::size_t first = moments[i].echo >= 0 ? static_cast<std::size_t>(moments[i].echo) : i;
                const std::int32_t off = std::abs(moments[i].tick - place);
                if (off >= best_off || moments[first].kind == dynamics_moment::stream || std::find(taken.begin(), taken.end(), first) != taken.end()) continue;
                best = first;
                best_off = off;
            }
            if (best == m) continue;
            taken.push_back(best);
            moments[m].echo = static_cast<std::int32_t>(best);
        }
    }
}

void set_repeats(const onset_finder& found, dynamics_plan& plan) {
    plan.repeats.clear();
    const std::int32_t last_tick = static_cast<std::int32_t>(plan.seconds) * ticks;
    // The tracker's beats; where it found too few, the onsets, whose gaps
    // are also whole beats or parts of one.
    std::vector<std::int32_t> tracked, onsets;
    for (std::int64_t b : found.beats())
        if (tracked.empty() || tick_of(b) > tracked.back()) tracked.push_back(tick_of(b));
    for (const dynamics_moment& m : plan.moments)
        if (m.kind != dynamics_moment::stream && m.strength >= 0.5f) onsets.push_back(m.tick);
    std::vector<std::int32_t> beats = beat_grid(tracked, last_tick);
    if (beats.empty()) beats = beat_grid(onsets, last_tick);
    // The hit strength of each tick, smoothed.
    std::vector<float> hits(static_cast<std::size_t>(last_tick), 0.0f), envelope(hits.size(), 0.0f);
    for (unsigned g = 0; g < plan.groups; ++g)
        for (std::int32_t t = 0; t < last_tick; ++t)
            hits[static_cast<std::size_t>(t)] += std::max(0.0f, plan.tick_weight(g, t) - 0.25f);
    for (std::size_t t = 0; t < hits.size(); ++t)
        envelope[t] = 2.0f * hits[t] + (t > 0 ? hits[t - 1] : 0.0f) + (t + 1 < hits.size() ? hits[t + 1] : 0.0f);

    plan.repeats = repeated_bars(envelope, beats, last_tick);
    link_repeats(plan);
}

}  // namespace

struct dynamics_meter::state {
    state(unsigned channels)
        : stride(channels), groups(std::min(channels, 2u)), loudness(channels, groups) {}
    unsigned stride;
    unsigned groups;
    loudness_meter loudness;
    frame_measures frames;
    onset_finder onsets;

    // The onset finder hears the mean of the converted channels (exact: a
    // sum of whole numbers scaled by a power of two).
    void hear(const std::int16_t* v) {
        float* mono = onsets.room(sample_rate);
        const float scale = 1.0f / static_cast<float>(groups * 32768u);
        std::size_t n = 0;
#if defined(__SSE2__)
        if (stride == 2 && groups == 2 && four_lane_kernels()) {
            // Four values from 8 at a time: each frame's pair added by madd.
            const __m128i ones = _mm_set1_epi16(1);
            const __m128 scales = _mm_set1_ps(scale);
            for (; n + 4 <= sample_rate; n += 4, v += 8) {
                const __m128i sums = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)), ones);
                _mm_storeu_ps(&mono[n], _mm_mul_ps(_mm_cvtepi32_ps(sums), scales));
            }
        }
#endif
        for (; n < sample_rate; ++n, v += stride) {
            std::int32_t sum = 0;
            for (unsigned c = 0; c < groups; ++c) sum += v[c];
            mono[n] = static_cast<float>(sum) * scale;
        }
        onsets.added();
    }
    std::uint32_t seconds = 0;
};

dynamics_meter::dynamics_meter(unsigned channels) {
    if (channels == 0) throw std::invalid_argument("dynamics_meter: no channels");
    st_ = std::make_unique<state>(channels);
}

dynamics_meter::~dynamics_meter() = default;

void dynamics_meter::add_second(const std::int16_t* values) {
#if defined(__SSE2__)
    if (st_->stride == 2 && four_lane_kernels()) {
        stereo_second make(values, st_->loudness.mixed(), st_->frames);
        st_->loudness.add_second_with(values, make);
        make.finish();
        st_->hear(values);
        ++st_->seconds;
        return;
    }
#endif
    st_->loudness.add_second(values);
    st_->frames.add_second(values, st_->stride, st_->groups);
    st_->hear(values);
    ++st_->seconds;
}

dynamics_plan dynamics_meter::finish() {
    dynamics_plan plan;
    plan.groups = st_->groups;
    plan.seconds = st_->seconds;
    plan.weight.assign(static_cast<std::size_t>(plan.groups) * plan.seconds * ticks, 0.0f);
    if (plan.seconds == 0) {
        st_.reset();
        return plan;
    }
    plan.integrated = st_->loudness.finish(plan.short_term);
    set_levels(plan);
    set_weights(st_->frames, plan.groups, plan.seconds, plan);
    set_moments(st_->onsets, plan);
    set_repeats(st_->onsets, plan);
    st_.reset();
    return plan;
}

dynamics_plan plan_dynamics(const wave_sample& source) {
    const std::uint32_t seconds = source.info.chans == 0 || source.info.freq != sample_rate
                                      ? 0
                                      : static_cast<std::uint32_t>(source.frame_count() / sample_rate);
    if (seconds == 0) {
        dynamics_plan plan;
        plan.groups = std::min(source.info.chans, 2u);
        return plan;
    }
    dynamics_meter meter(source.info.chans);
    for (std::uint32_t k = 0; k < seconds; ++k)
        meter.add_second(source.data.get() + static_cast<std::size_t>(k) * sample_rate * source.info.chans);
    return meter.finish();
}

namespace {

// Threats a moment at the song's loudness carries, per difficulty.
double threats_at_reference(difficulty d) {
    switch (d) {
        case difficulty::easy: return 0.5;
        case difficulty::normal: return 1.0;
        case difficulty::hard: return 3.0;
    }
    return 3.0;
}

// Easier stages keep at most this many threats a second at the song's
// loudness (twice as many 10 LU up): a player can read that many, however
// busy the music. Normal's 3.5 puts a threat on a third of the onsets
// Debian's aubioonset hears in our busiest song (3 left 0.28), and the
// simple mover is still hit at most 6 times a minute.
double threats_per_second(difficulty d) { return d == difficulty::easy ? 2.0 : 3.5; }

// Easy starts at half its threats and reaches all of them after this long.
constexpr double easy_ramp_seconds = 30.0;

}  // namespace

namespace {

// A moment's threats for a difficulty: hard's on it, and which of them this
// difficulty keeps.
struct chosen {
    std::size_t moment;
    std::size_t channels_of;     // the moment whose turn of channels it takes
    unsigned hard;               // hard's threats on the moment
    std::vector<unsigned> kept;  // which of them this difficulty keeps
    bool copied;                 // a repeat's, as its first time had them
};

// What a moment was given, for the moments that repeat it.
struct decided {
    unsigned hard = 0;
    std::vector<unsigned> kept;
};

// Over the second's budget, the most crowded moments give up a threat
// first, the weaker of them, then the later. The threats a repeat keeps as
// its first time had them go last, and only over the cap: its first time
// kept to the budget of its own seconds, so a repeated bar is no denser.
void keep_within(std::vector<chosen>& second, std::size_t budget, std::size_t cap, const dynamics_plan& plan) {
    std::size_t total = 0, copied = 0;
    for (const chosen& c : second) (c.copied ? copied : total) += c.kept.size();
    total += copied;
    budget = std::max(budget, std::min(copied, cap));
    while (total > budget) {
        std::size_t pick = second.size();
        for (std::size_t i = 0; i < second.size(); ++i) {
            const chosen& a = second[i];
            if (a.kept.empty()) continue;
            if (pick == second.size()) {
                pick = i;
                continue;
            }
            const chosen& b = second[pick];
            const float sa = plan.moments[a.moment].strength, sb = plan.moments[b.moment].strength;
            if (a.copied != b.copied) {
                if (b.copied) pick = i;
            } else if (a.kept.size() > b.kept.size() || (a.kept.size() == b.kept.size() && sa <= sb)) {
                pick = i;
            }
        }
        second[pick].kept.pop_back();
        --total;
    }
}

// The order in which a second's threats go to its moments: onsets before
// streams and pulses, each in time. (The stronger onsets first would put
// an easier stage's few threats on the beat's grid, where a player who
// turns with the music meets them all.)
bool spent_before(const dynamics_moment& a, const dynamics_moment& b) {
    const bool ha = a.kind != dynamics_moment::stream, hb = b.kind != dynamics_moment::stream;
    if (ha != hb) return ha;
    return a.tick < b.tick;
}

// A second's threats (those it chose on its own, not a repeat's) go first
// one to each onset, then one to each stream and pulse, then again to the
// onsets: at the same count a second, as many of the onsets a listener
// hears as can be are dangerous. Each keeps the first of hard's threats on
// its moment, so an easier stage's stay among hard's.
void spread_over_onsets(std::vector<chosen>& second, const dynamics_plan& plan) {
    std::vector<std::size_t> order;
    std::size_t left = 0;
    for (std::size_t i = 0; i < second.size(); ++i) {
        if (second[i].copied) continue;
        left += second[i].kept.size();
        second[i].kept.clear();
        order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return spent_before(plan.moments[second[a].moment], plan.moments[second[b].moment]);
    });
    // Every round gives at least one: each moment kept at most hard's.
    while (left > 0)
        for (std::size_t i : order) {
            chosen& c = second[i];
            if (left == 0) break;
            if (c.kept.size() >= c.hard) continue;
            c.kept.push_back(static_cast<unsigned>(c.kept.size()));
            --left;
        }
}

// Hard's threats a second at the song's loudness: 3 a moment, a stream's a
// third, over the seconds that sound.
double moments_per_sounding_second(const dynamics_plan& plan) {
    double worth = 0.0;
    for (const dynamics_moment& mo : plan.moments)
        if (plan.level[static_cast<std::size_t>(mo.tick / ticks)] > 0.0)
            worth += mo.kind == dynamics_moment::stream ? 1.0 / 3.0 : 1.0;
    // A second counts where it sounds itself, not only its loudness window
    // (3 s wide) that reaches the sound beside a silence.
    std::size_t sounding = 0;
    for (std::uint32_t s = 0; s < plan.seconds; ++s) {
        if (!(plan.level[s] > 0.0)) continue;
        bool heard = false;
        for (std::int32_t t = static_cast<std::int32_t>(s) * ticks; t < static_cast<std::int32_t>(s + 1) * ticks && !heard; ++t)
            for (unsigned g = 0; g < plan.groups && !heard; ++g) heard = plan.tick_weight(g, t) > 0.0f;
        sounding += heard;
    }
    return sounding > 0 ? worth / static_cast<double>(sounding) : 0.0;
}

// The mean over the seconds that sound of 2^(LU above the integrated / 10),
// at most twice.
double mean_loudness_factor(const dynamics_plan& plan) {
    double sum = 0.0;
    std::size_t sounding = 0;
    for (std::uint32_t s = 0; s < plan.seconds; ++s) {
        if (!(plan.level[s] > 0.0)) continue;
        sum += std::pow(2.0, std::min(plan.short_term[s] - plan.integrated, 10.0) / 10.0);
        ++sounding;
    }
    return sounding > 0 ? sum / static_cast<double>(sounding) : 1.0;
}

// The share of hard's threats a difficulty keeps on a moment. Easy's few
// threats, under one a second on quiet music, would rank its seconds by
// chance: its share follows the second's loudness against the song's mean
// (`loudness`), so they go to the loud parts at about the same total.
// Easy starts at half its threats.
double share_of_hard(difficulty d, std::int32_t tick, double loudness) {
    const double share = threats_at_reference(d) / threats_at_reference(difficulty::hard);
    if (d != difficulty::easy) return share;
    return share * (0.5 + 0.5 * std::min(1.0, static_cast<double>(tick) / (easy_ramp_seconds * ticks))) * loudness;
}

// A second of many onsets would have hard's threats follow the onsets'
// count rather than the loudness: it keeps to a budget of the song's own
// rate times the loudness. The streams and pulses give up their threats
// first, the latest first (an onset is what the player hears), then the
// most crowded onsets. A repeat keeps what its first time had.
// Gives the threats kept.
std::size_t keep_hard_within(std::size_t first, std::size_t end, std::size_t budget, const dynamics_plan& plan,
                             std::vector<decided>& given, std::vector<chosen>& scratch) {
    scratch.clear();
    std::size_t total = 0;
    for (std::size_t m = first; m < end; ++m) total += given[m].hard;
    for (std::size_t m = end; m > first && total > budget; --m) {
        const dynamics_moment& mo = plan.moments[m - 1];
        if (mo.kind != dynamics_moment::stream || mo.echo >= 0) continue;
        total -= given[m - 1].hard;
        given[m - 1].hard = 0;
    }
    if (total <= budget) return total;
    for (std::size_t m = first; m < end; ++m) {
        const dynamics_moment& mo = plan.moments[m];
        const unsigned n = given[m].hard;
        if (n == 0) continue;
        // A repeat's threats up to its first time's are kept; those a
        // louder repeat has more are not.
        const bool repeats = mo.echo >= 0 && plan.moments[static_cast<std::size_t>(mo.echo)].tick / ticks <
                                                 mo.tick / ticks;
        const unsigned base = repeats ? std::min(n, given[static_cast<std::size_t>(mo.echo)].hard) : 0;
        chosen kept{m, m, n, {}, true}, more{m, m, n, {}, false};
        for (unsigned j = 0; j < n; ++j) (j < base ? kept : more).kept.push_back(j);
        if (base > 0) scratch.push_back(std::move(kept));
        if (base < n) scratch.push_back(std::move(more));
        given[m].hard = 0;
    }
    keep_within(scratch, budget, std::numeric_limits<std::size_t>::max(), plan);
    total = 0;
    for (const chosen& c : scratch) {
        given[c.moment].hard += static_cast<unsigned>(c.kept.size());
        total += c.kept.size();
    }
    return total;
}

// Where a quiet second's fractions left an onset without a threat, it takes
// one from the second's latest stream or pulse, else from its most crowded
// onset: the second's count is the same, and more of the onsets a listener
// hears are dangerous. A repeat's moments keep what they have.
void give_each_onset_one(std::size_t first, std::size_t end, const dynamics_plan& plan, std::vector<decided>& given) {
    std::vector<std::size_t> bare;
    for (std::size_t m = first; m < end; ++m)
        if (plan.moments[m].kind != dynamics_moment::stream && plan.moments[m].echo < 0 && given[m].hard == 0)
            bare.push_back(m);
    std::stable_sort(bare.begin(), bare.end(), [&](std::size_t a, std::size_t b) {
        return plan.moments[a].strength > plan.moments[b].strength;
    });
    for (std::size_t m : bare) {
        std::size_t from = end;
        for (std::size_t k = end; k > first && from == end; --k)
            if (plan.moments[k - 1].kind == dynamics_moment::stream && plan.moments[k - 1].echo < 0 &&
                given[k - 1].hard > 0)
                from = k - 1;
        if (from == end) {
            for (std::size_t k = first; k < end; ++k) {
                const dynamics_moment& mo = plan.moments[k];
                if (mo.kind == dynamics_moment::stream || mo.echo >= 0 || given[k].hard < 2) continue;
                if (from == end || given[k].hard > given[from].hard ||
                    (given[k].hard == given[from].hard && mo.strength <= plan.moments[from].strength))
                    from = k;
            }
        }
        if (from == end) return;
        --given[from].hard;
        given[m].hard = 1;
    }
}

// Hard's threats on the moments of second `s` from `first` on, each worth 3
// times the level, kept to the second's `rate`; gives the end of the
// second's moments. The rate is the song's within 1.5 LU of its level, as
// the level is, so that a steady sound's seconds all have it. What a second
// leaves unspent, up to half the next one's worth, goes to the next: a beat
// falls on either side of a second's edge.
std::size_t set_hard_threats(const dynamics_plan& plan, std::uint32_t s, double rate, std::size_t first,
                             double& carry, double& budget_carry, std::vector<decided>& given,
                             std::vector<chosen>& scratch) {
    const double hard = threats_at_reference(difficulty::hard);
    std::size_t end = first;
    for (; end < plan.moments.size() && plan.moments[end].tick < static_cast<std::int32_t>((s + 1) * ticks); ++end) {
        const bool stream = plan.moments[end].kind == dynamics_moment::stream;
        carry += hard * plan.level[s] / (stream ? 3.0 : 1.0);
        given[end].hard = static_cast<unsigned>(std::floor(carry));
        carry -= given[end].hard;
    }
    budget_carry = std::min(budget_carry, rate / 2.0 + 0.5) + rate;
    // A repeat keeps its first time's threats over the budget; that second
    // already paid for them, so what it spends over is no debt of the next.
    budget_carry = std::max(0.0, budget_carry - static_cast<double>(keep_hard_within(
                                                    first, end, static_cast<std::size_t>(std::floor(budget_carry)),
                                                    plan, given, scratch)));
    give_each_onset_one(first, end, plan, given);
    return end;
}

// Hard's threats of a moment go to the channels that sound on it in turn,
// from a channel that changes with each moment (a repeat's as its first
// time's); the kept ones go where hard's went.
void add_slots(const chosen& c, const dynamics_plan& plan, dynamics_slots& slots) {
    if (c.kept.empty()) return;
    const dynamics_moment& mo = plan.moments[c.moment];
    const dynamics_moment& flights = plan.moments[c.channels_of];  // the moment itself, or its first time
    unsigned sounding[2], count = 0;
    for (unsigned g = 0; g < plan.groups; ++g)
        if (plan.tick_weight(g, mo.tick) > 0.0f) sounding[count++] = g;
    if (count == 0) return;
    unsigned per_group[2] = {0, 0};
    for (unsigned j : c.kept) ++per_group[(c.channels_of + j) % count];
    const float strength = flights.kind == dynamics_moment::hit ? flights.strength : 0.0f;
    const std::int32_t echo = c.copied ? flights.tick : -1;
    for (unsigned i = 0; i < count; ++i)
        if (per_group[i] > 0)
            slots[sounding[i]].push_back({mo.tick, static_cast<std::uint16_t>(per_group[i]), strength, echo});
}

}  // namespace

dynamics_slots plan_threats(const dynamics_plan& plan, difficulty d) {
    dynamics_slots slots(plan.groups);
    if (plan.groups == 0) return slots;
    const stage_caps caps = caps_of(d);
    const double hard = threats_at_reference(difficulty::hard);
    // Each moment's threats on hard, then the share of them this difficulty
    // keeps, one in every so many of hard's in turn: so an easier stage's
    // threats are always among hard's (the same moment, channel and angle).
    // The fractions add up, rounded: where a moment is worth a third of a
    // threat, one in three carries one. A moment that repeats an earlier one
    // keeps what that kept (on hard, more where it is louder): the bar looks
    // the same.
    std::vector<chosen> second, at_hard;
    std::vector<decided> given(plan.moments.size());
    const double hard_rate = hard * moments_per_sounding_second(plan);
    const double mean_exact = mean_loudness_factor(plan);
    double carry = 0.5, share_carry = 0.5, budget_carry = 0.5, hard_carry = 0.5;
    std::size_t end = 0;  // past the last moment of the seconds done
    for (std::uint32_t s = 0; s < plan.seconds; ++s) {
        second.clear();
        const double level = plan.level[s];
        if (!(level > 0.0)) carry = share_carry = budget_carry = hard_carry = 0.5;
        // The budgets follow the loudness itself, unrounded.
        const double relative = plan.short_term[s] - plan.integrated;
        const double exact = level > 0.0 ? std::pow(2.0, std::min(relative, 10.0) / 10.0) : 0.0;
        const std::size_t first = end;
        end = set_hard_threats(plan, s, hard_rate * (std::fabs(relative) < 1.5 ? 1.0 : exact), first, carry,
                               hard_carry, given, at_hard);
        for (std::size_t m = first; m < end; ++m) {
            const dynamics_moment& mo = plan.moments[m];
            const unsigned n = given[m].hard;
            if (n == 0) continue;
            const double share = share_of_hard(d, mo.tick, exact / mean_exact);
            // A repeat's first time lies a bar earlier, in a second already
            // done (a song's short last bar could lie nearer: then it
            // chooses on its own).
            const bool repeats = mo.echo >= 0 && plan.moments[static_cast<std::size_t>(mo.echo)].tick / ticks <
                                                     static_cast<std::int32_t>(s);
            const std::size_t echo = repeats ? static_cast<std::size_t>(mo.echo) : m;
            const decided& was = given[echo];
            chosen c{m, echo, n, {}, repeats};
            for (unsigned j = 0; j < n; ++j) {
                if (c.copied) {
                    // A repeat keeps the threats its first time kept; hard
                    // keeps all it has, also those a louder repeat has more.
                    // An easier stage's repeat keeps no others: its threats
                    // then take the first time's flights, which are hard's.
                    if (j < was.hard ? std::find(was.kept.begin(), was.kept.end(), j) != was.kept.end()
                                     : d == difficulty::hard)
                        c.kept.push_back(j);
                    continue;
                }
                share_carry += share;
                if (share_carry >= 1.0) {
                    share_carry -= 1.0;
                    c.kept.push_back(j);
                }
            }
            if (!c.kept.empty() || (!c.copied && n > 0)) second.push_back(std::move(c));
        }
        spread_over_onsets(second, plan);
        second.erase(std::remove_if(second.begin(), second.end(), [](const chosen& c) { return c.kept.empty(); }),
                     second.end());
        // Where the music is busy, an easier stage's threats a second rank
        // as its loudness does.
        std::size_t budget = std::numeric_limits<std::size_t>::max();  // hard kept to its own above
        if (d != difficulty::hard) {
            budget_carry += threats_per_second(d) * exact;
            budget = std::min<std::size_t>(caps.per_second, static_cast<std::size_t>(std::floor(budget_carry)));
            budget_carry -= std::floor(budget_carry);
        }
        keep_within(second, budget, caps.per_second, plan);
        for (chosen& c : second) {
            given[c.moment].kept = c.kept;
            add_slots(c, plan, slots);
        }
    }
    return slots;
}

namespace {

// One of 64 directions over the channel's half, as its bursts aim, for the
// k-th threat of a moment.
float spread_angle(std::int32_t tick, unsigned k, unsigned group) {
    const double pi = vaz::single_pi();
    const unsigned step = (static_cast<unsigned>(tick) * 37u + k * 23u) % 64u;
    return static_cast<float>(static_cast<double>(step) * pi / 64.0 + group * pi - pi * 0.5);
}

}  // namespace

void place_threats(event_queue& events, const std::vector<dynamics_slot>& slots, unsigned group,
                   std::uint32_t second) {
    const std::int32_t from = static_cast<std::int32_t>(second) * ticks, to = from + ticks;
    thread_local std::vector<bullet_pattern_element> records, threats;
    thread_local std::vector<float> angles;
    records.assign(events.begin(), events.end());
    threats.clear();
    const auto first = std::lower_bound(slots.begin(), slots.end(), from,
                                        [](const dynamics_slot& sl, std::int32_t t) { return sl.tick < t; });
    for (auto sl = first; sl != slots.end() && sl->tick < to; ++sl) {
        // Each slot chooses on its own, so a slot of fewer threats (an
        // easier stage's) takes the first of those a fuller one takes.
        angles.clear();
        for (unsigned k = 0; k < sl->threats; ++k) {
            // The strongest record of an angle not yet taken, those near the
            // moment counting four times.
            std::ptrdiff_t best = -1;
            double best_score = 0.0;
            for (std::size_t i = 0; i < records.size(); ++i) {
                const float angle = records[i].angle;
                if (!std::isfinite(angle) || std::find(angles.begin(), angles.end(), angle) != angles.end()) continue;
                const bool near = std::abs(records[i].time - sl->tick) <= same_moment_ticks;
                const double score = static_cast<double>(std::fabs(records[i].speed)) * (near ? 4.0 : 1.0);
                if (best < 0 || score > best_score) {
                    best = static_cast<std::ptrdiff_t>(i);
                    best_score = score;
                }
            }
            float angle;
            if (best >= 0) {
                angle = records[static_cast<std::size_t>(best)].angle;
            } else {
                angle = spread_angle(sl->tick, k, group);
            }
            angles.push_back(angle);
            // A moment's further threats fly at other speeds, leaving at
            // other times, so that they reach a moving player otherwise.
            float strength = sl->strength + 0.382f * static_cast<float>(k);
            strength -= std::floor(strength);
            threats.push_back({sl->tick, angle, strength});
        }
    }
    events.clear();
    for (const bullet_pattern_element& e : threats) events.push_back(e);
}

void repeat_flights(stage_events& stage, const dynamics_slots& slots) {
    const auto by_time = [](const bullet_pattern_element& e, std::int32_t t) { return e.time < t; };
    for (std::size_t g = 0; g < stage.size() && g < slots.size(); ++g) {
        auto& events = stage[g];
        for (const dynamics_slot& sl : slots[g]) {
            if (sl.echo < 0) continue;
            auto at = std::lower_bound(events.begin(), events.end(), sl.tick, by_time);
            auto was = std::lower_bound(events.begin(), events.end(), sl.echo, by_time);
            // The threats on each tick are its slot's, in the slot's order.
            // Those the first time had not (a louder repeat has more) take
            // directions of their own, the same in every repeat.
            for (unsigned k = 0; at != events.end() && at->time == sl.tick; ++at, ++k) {
                const bool had = was != events.end() && was->time == sl.echo;
                at->angle = had ? was->angle : spread_angle(sl.echo, k, static_cast<unsigned>(g));
                if (had) at->speed = (was++)->speed;
            }
        }
    }
}

namespace {

// The game's playfield (gametask/rules.hpp): the open square 0..440, its
// centre at 220; tests/gametask/logic checks these flights against the game.
constexpr float field_size = 440.0f;
constexpr float field_centre = 220.0f;
constexpr int longest_flight = 60 * ticks;

bool inside_field(float x, float y) { return 0.0f < x && x < field_size && 0.0f < y && y < field_size; }

// The speed along the axes that flies from the centre to the edge and back
// (twice the 220 pixels) in the level's flight for an event of this
// strength (0 to 1).
float axis_speed(const dynamics_level& level, double strength) {
    if (!(strength > 0.0)) strength = 0.0;
    if (strength > 1.0) strength = 1.0;
    const double seconds = level.slowest - (level.slowest - level.fastest) * strength;
    return static_cast<float>(2.0 * static_cast<double>(field_centre) / (seconds * ticks));
}

// The same flight along the event's angle: the edge lies further from the
// centre on a diagonal, by 1 / max(|cos|, |sin|), as the game aims it.
float speed_along(float angle, float speed) {
    const double c = std::fabs(static_cast<double>(static_cast<float>(std::cos(static_cast<double>(angle)))));
    const double s = std::fabs(static_cast<double>(static_cast<float>(std::sin(static_cast<double>(angle)))));
    const double nearest = std::max(c, s);
    if (!(nearest > 0.0)) return speed;
    return static_cast<float>(static_cast<double>(speed) / nearest);
}

// Whether the event's tracer moves at all: else its flight is the longest.
bool moves(float angle, float speed) {
    return std::fabs(speed) > 0.0f && std::isfinite(speed) && std::isfinite(angle);
}

// An event's velocity, as the game sets it.
void velocity(float angle, float speed, float& vx, float& vy) {
    vx = static_cast<float>(std::cos(static_cast<double>(angle))) * speed;
    vy = static_cast<float>(std::sin(static_cast<double>(angle))) * speed;
}

}  // namespace

int beat_flight_ticks(float angle, float speed) {
    if (!moves(angle, speed)) return longest_flight;
    float vx, vy;
    velocity(angle, speed, vx, vy);
    // The tracer moves in every update after the one that fired it.
    float x = field_centre, y = field_centre;
    int t = 0;
    do {
        if (t >= longest_flight) return longest_flight;
        x = x + vx;
        y = y + vy;
        ++t;
    } while (inside_field(x, y));
    // In that update its bullet is born at the tracer's last position inside,
    // and the contact check sees it there; then it moves back once an update.
    float rx = x - vx, ry = y - vy;
    auto from_centre = [](float px, float py) {
        const double dx = static_cast<double>(px) - field_centre, dy = static_cast<double>(py) - field_centre;
        return dx * dx + dy * dy;
    };
    double nearest = from_centre(rx, ry);
    int at = t;
    for (int k = 1; t + k < longest_flight; ++k) {
        rx = rx + -vx;
        ry = ry + -vy;
        if (!inside_field(rx, ry)) break;
        const double d = from_centre(rx, ry);
        if (d > nearest) break;
        if (d < nearest) {
            nearest = d;
            at = t + k;
        }
    }
    return at;
}

// Flights of 1.55 to 1.8 s on easy and normal: long enough to see the
// tracers leave, short enough that the danger stays with its beat, and apart
// from 1.5 and 2 s, where a player who turns on the music's grid meets the
// bullets of its beats. Hard spreads them over 1 to 2 s, those included.
// Measured with a mover that steers left and right a second each
// (tests/gametask/logic/on_the_beat_test.cpp): on the bundled song it is hit
// about 4 times a minute on easy, 16 on normal and 64 on hard.
dynamics_level dynamics_level_of(difficulty d) {
    switch (d) {
        case difficulty::easy: return {1.8, 1.6};
        case difficulty::normal: return {1.75, 1.55};
        case difficulty::hard: return {2.0, 1.0};
    }
    return {2.0, 1.0};
}

void finish_dynamics_stage(stage_events& stage, difficulty d) {
    const dynamics_level level = dynamics_level_of(d);
    for (auto& group : stage)
        for (bullet_pattern_element& e : group) e.speed = axis_speed(level, static_cast<double>(e.speed));
    for (auto& group : stage) {
        // Each flight on its own: four or eight side by side (SSE2, AVX2)
        // saved less than a millisecond a song (converter/README.md).
        // A moment too early for its flight flies the fastest the level
        // allows, and has no threat if even that arrives late: a bullet
        // off its beat is worse than none.
        std::size_t kept = 0;
        for (std::size_t k = 0; k < group.size(); ++k) {
            bullet_pattern_element e = group[k];
            e.speed = speed_along(e.angle, e.speed);
            int flight = beat_flight_ticks(e.angle, e.speed);
            if (flight > e.time) {
                e.speed = speed_along(e.angle, axis_speed(level, 1.0));
                flight = beat_flight_ticks(e.angle, e.speed);
                if (flight > e.time) continue;
            }
            e.time -= flight;
            group[kept++] = e;
        }
        group.resize(kept);
        std::stable_sort(group.begin(), group.end(),
                         [](const bullet_pattern_element& a, const bullet_pattern_element& b) { return a.time < b.time; });
    }
}

}  // namespace converter
