// make_song: writes the bundled stage's music as a stereo 44.1 kHz WAV, or as
// Ogg Vorbis or FLAC when the output's name ends in .ogg or .flac.
//   make_song [--seconds N] OUTPUT.wav
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/song/song.hpp"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: make_song [--seconds N] OUTPUT.wav|OUTPUT.ogg|OUTPUT.flac\n"
                 "  without --seconds: the full %d-second song; with it: N seconds (1 to %d) of its busiest part\n",
                 song::full_length_seconds, song::max_length_seconds);
    return 2;
}

bool parse_seconds(const char* text, int& seconds) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > song::max_length_seconds) return false;
    seconds = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 0;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            if (i + 1 >= argc || !parse_seconds(argv[i + 1], seconds)) {
                std::fprintf(stderr, "make_song: --seconds needs a whole number from 1 to %d\n", song::max_length_seconds);
                return 2;
            }
            ++i;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "make_song: unknown option %s\n", argv[i]);
            return usage();
        } else if (output) {
            return usage();
        } else {
            output = argv[i];
        }
    }
    if (!output) return usage();

    const auto samples = song::render(seconds);
    std::string error;
    if (!song::write_song(output, samples, error)) {
        std::fprintf(stderr, "make_song: cannot write %s: %s\n", output, error.c_str());
        return 1;
    }
    std::printf("make_song: wrote %s (%zu s, stereo, %d Hz)\n", output,
                samples.size() / song::channel_count / song::sample_rate, song::sample_rate);
    return 0;
}
