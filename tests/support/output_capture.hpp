#pragma once
// What SDL_mixer hands to the device, captured through its post-mix hook
// (install capture_output with Mix_SetPostMix), as interleaved stereo values.
#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace output_capture {

inline std::atomic<bool> capturing{false};
inline std::vector<std::int16_t> captured;

inline void capture_output(void*, Uint8* stream, int len) {
    if (!capturing.load()) return;
    const auto* s = reinterpret_cast<const Sint16*>(stream);
    captured.insert(captured.end(), s, s + len / 2);
}

// Runs `start` (a play or a rewind) so that the capture begins with the
// first buffer mixed after it.
template <class Start>
void capture_from(Start start) {
    SDL_LockAudio();
    captured.clear();
    capturing = true;
    start();
    SDL_UnlockAudio();
}

inline std::vector<std::int16_t> stop_capture() {
    SDL_LockAudio();  // the buffer being mixed is complete
    capturing = false;
    std::vector<std::int16_t> out;
    out.swap(captured);
    SDL_UnlockAudio();
    return out;
}

}  // namespace output_capture
