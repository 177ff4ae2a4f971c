// Peak memory while the playback layer streams a long song, against the
// process with the device already open. The song plays through the real
// music hook on SDL's disk audio driver writing to /dev/null with no delay,
// so ten minutes of music pass in seconds.
//   playback_memory [minutes, default 10] [rate, default 44100] [limit MiB, default 64]
// Writes the song as a stereo FLAC into a scratch folder, plays it once,
// prints the figures and fails when the peak growth reaches the limit or the
// song is not played to its last frame.
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audiolayer/playback.hpp"

namespace {

long status_kib(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            long kib = -1;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

// Something like music for the encoder: two drifting tones, a beat and a
// little noise, written one second at a time.
bool write_song(const std::string& path, int rate, int minutes) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "playback_memory: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    std::vector<short> second(static_cast<std::size_t>(rate) * 2);
    unsigned noise = 1;
    for (long s = 0; s < 60L * minutes; ++s) {
        for (int n = 0; n < rate; ++n) {
            const double t = static_cast<double>(s) + static_cast<double>(n) / rate;
            const double beat = std::exp(-8.0 * std::fmod(t, 0.5));
            noise = noise * 1664525u + 1013904223u;
            const double hiss = (static_cast<double>(noise >> 16) / 65536.0 - 0.5) * 600.0;
            const double l = 7000.0 * std::sin(6.2831853 * (220.0 + 0.1 * s) * t) * (0.4 + 0.6 * beat) + hiss;
            const double r = 6000.0 * std::sin(6.2831853 * (330.0 - 0.1 * s) * t) * (0.4 + 0.6 * beat) - hiss;
            second[2 * static_cast<std::size_t>(n)] = static_cast<short>(l);
            second[2 * static_cast<std::size_t>(n) + 1] = static_cast<short>(r);
        }
        if (sf_writef_short(f, second.data(), rate) != rate) {
            sf_close(f);
            return false;
        }
    }
    return sf_close(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    namespace pb = audiolayer::playback;
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 44100;
    const double limit_mib = argc > 3 ? std::atof(argv[3]) : 64.0;
    if (minutes <= 0 || rate <= 0 || limit_mib <= 0) {
        std::fprintf(stderr, "usage: playback_memory [minutes] [rate] [limit MiB]\n");
        return 2;
    }

    char folder[] = "/tmp/velmora_playback_memory.XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string song = std::string(folder) + "/song.flac";
    const bool written = write_song(song, rate, minutes);
    if (!written) {
        std::remove(song.c_str());
        rmdir(folder);
        return 1;
    }

    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    if (!pb::init(-1, 44100)) {
        std::fprintf(stderr, "playback_memory: cannot open the output: %s\n", pb::last_error());
        return 1;
    }
    // The high-water mark starts again from here (writing 5 to clear_refs
    // resets it), so the song's generation does not count.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long base_kib = status_kib("VmRSS:");

    int status = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const pb::handle h = pb::stream_create_file(song.c_str());
    if (h == 0 || !pb::channel_play(h, false)) {
        std::fprintf(stderr, "playback_memory: %s\n", pb::last_error());
        status = 1;
    }
    while (status == 0 && pb::channel_is_playing(h)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long peak_kib = status_kib("VmHWM:");

    pb::output_clock clock{};
    const std::uint64_t expected = static_cast<std::uint64_t>(
        std::llround(60.0 * minutes * rate * 44100.0 / rate));
    if (status == 0 && pb::channel_get_clock(h, &clock)) {
        const double growth_mib = static_cast<double>(peak_kib - base_kib) / 1024.0;
        const double whole_mib = static_cast<double>(expected) * 4.0 / (1024.0 * 1024.0);
        std::printf("song:                %d min stereo FLAC at %d Hz (%.1f MiB as 16-bit stereo at 44100 Hz)\n",
                    minutes, rate, whole_mib);
        std::printf("played:              %llu of %llu frames in %.1f s (%.0f times real time)\n",
                    static_cast<unsigned long long>(clock.frames), static_cast<unsigned long long>(expected),
                    seconds, 60.0 * minutes / seconds);
        std::printf("stream buffers:      %.1f KiB\n", static_cast<double>(pb::stream_buffer_bytes(h)) / 1024.0);
        std::printf("resident, device open: %.1f MiB\n", static_cast<double>(base_kib) / 1024.0);
        std::printf("peak while playing:  %.1f MiB\n", static_cast<double>(peak_kib) / 1024.0);
        std::printf("peak growth:         %.2f MiB (limit %.0f MiB)\n", growth_mib, limit_mib);
        // Resampled lengths may differ by a frame from the exact ratio.
        const bool whole = clock.frames + 1 >= expected && clock.frames <= expected + 1;
        if (!whole) std::fprintf(stderr, "playback_memory: the song was not played to its end\n");
        if (growth_mib >= limit_mib) std::fprintf(stderr, "playback_memory: over the limit\n");
        status = whole && growth_mib < limit_mib ? 0 : 1;
    }
    pb::release();
    std::remove(song.c_str());
    rmdir(folder);
    return status;
}
