// When the preview sounds, measured at the output: a frame loop at 60 frames
// a second rests on a row, and the post-mix hook notes the first buffer
// handed to the (dummy) device with sound in it. The preview should sound
// half a second after the row was reached; the lateness of each try is
// printed with its median and worst, and the run fails past 150 ms. Also
// the longest a frame's select and update took.
//   preview_latency [tries per file, default 10]
#include <SDL.h>
#include <SDL_mixer.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audiolayer/playback.hpp"
#include "preview/preview.hpp"

namespace {

std::atomic<bool> armed{false};
std::atomic<Uint32> first_sound{0};

void watch_output(void*, Uint8* stream, int len) {
    if (!armed.load()) return;
    const auto* s = reinterpret_cast<const Sint16*>(stream);
    if (std::any_of(s, s + len / 2, [](Sint16 v) { return v != 0; })) {
        first_sound = SDL_GetTicks();
        armed = false;
    }
}

// Three minutes of a 440 Hz tone, written with libsndfile.
bool write_song(const std::string& path, int format) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<short> block(2 * 44100);
    for (int second = 0; second < 180; ++second) {
        for (int k = 0; k < 44100; ++k)
            block[2 * k] = block[2 * k + 1] = static_cast<short>(8000 * std::sin(2 * 3.14159265 * 440 * k / 44100.0));
        sf_writef_short(f, block.data(), 44100);
    }
    sf_close(f);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int tries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (!audiolayer::playback::init(-1, 44100)) {
        std::fprintf(stderr, "preview_latency: no audio output: %s\n", audiolayer::playback::last_error());
        return 1;
    }
    Mix_SetPostMix(watch_output, nullptr);
    const std::string dir = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    const std::vector<std::pair<std::string, int>> files = {
        {dir + "/preview_latency.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {dir + "/preview_latency.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}};
    int status = 0;
    for (const auto& [path, format] : files) {
        if (!write_song(path, format)) {
            std::fprintf(stderr, "preview_latency: cannot write %s\n", path.c_str());
            return 1;
        }
        std::vector<int> late;
        double longest_select_us = 0, longest_update_us = 0;
        for (int t = 0; t < tries; ++t) {
            preview::player p;
            armed = false;
            first_sound = 0;
            const Uint32 reached = SDL_GetTicks();
            auto timed = [&](double& longest, auto call) {
                const auto start = std::chrono::steady_clock::now();
                call();
                longest = std::max(
                    longest, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
            };
            timed(longest_select_us, [&] { p.select(path, reached); });
            armed = true;
            while (first_sound == 0 && SDL_GetTicks() - reached < 3000) {
                timed(longest_update_us, [&] { p.update(SDL_GetTicks()); });
                SDL_Delay(16);
            }
            if (first_sound == 0) {
                std::fprintf(stderr, "preview_latency: %s never sounded: %s\n", path.c_str(), p.error().c_str());
                return 1;
            }
            late.push_back(static_cast<int>(first_sound - reached) - 500);
            SDL_Delay(100);  // playing on a little, as when the player moves on
            timed(longest_select_us, [&] { p.select("", SDL_GetTicks()); });
        }
        std::sort(late.begin(), late.end());
        std::printf("%s: sounded %d ms (median) and at most %d ms after it was due, %d tries; "
                    "longest select (which stops a preview) %.0f us, update %.0f us\n",
                    path.c_str(), late[late.size() / 2], late.back(), tries, longest_select_us, longest_update_us);
        if (late.back() > 150) status = 1;
        std::remove(path.c_str());
    }
    audiolayer::playback::release();
    return status;
}
