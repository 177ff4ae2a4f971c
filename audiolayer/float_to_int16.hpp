#pragma once
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace audiolayer {

// Full scale is 1.0. libsndfile hands float and double data to short readers
// unscaled, which would turn a whole floating-point file into zeros, so both
// halves convert such data themselves, the same way; the converter converts
// its resampled doubles by the same rule. Not-a-number becomes silence; ties
// round to even (lrint's default rounding).
template <class Real>
std::int16_t float_to_int16(Real x) {
    static_assert(std::is_floating_point_v<Real>, "a float or a double");
    if (!(x == x)) return 0;
    const Real v = x * Real(32768);
    if (v >= Real(32767)) return 32767;
    if (v <= Real(-32768)) return -32768;
    return static_cast<std::int16_t>(std::lrint(v));
}

}  // namespace audiolayer
