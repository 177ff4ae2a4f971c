#include "tools/song/dynamics_song.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "tools/song/noise_source.hpp"
#include "tools/song/song.hpp"

namespace song {
namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double beat = 0.5;  // 120 beats per minute

// Level of the whole band, in dB, at time t, section by section; render
// smooths its changes over about 10 ms so that no change is itself a click.
double level_db(double t) {
    namespace s = dynamics_sections;
    if (t < s::quiet_from) return 0.0;
    if (t < s::quiet_to) return -30.0;
    if (t < s::silence_to) return 0.0;
    if (t < s::crescendo_from) return -12.0;
    if (t < s::crescendo_to) return -30.0 + 30.0 * (t - s::crescendo_from) / (s::crescendo_to - s::crescendo_from);
    if (t < 54.0) return -6.0;
    return 0.0;
}

struct stereo {
    std::vector<double> left, right;
    void add(std::int64_t at, double v, double pan) {
        if (at < 0 || at >= static_cast<std::int64_t>(left.size())) return;
        left[static_cast<std::size_t>(at)] += v * (1.0 - pan) * 0.5;
        right[static_cast<std::size_t>(at)] += v * (1.0 + pan) * 0.5;
    }
};

std::int64_t at_time(double seconds) { return std::llround(seconds * sample_rate); }

// Each sound fades out over its last 5 ms: one cut off while it still rings
// clicks, and a detector hears that click as an onset 20 ms before the next
// note (the bass's, which ends there).
double release(int n, std::int64_t length) {
    return std::min(1.0, static_cast<double>(length - n) / (0.005 * sample_rate));
}

void kick(stereo& mix, double start) {
    double phase = 0.0;
    const std::int64_t length = at_time(0.3);
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / sample_rate;
        phase += two_pi * (50.0 + 100.0 * std::exp(-t / 0.03)) / sample_rate;
        mix.add(at_time(start) + n, release(n, length) * 0.9 * std::exp(-t / 0.12) * std::sin(phase), 0.0);
    }
}

void snare(stereo& mix, double start) {
    noise_source white(0x51a7e001u);
    const std::int64_t length = at_time(0.2);
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / sample_rate;
        const double body = std::sin(two_pi * 190.0 * t) * std::exp(-t / 0.04);
        mix.add(at_time(start) + n, release(n, length) * 0.45 * (body + white.next() * std::exp(-t / 0.07)), 0.1);
    }
}

void hat(stereo& mix, double start) {
    noise_source white(0x4a7f0002u);
    double previous = 0.0;
    const std::int64_t length = at_time(0.08);
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / sample_rate;
        const double w = white.next();
        mix.add(at_time(start) + n, release(n, length) * 0.25 * (w - previous) * std::exp(-t / 0.015), 0.6);
        previous = w;
    }
}

void bass(stereo& mix, double start, double hz) {
    double low = 0.0;
    const std::int64_t length = at_time(0.23);
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / sample_rate;
        const double saw = 2.0 * std::fmod(hz * t, 1.0) - 1.0;
        low += 0.08 * (saw - low);
        mix.add(at_time(start) + n, release(n, length) * 0.5 * std::min(1.0, t / 0.005) * std::exp(-t / 0.2) * low, -0.1);
    }
}

void stab(stereo& mix, double start, const std::array<double, 3>& chord) {
    const std::int64_t length = at_time(0.22);
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / sample_rate;
        double v = 0.0;
        for (double hz : chord) v += std::sin(two_pi * hz * t) + 0.3 * std::sin(two_pi * 2.0 * hz * t);
        mix.add(at_time(start) + n, release(n, length) * 0.12 * std::min(1.0, t / 0.003) * std::exp(-t / 0.08) * v, -0.6);
    }
}

void pluck(stereo& mix, double start, double hz) {
    const std::int64_t length = at_time(0.12);
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / sample_rate;
        const double square = std::fmod(hz * t, 1.0) < 0.5 ? 1.0 : -1.0;
        mix.add(at_time(start) + n, release(n, length) * 0.08 * std::min(1.0, t / 0.002) * std::exp(-t / 0.04) * square, -0.8);
    }
}

}  // namespace

std::vector<std::int16_t> render_dynamics(double gain_db) {
    namespace s = dynamics_sections;
    const std::size_t frames = static_cast<std::size_t>(s::length) * sample_rate;
    stereo mix{std::vector<double>(frames, 0.0), std::vector<double>(frames, 0.0)};

    static constexpr std::array<std::array<double, 3>, 4> chords{
        {{261.63, 329.63, 392.0}, {293.66, 369.99, 440.0}, {246.94, 311.13, 369.99}, {220.0, 277.18, 329.63}}};
    static constexpr std::array<double, 4> roots{65.41, 73.42, 61.74, 55.0};
    const int beats = static_cast<int>(s::length / beat);
    for (int b = 0; b < beats; ++b) {
        const double t = b * beat;
        const std::size_t bar = static_cast<std::size_t>(b / 4) % chords.size();
        kick(mix, t);
        if (b % 2 == 1) snare(mix, t);
        hat(mix, t);
        hat(mix, t + beat / 2);
        bass(mix, t, roots[bar]);
        bass(mix, t + beat / 2, 2.0 * roots[bar]);
        stab(mix, t + beat / 2, chords[bar]);
        for (int k = 0; k < 4; ++k) pluck(mix, t + k * beat / 4, 2.0 * chords[bar][static_cast<std::size_t>(k) % 3]);
    }

    double peak = 0.0, g = 1.0;
    const double smoothing = 1.0 - std::exp(-1.0 / (0.01 * sample_rate));
    for (std::size_t n = 0; n < frames; ++n) {
        g += smoothing * (std::pow(10.0, level_db(static_cast<double>(n) / sample_rate) / 20.0) - g);
        mix.left[n] *= g;
        mix.right[n] *= g;
        peak = std::max({peak, std::abs(mix.left[n]), std::abs(mix.right[n])});
    }
    const double scale = 0.89 * 32767.0 / peak * std::pow(10.0, gain_db / 20.0);
    std::vector<std::int16_t> out(2 * frames, 0);
    const std::size_t silent_from = static_cast<std::size_t>(at_time(s::silence_from));
    const std::size_t silent_to = static_cast<std::size_t>(at_time(s::silence_to));
    const double fade = 0.02 * sample_rate;  // the notes ringing into the silence die away
    for (std::size_t n = 0; n < frames; ++n) {
        if (n >= silent_from && n < silent_to) continue;
        double gain = scale;
        if (n < silent_from && silent_from - n < fade) gain *= static_cast<double>(silent_from - n) / fade;
        for (int c = 0; c < 2; ++c) {
            const double v = (c == 0 ? mix.left[n] : mix.right[n]) * gain;
            out[2 * n + static_cast<std::size_t>(c)] = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
        }
    }
    return out;
}

std::vector<std::int16_t> render_alternating() {
    namespace a = alternating_sections;
    std::vector<std::int16_t> m = render(0);
    const double quiet = std::pow(10.0, a::quiet_db / 20.0);
    const std::size_t rate = static_cast<std::size_t>(sample_rate);
    for (std::size_t f = 0; f < m.size() / channel_count; ++f) {
        const std::size_t at = f % (a::cycle * rate);
        const double gain = at < a::loud * rate ? 1.0 : at < (a::loud + a::quiet) * rate ? quiet : 0.0;
        for (std::size_t c = 0; c < static_cast<std::size_t>(channel_count); ++c) {
            std::int16_t& v = m[channel_count * f + c];
            v = static_cast<std::int16_t>(std::lround(v * gain));
        }
    }
    return m;
}

}  // namespace song
