// make_sound_effects: writes the game's four sound effects into a folder as
// mono 16-bit 44.1 kHz WAV files: graze.wav (a short tick), hit.wav, bomb.wav
// and chain.wav (a chain's burst).
//   make_sound_effects FOLDER
// Everything is computed in integers (oscillator phases, noise, envelopes),
// so the bytes are the same on every machine and every build.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t rate = 44100;

// A phase step of f/1000 Hz for a 32-bit phase.
std::uint32_t step_millihertz(std::uint64_t millihertz) {
    return static_cast<std::uint32_t>((millihertz << 32) / (std::uint64_t{rate} * 1000));
}

// -32768..32767 from a 32-bit phase.
std::int32_t triangle(std::uint32_t phase) {
    const auto t = static_cast<std::int32_t>(phase >> 16);  // 0..65535
    return t < 32768 ? t * 2 - 32768 : (65535 - t) * 2 - 32768;
}

struct noise {
    std::uint32_t state;
    std::int32_t next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<std::int32_t>(state >> 16) - 32768;
    }
};

// An envelope in 1/65536: a linear rise over `attack` frames, then each frame
// times decay/65536.
struct envelope {
    std::uint32_t attack;
    std::int64_t decay;
    std::int64_t level = 65536;
    std::int64_t at(std::uint32_t n) {
        if (n < attack) return 65536 * static_cast<std::int64_t>(n) / attack;
        level = level * decay >> 16;
        return level;
    }
};

// A frequency glide in millihertz from `from` to `to` over `frames`.
std::uint64_t glide(std::uint64_t from, std::uint64_t to, std::uint32_t n, std::uint32_t frames) {
    const auto f = static_cast<std::int64_t>(from), t = static_cast<std::int64_t>(to);
    return static_cast<std::uint64_t>(f + (t - f) * static_cast<std::int64_t>(n) / static_cast<std::int64_t>(frames));
}

// Scales raw samples to a peak of peak/100 of full scale and fades the last
// few milliseconds out, so a sound cut off early or ending never clicks.
std::vector<std::int16_t> finish(const std::vector<std::int64_t>& raw, std::int64_t peak) {
    std::int64_t largest = 1;
    for (std::int64_t v : raw) largest = std::max(largest, v < 0 ? -v : v);
    const std::size_t fade = std::min<std::size_t>(raw.size(), 128);
    std::vector<std::int16_t> out(raw.size());
    for (std::size_t n = 0; n < raw.size(); ++n) {
        std::int64_t v = raw[n] * 32767 * peak / (largest * 100);
        const std::size_t left = raw.size() - 1 - n;
        if (left < fade) v = v * static_cast<std::int64_t>(left) / static_cast<std::int64_t>(fade);
        out[n] = static_cast<std::int16_t>(v);
    }
    return out;
}

// A bright tick, 30 ms.
std::vector<std::int16_t> graze() {
    const std::uint32_t frames = rate * 30 / 1000;
    envelope env{20, 65308};
    noise hiss{7};
    std::uint32_t phase = 0;
    std::vector<std::int64_t> raw(frames);
    for (std::uint32_t n = 0; n < frames; ++n) {
        phase += step_millihertz(3520000);
        raw[n] = (triangle(phase) * 3 + hiss.next()) * env.at(n) >> 16;
    }
    return finish(raw, 45);
}

// Low-passed noise over a triangle whose pitch glides down, the shape of
// both the hit and the bomb.
struct thud {
    std::uint32_t frames;
    envelope env;
    std::uint32_t seed;
    int smoothing;  // the low-pass: each sample moves 1/2^smoothing of the way
    std::int64_t noise_gain, tone_gain;
    std::uint64_t from_millihertz, to_millihertz;
    std::int64_t peak;
};

std::vector<std::int16_t> render(thud t) {
    noise source{t.seed};
    std::int64_t low = 0;
    std::uint32_t phase = 0;
    std::vector<std::int64_t> raw(t.frames);
    for (std::uint32_t n = 0; n < t.frames; ++n) {
        low += (source.next() - low) >> t.smoothing;
        phase += step_millihertz(glide(t.from_millihertz, t.to_millihertz, n, t.frames));
        raw[n] = (low * t.noise_gain + triangle(phase) * t.tone_gain) * t.env.at(n) >> 16;
    }
    return finish(raw, t.peak);
}

// A dull thud with a crackle, 200 ms, its pitch falling from 220 to 60 Hz.
std::vector<std::int16_t> hit() { return render({rate / 5, {40, 65502}, 1234, 3, 2, 3, 220000, 60000, 80}); }

// A long low rumble, 600 ms, rising over 10 ms.
std::vector<std::int16_t> bomb() { return render({rate * 6 / 10, {rate / 100, 65525}, 99, 5, 5, 2, 110000, 40000, 85}); }

// A rising pop, 120 ms: a fifth gliding up an octave.
std::vector<std::int16_t> chain() {
    const std::uint32_t frames = rate * 12 / 100;
    envelope env{30, 65479};
    std::uint32_t low = 0, high = 0;
    std::vector<std::int64_t> raw(frames);
    for (std::uint32_t n = 0; n < frames; ++n) {
        const std::uint64_t f = glide(880000, 1760000, n, frames);
        low += step_millihertz(f);
        high += step_millihertz(f * 3 / 2);
        raw[n] = (triangle(low) * 2 + triangle(high)) * env.at(n) >> 16;
    }
    return finish(raw, 60);
}

void put_le(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::vector<std::uint8_t> wav_bytes(const std::vector<std::int16_t>& samples) {
    const auto data_bytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> out;
    out.reserve(44 + data_bytes);
    const auto tag = [&out](const char* t) { out.insert(out.end(), t, t + 4); };
    tag("RIFF");
    put_le(out, 36 + data_bytes, 4);
    tag("WAVE");
    tag("fmt ");
    put_le(out, 16, 4);
    put_le(out, 1, 2);  // PCM
    put_le(out, 1, 2);  // mono
    put_le(out, rate, 4);
    put_le(out, rate * 2, 4);
    put_le(out, 2, 2);
    put_le(out, 16, 2);
    tag("data");
    put_le(out, data_bytes, 4);
    for (std::int16_t s : samples) put_le(out, static_cast<std::uint16_t>(s), 2);
    return out;
}

// Written under a temporary name and renamed, so a build stopped halfway
// never leaves a cut file that looks finished.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const std::string temporary = path + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) {
        std::remove(temporary.c_str());
        return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: make_sound_effects FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "make_sound_effects: cannot make %s: %s\n", folder.c_str(), std::strerror(errno));
        return 1;
    }
    const struct {
        const char* name;
        std::vector<std::int16_t> samples;
    } sounds[] = {{"graze.wav", graze()}, {"hit.wav", hit()}, {"bomb.wav", bomb()}, {"chain.wav", chain()}};
    for (const auto& s : sounds) {
        const std::string path = folder + "/" + s.name;
        if (!write_file(path, wav_bytes(s.samples))) {
            std::fprintf(stderr, "make_sound_effects: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}
