#include "tools/song/song.hpp"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "tools/song/noise_source.hpp"

namespace song {
namespace {

constexpr double two_pi = 6.283185307179586;
constexpr int steps_per_bar = 16;       // sixteenth notes
constexpr double step_seconds = 0.125;  // 120 beats per minute
constexpr double bar_seconds = steps_per_bar * step_seconds;
constexpr double master_peak = 0.89;    // of full scale, leaves headroom for rounding

// Every oscillator runs at a whole number of hertz, so its phase after n
// samples is (n * hz) mod sample_rate exactly, and a sustained note repeats
// bit for bit every 1/60 s when its pitch is a multiple of 60 Hz (or flips
// sign, for odd multiples of 30 Hz). Reading sines from a table indexed that
// way keeps the pad truly steady.
class sine_table {
public:
    sine_table() {
        for (int i = 0; i < sample_rate; ++i) values_[i] = std::sin(two_pi * i / sample_rate);
    }
    double at(std::int64_t sample, int hz) const { return values_[(sample * hz) % sample_rate]; }
    // 0 <= result < 1: how far through its cycle an oscillator of hz is.
    static double cycle_position(std::int64_t sample, int hz) {
        return static_cast<double>((sample * hz) % sample_rate) / sample_rate;
    }

private:
    std::array<double, sample_rate> values_{};
};

class stereo_mix {
public:
    explicit stereo_mix(std::int64_t frames) : left_(frames, 0.0), right_(frames, 0.0) {}

    std::int64_t frames() const { return static_cast<std::int64_t>(left_.size()); }

    // pan -1 is the left channel only, +1 the right channel only.
    void add(std::int64_t frame, double value, double pan) {
        if (frame < 0 || frame >= frames()) return;
        const double angle = (pan + 1.0) * two_pi / 8.0;
        const double l = pan >= 1.0 ? 0.0 : std::cos(angle);
        const double r = pan <= -1.0 ? 0.0 : std::sin(angle);
        left_[frame] += value * l;
        right_[frame] += value * r;
    }

    void fade_out(std::int64_t from, std::int64_t to) {
        for (std::int64_t f = std::max<std::int64_t>(from, 0); f < frames(); ++f) {
            const double g = f >= to ? 0.0 : static_cast<double>(to - f) / static_cast<double>(to - from);
            left_[f] *= g;
            right_[f] *= g;
        }
    }

    std::vector<std::int16_t> to_pcm16() const {
        double peak = 0.0;
        for (std::size_t i = 0; i < left_.size(); ++i) peak = std::max({peak, std::abs(left_[i]), std::abs(right_[i])});
        const double gain = peak > 0.0 ? master_peak * 32767.0 / peak : 0.0;
        std::vector<std::int16_t> out(left_.size() * channel_count);
        for (std::size_t i = 0; i < left_.size(); ++i) {
            out[2 * i] = static_cast<std::int16_t>(std::lround(left_[i] * gain));
            out[2 * i + 1] = static_cast<std::int16_t>(std::lround(right_[i] * gain));
        }
        return out;
    }

private:
    std::vector<double> left_, right_;
};

std::int64_t frame_at(double seconds) { return std::llround(seconds * sample_rate); }

// --- Harmony: just intonation over 240 Hz, so the pad's pitches sit on the 30 Hz grid.

struct chord {
    std::array<int, 3> pad;   // sustained voices, all multiples of 30 Hz
    int bass;                 // root, two octaves down
    std::array<int, 4> arp;   // broken-chord notes, an octave up
};

const chord chord_one{{240, 300, 360}, 60, {480, 600, 720, 960}};
const chord chord_five{{360, 450, 540}, 90, {540, 720, 900, 1080}};
const chord chord_three{{300, 360, 450}, 75, {450, 600, 720, 900}};
const std::array<const chord*, 4> progression{&chord_one, &chord_five, &chord_three, &chord_five};

struct melody_note {
    int step;    // sixteenth within the bar
    int length;  // in sixteenths
    int hz;
};

// Eight bars over the progression, twice round.
const std::array<std::vector<melody_note>, 8> melody{{
    {{0, 4, 480}, {4, 2, 450}, {6, 2, 480}, {8, 4, 540}, {12, 4, 600}},
    {{0, 6, 540}, {6, 2, 450}, {8, 8, 360}},
    {{0, 4, 450}, {4, 4, 480}, {8, 4, 540}, {12, 4, 600}},
    {{0, 8, 540}, {8, 4, 450}, {12, 4, 540}},
    {{0, 4, 600}, {4, 4, 720}, {8, 2, 600}, {10, 2, 540}, {12, 4, 480}},
    {{0, 4, 450}, {4, 4, 540}, {8, 8, 720}},
    {{0, 4, 600}, {4, 4, 540}, {8, 4, 450}, {12, 4, 360}},
    {{0, 8, 450}, {8, 4, 540}, {12, 4, 450}},
}};

// --- Instruments. Each adds one note starting at frame `at`.

struct instruments {
    const sine_table& sine;
    stereo_mix& mix;

