#pragma once
#include <cmath>
#include <cstdint>

namespace audiolayer {

// Full scale is 1.0. libsndfile hands float and double data to short readers
// unscaled, which would turn a whole floating-point file into zeros, so both
// halves convert such data themselves, the same way.
inline std::int16_t float_to_int16(float x) {
    if (!(x == x)) return 0;
    const float v = x * 32768.0f;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(std::lrint(v));
}

}  // namespace audiolayer
