// make_song: writes the bundled stage's music as a stereo 44.1 kHz WAV, or as
// Ogg Vorbis, FLAC or 128 kbit/s MP3 when the output's name ends in .ogg,
// .flac or .mp3.
//   make_song [--seconds N] OUTPUT.wav
//   make_song --dynamics [--gain DB] OUTPUT.wav   the music with quiet and loud
//                                                 sections and a silence inside
//   make_song --alternating OUTPUT.wav            the song in turns of loud,
//                                                 25 dB down and silent
//   --title TEXT, --artist TEXT                   tags of an .ogg or .flac file
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/song/dynamics_song.hpp"
#include "tools/song/song.hpp"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: make_song [--seconds N | --dynamics [--gain DB] | --alternating] OUTPUT.wav|OUTPUT.ogg|OUTPUT.flac|OUTPUT.mp3\n"
                 "  without --seconds: the full %d-second song; with it: N seconds (1 to %d) of its busiest part\n"
                 "  --dynamics: 60 seconds of loud, quiet (-30 dB) and silent sections, DB (-60 to 0) quieter\n"
                 "  --alternating: the full song in turns of 6 s loud, 4 s 25 dB down and 3 s of silence\n"
                 "  --title TEXT, --artist TEXT: the tags of an .ogg or .flac file\n",
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

bool parse_gain(const char* text, double& gain) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= -60.0 && value <= 0.0)) return false;
    gain = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 0;
    bool dynamics = false, alternating = false;
    song::song_tags tags;
    double gain = 0.0;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dynamics") == 0) {
            dynamics = true;
            continue;
        }
        if (std::strcmp(argv[i], "--alternating") == 0) {
            alternating = true;
            continue;
        }
        if (std::strcmp(argv[i], "--title") == 0 || std::strcmp(argv[i], "--artist") == 0) {
            if (i + 1 >= argc) return usage();
            const bool title = std::strcmp(argv[i], "--title") == 0;
            (title ? tags.title : tags.artist) = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--gain") == 0) {
            if (i + 1 >= argc || !parse_gain(argv[i + 1], gain)) {
                std::fprintf(stderr, "make_song: --gain needs a number of dB from -60 to 0\n");
                return 2;
            }
            ++i;
            continue;
        }
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
    if (!output || (dynamics && seconds != 0) || (!dynamics && gain != 0.0) ||
        (alternating && (dynamics || seconds != 0)))
        return usage();

    const auto samples = dynamics      ? song::render_dynamics(gain)
                         : alternating ? song::render_alternating()
                                       : song::render(seconds);
    std::string error;
    if (!song::write_song(output, samples, error, tags)) {
        std::fprintf(stderr, "make_song: cannot write %s: %s\n", output, error.c_str());
        return 1;
    }
    std::printf("make_song: wrote %s (%zu s, stereo, %d Hz)\n", output,
                samples.size() / song::channel_count / song::sample_rate, song::sample_rate);
    return 0;
}