    void kick(std::int64_t at, double gain) {
        const int length = frame_at(0.45);
        double phase = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            phase += two_pi * (48.0 + 110.0 * std::exp(-t / 0.035)) / sample_rate;
            const double attack = std::min(1.0, t / 0.002);
            mix.add(at + n, gain * attack * std::exp(-t / 0.22) * std::sin(phase), 0.0);
        }
    }

    void snare(std::int64_t at, double gain) {
        const int length = frame_at(0.3);
        noise_source noise(0x5a4e0001u);
        double previous = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            const double white = noise.next();
            const double bright = white - previous;
            previous = white;
            const double body = 0.5 * sine.at(n, 180) * std::exp(-t / 0.05);
            mix.add(at + n, gain * (body + 0.45 * bright * std::exp(-t / 0.09)), 0.1);
        }
    }

    void hat(std::int64_t at, double gain, double decay) {
        const int length = frame_at(5.0 * decay);
        noise_source noise(0x4a700002u);
        double p1 = 0.0, p2 = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            const double white = noise.next();
            const double d1 = white - p1;
            const double d2 = d1 - p2;
            p1 = white;
            p2 = d1;
            mix.add(at + n, gain * 0.25 * d2 * std::exp(-t / decay), 0.6);
        }
    }

    void crash(std::int64_t at, double gain) {
        const int length = frame_at(2.0);
        noise_source noise(0xc7a50003u);
        double previous = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            const double white = noise.next();
            mix.add(at + n, gain * 0.4 * (white - previous) * std::exp(-t / 0.6), 0.0);
            previous = white;
        }
    }

    void bass(std::int64_t at, double seconds, int hz, double gain) {
        const int length = frame_at(seconds);
        const int release = frame_at(0.015);
        double low = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            const double saw = 2.0 * sine_table::cycle_position(n, hz) - 1.0;
            low += 0.07 * (saw - low);
            double env = std::min(1.0, t / 0.004) * (0.5 + 0.5 * std::exp(-t / 0.15));
            if (n > length - release) env *= static_cast<double>(length - n) / release;
            mix.add(at + n, gain * env * low, 0.0);
        }
    }

    void pluck(std::int64_t at, int hz, double gain, double pan, double echo_pan) {
        const int length = frame_at(0.35);
        const std::int64_t echo_delay = frame_at(3 * step_seconds);
        double low = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            const double pulse = sine_table::cycle_position(n, hz) < 0.25 ? 1.0 : -1.0;
            low += 0.35 * (pulse - low);
            const double v = gain * std::min(1.0, t / 0.002) * std::exp(-t / 0.09) * low;
            mix.add(at + n, v, pan);
            if (echo_pan != pan) mix.add(at + echo_delay + n, 0.35 * v, echo_pan);
        }
    }

    void lead(std::int64_t at, double seconds, int hz, double gain, double pan, bool vibrato) {
        const int held = frame_at(seconds);
        const int length = held + frame_at(0.08);
        double phase = 0.0;
        for (int n = 0; n < length; ++n) {
            const double t = static_cast<double>(n) / sample_rate;
            const double bend = vibrato && t > 0.15 ? 0.004 * std::sin(two_pi * 5.5 * (t - 0.15)) : 0.0;
            phase += two_pi * hz * (1.0 + bend) / sample_rate;
            double env = std::min(1.0, t / 0.015) * (0.8 + 0.2 * std::exp(-t / 0.1));
            if (n >= held) env *= std::exp(-(t - seconds) / 0.02);
            const double v = std::sin(phase) + 0.35 * std::sin(2 * phase) + 0.15 * std::sin(3 * phase);
            mix.add(at + n, gain * env * v, pan);
        }
    }

    // Held for the whole bar at a constant level, starting on phase zero at
    // the bar line (a whole second), so each of its seconds is perfectly steady.
    void pad(std::int64_t at, std::int64_t length, const chord& c, double gain) {
        static constexpr std::array<double, 3> voice_pan{-0.5, 0.0, 0.5};
        for (std::int64_t n = 0; n < length; ++n) {
            for (std::size_t v = 0; v < c.pad.size(); ++v) {
                const int hz = c.pad[v];
                const double s = sine.at(n, hz) + 0.3 * sine.at(n, 2 * hz) + 0.12 * sine.at(n, 3 * hz);
                mix.add(at + n, gain * s, voice_pan[v]);
            }
        }
    }
};

