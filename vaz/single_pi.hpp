#pragma once
#include <cmath>

namespace vaz {

// π as the game and the converter use it: float(float(asin 0.5) × 6), the float
// nearest to π (bits 40490FDB), computed once on first use.
inline float single_pi() {
    static const float pi = static_cast<float>(static_cast<double>(static_cast<float>(std::asin(0.5))) * 6.0);
    return pi;
}

}  // namespace vaz
