// The stages in plain code, for every processor. An SSE2 build of them
// cost as much (its products are formed in double as these are), so the
// four-lane kernel set runs these too.
#include "converter/fft_stages.hpp"

namespace converter {
namespace fft_stages {
namespace {

constexpr std::size_t lane_width = 4;

struct vec {
    float v[4];
};
struct twiddle {
    double re;
    double im;
};

inline twiddle make_twiddle(float re, float im) { return {re, im}; }
inline vec load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
inline void store(float* p, vec x) {
    for (int u = 0; u < 4; ++u) p[u] = x.v[u];
}

// Each product in double, rounded to single once; a sum of two singles
// rounds to the same value whether formed in double or in single precision.
inline void butterfly(vec& ar, vec& ai, vec& br, vec& bi, const twiddle& w) {
    for (int u = 0; u < 4; ++u) {
        const float tr = static_cast<float>(w.re * br.v[u] - w.im * bi.v[u]);
        const float ti = static_cast<float>(w.re * bi.v[u] + w.im * br.v[u]);
        br.v[u] = ar.v[u] - tr;
        bi.v[u] = ai.v[u] - ti;
        ar.v[u] = ar.v[u] + tr;
        ai.v[u] = ai.v[u] + ti;
    }
}

inline void dropped(vec& ar, vec& ai, vec br, vec bi, const twiddle& w) {
    for (int u = 0; u < 4; ++u) {
        ar.v[u] = ar.v[u] + static_cast<float>(w.re * br.v[u] - w.im * bi.v[u]);
        ai.v[u] = ai.v[u] + static_cast<float>(w.re * bi.v[u] + w.im * br.v[u]);
    }
}

inline void unit_butterfly(vec& ar, vec& ai, vec& br, vec& bi) { butterfly(ar, ai, br, bi, {1.0, 0.0}); }

}  // namespace

#include "converter/fft_stages.inc"

const stage_functions plain = {single_stage, paired_stages};

}  // namespace fft_stages
}  // namespace converter