// --- Arrangement.

struct style {
    bool pad = false;
    int kick = 0;         // hits per bar: 0, 2 (half time) or 4
    bool snare = false;   // on beats 2 and 4, with a roll every fourth bar
    int hats = 0;         // 0, 8 or 16 per bar
    int bass = 0;         // 0, or 8 for eighths (with octave jumps when busy)
    int arp = 0;          // notes per bar: 0, 4, 8 or 16
    double arp_pan = -0.6;
    bool arp_echo = false;
    bool lead = false;
    double lead_pan = 0.35;
    bool vibrato = false;  // a vibrato pulses every bin the lead reaches, 5.5 times a second
    bool crash = false;
};

struct section {
    int first_bar;
    int bars;
    style s;
};

style intro() { style s; s.pad = true; return s; }
style intro_arp() { style s; s.pad = true; s.arp = 4; s.arp_pan = -1.0; return s; }
style verse() {
    style s;
    s.pad = true; s.kick = 4; s.hats = 8; s.bass = 8; s.arp = 8; s.arp_echo = true;
    return s;
}
style lead_break() { style s; s.pad = true; s.lead = true; s.lead_pan = 1.0; return s; }
style chorus() {
    style s;
    s.pad = true; s.kick = 4; s.snare = true; s.hats = 16; s.bass = 8; s.arp = 16; s.arp_echo = true; s.lead = true;
    s.vibrato = true;
    return s;
}
style bridge() { style s; s.pad = true; s.arp = 8; s.arp_pan = -1.0; return s; }
style outro() { style s; s.pad = true; s.kick = 1; s.crash = true; return s; }

// 36 bars of 2 s. The last bar is silence, so the stage ends cleanly.
const std::vector<section> arrangement{
    {0, 2, intro()},  {2, 2, intro_arp()}, {4, 8, verse()},   {12, 4, lead_break()},
    {16, 8, chorus()}, {24, 4, bridge()},  {28, 6, chorus()}, {34, 1, outro()},
};

void play_bar(instruments& in, int bar, int bar_in_section, const style& s, const chord& c) {
    const double bar_start = bar * bar_seconds;
    auto at_step = [&](double step) { return frame_at(bar_start + step * step_seconds); };

    if (s.pad) in.pad(frame_at(bar_start), frame_at(bar_seconds), c, 0.05);
    if (s.crash) in.crash(at_step(0), 0.9);
    for (int k = 0; k < s.kick; ++k) in.kick(at_step(k * steps_per_bar / s.kick), 0.95);

    const bool roll = s.snare && bar_in_section % 4 == 3;
    // One snare a second is a lone spike in every bin's loudness, which the
    // per-bin normalisation would let drown the rest of the beat; keep it light.
    if (s.snare) {
        in.snare(at_step(4), 0.25);
        if (!roll) in.snare(at_step(12), 0.25);
    }
    if (roll) {
        for (int step = 8; step < 16; ++step) {
            if (step == 12) continue;  // beat four keeps its full hit
            in.snare(at_step(step), 0.15 + 0.03 * (step - 8));
        }
        in.snare(at_step(12), 0.4);
    }

    if (s.hats > 0) {
        const int every = steps_per_bar / s.hats;
        for (int step = 0; step < steps_per_bar; step += every) {
            const bool open = s.hats == 16 && step == 14;
            const double accent = step % 4 == 2 ? 1.0 : 0.6;
            in.hat(at_step(step), accent, open ? 0.1 : 0.025);
        }
    }

    if (s.bass > 0) {
        static constexpr std::array<int, 8> octave_jumps{1, 1, 2, 1, 1, 2, 1, 2};
        for (int e = 0; e < 8; ++e) {
            const int hz = c.bass * (s.snare ? octave_jumps[e] : 1);
            in.bass(at_step(2 * e), 0.9 * 2 * step_seconds, hz, 0.55);
        }
    }

    if (s.arp > 0) {
        static constexpr std::array<int, 16> order{0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1, 0, 2, 1, 3};
        const int every = steps_per_bar / s.arp;
        for (int k = 0; k < s.arp; ++k) {
            const double echo_pan = s.arp_echo ? 0.8 : s.arp_pan;
            in.pluck(at_step(k * every), c.arp[order[k]], 0.16, s.arp_pan, echo_pan);
        }
    }

    if (s.lead) {
        for (const melody_note& note : melody[bar_in_section % melody.size()]) {
            in.lead(at_step(note.step), note.length * step_seconds, note.hz, 0.17, s.lead_pan, s.vibrato);
        }
    }
}

}  // namespace

