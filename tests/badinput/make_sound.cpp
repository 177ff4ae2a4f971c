// badinput_sound: writes a short test tone for the bad-input and format checks.
//   badinput_sound OUTPUT.wav|OUTPUT.24.wav|OUTPUT.float.wav|OUTPUT.flac|OUTPUT.ogg|OUTPUT.opus|OUTPUT.mp3
//                  RATE CHANNELS FRAMES
// (.wav: 16-bit; .24.wav: 24-bit; .float.wav: 32-bit floating point; .ogg: Ogg
// Vorbis; .opus: Ogg Opus, which takes 48000 Hz and a few other rates only;
// .mp3: MPEG layer III).
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: badinput_sound OUTPUT.wav|OUTPUT.24.wav|OUTPUT.float.wav|OUTPUT.flac|OUTPUT.ogg|OUTPUT.opus|"
                 "OUTPUT.mp3 RATE CHANNELS FRAMES\n");
    return 2;
}

bool parse_count(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return usage();
    const std::string path = argv[1];
    long rate, channels, frames;
    if (!parse_count(argv[2], 1, 655350, rate) || !parse_count(argv[3], 1, 8, channels) ||
        !parse_count(argv[4], 0, 100L * 655350, frames))
        return usage();

    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(channels);
    if (ends_with(path, ".float.wav")) {
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    } else if (ends_with(path, ".24.wav")) {
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    } else if (ends_with(path, ".ogg")) {
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    } else if (ends_with(path, ".opus")) {
        info.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
    } else if (ends_with(path, ".mp3")) {
        info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    } else if (ends_with(path, ".wav")) {
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    } else if (ends_with(path, ".flac")) {
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    } else {
        return usage();
    }

    // A 440 Hz tone whose loudness pulses four times a second, so a converted
    // second holds events.
    std::vector<std::int16_t> values(static_cast<std::size_t>(frames * channels));
    for (long n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / static_cast<double>(rate);
        const double envelope = 0.5 + 0.5 * std::cos(2 * M_PI * 4 * t);
        for (long c = 0; c < channels; ++c)
            values[static_cast<std::size_t>(n * channels + c)] =
                static_cast<std::int16_t>(std::lround(12000 * envelope * std::sin(2 * M_PI * 440 * t)));
    }

    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "badinput_sound: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return 1;
    }
    const sf_count_t written = sf_writef_short(f, values.data(), frames);
    const int closed = sf_close(f);
    if (written != frames || closed != 0) {
        std::fprintf(stderr, "badinput_sound: %s: short write\n", path.c_str());
        return 1;
    }
    return 0;
}