std::vector<std::int16_t> render(int seconds) {
    const bool full = seconds <= 0;
    const int length = full ? full_length_seconds : std::min(seconds, max_length_seconds);
    static const sine_table sine;
    stereo_mix mix(static_cast<std::int64_t>(length) * sample_rate);
    instruments in{sine, mix};

    if (full) {
        for (const section& sec : arrangement) {
            for (int b = 0; b < sec.bars; ++b) {
                const int bar = sec.first_bar + b;
                const chord& c = sec.s.crash ? chord_one : *progression[bar % progression.size()];
                play_bar(in, bar, b, sec.s, c);
            }
        }
        // The crash tail must not leak into the closing silence.
        const int silent_from = (arrangement.back().first_bar + arrangement.back().bars) * static_cast<int>(bar_seconds);
        mix.fade_out(frame_at(silent_from - 0.25), frame_at(silent_from));
    } else {
        const int bars = (length + static_cast<int>(bar_seconds) - 1) / static_cast<int>(bar_seconds);
        for (int bar = 0; bar < bars; ++bar) play_bar(in, bar, bar, chorus(), *progression[bar % progression.size()]);
        mix.fade_out(frame_at(length - 1.0), frame_at(length));
    }
    return mix.to_pcm16();
}

namespace {

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool write_as(const std::string& path, int format, const std::vector<std::int16_t>& samples, std::string& error,
              const song_tags& tags = {}) {
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = channel_count;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        error = sf_strerror(nullptr);
        return false;
    }
    if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_MPEG_LAYER_III) {
        // 128 kbit/s at a constant rate: the level of everyday downloads.
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        double level = (320.0 - 128.0 - 0.5) / (320.0 - 32.0);  // 128.5, truncated
        sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    }
    // Before any sound: Vorbis and FLAC put their comments first.
    if (!tags.title.empty()) sf_set_string(file, SF_STR_TITLE, tags.title.c_str());
    if (!tags.artist.empty()) sf_set_string(file, SF_STR_ARTIST, tags.artist.c_str());
    if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS) {
        // About 96 kbit/s: the song stays under a megabyte and still sounds clean.
        double quality = 0.3;
        sf_command(file, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality);
    }
    // In slices: libvorbis's analysis buffer fails on a whole song handed over at once.
    constexpr sf_count_t slice_frames = 4096;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / channel_count);
    // libsndfile 1.2.0 copies only half of each block of 16-bit stereo
    // handed to its MP3 encoder; floats reach it whole.
    const bool as_float = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    std::vector<float> scaled;
    for (sf_count_t at = 0; at < frames && error.empty(); at += slice_frames) {
        const sf_count_t n = std::min(slice_frames, frames - at);
        const std::int16_t* slice = samples.data() + at * channel_count;
        sf_count_t written;
        if (as_float) {
            scaled.assign(slice, slice + n * channel_count);
            for (float& v : scaled) v /= 32768.0f;
            written = sf_writef_float(file, scaled.data(), n);
        } else {
            written = sf_writef_short(file, slice, n);
        }
        if (written != n) error = sf_strerror(file);
    }
    if (sf_close(file) != 0 && error.empty()) error = "could not finish writing the file";
    if (!error.empty()) {
        std::remove(path.c_str());  // a half-written song would only confuse the converter
        return false;
    }
    return true;
}

}  // namespace

bool write_wav(const std::string& path, const std::vector<std::int16_t>& samples, std::string& error) {
    return write_as(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, samples, error);
}

bool write_song(const std::string& path, const std::vector<std::int16_t>& samples, std::string& error,
                const song_tags& tags) {
    if (ends_with(path, ".ogg")) return write_as(path, SF_FORMAT_OGG | SF_FORMAT_VORBIS, samples, error, tags);
    if (ends_with(path, ".flac")) return write_as(path, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, samples, error, tags);
    if (ends_with(path, ".mp3")) return write_as(path, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, samples, error);
    return write_wav(path, samples, error);
}

}  // namespace song
