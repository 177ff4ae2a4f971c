// The stages with SSE2, which every x86-64 processor has; plain code on
// other processors.
#include "converter/fft_stages.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace converter {
namespace fft_stages {
namespace {

constexpr std::size_t lane_width = 4;

#if defined(__SSE2__)
using vec = __m128;
struct twiddle {
    __m128d re;
    __m128d im;
};

inline twiddle make_twiddle(float re, float im) { return {_mm_set1_pd(re), _mm_set1_pd(im)}; }
inline vec load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, vec v) { _mm_storeu_ps(p, v); }

// t = w y with each part formed in double (the products are exact for
// single inputs) and rounded to single once.
inline void twiddled(vec yr, vec yi, const twiddle& w, vec& tr, vec& ti) {
    const __m128d yr_lo = _mm_cvtps_pd(yr);
    const __m128d yr_hi = _mm_cvtps_pd(_mm_movehl_ps(yr, yr));
    const __m128d yi_lo = _mm_cvtps_pd(yi);
    const __m128d yi_hi = _mm_cvtps_pd(_mm_movehl_ps(yi, yi));
    tr = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(w.re, yr_lo), _mm_mul_pd(w.im, yi_lo))),
                       _mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(w.re, yr_hi), _mm_mul_pd(w.im, yi_hi))));
    ti = _mm_movelh_ps(_mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(w.re, yi_lo), _mm_mul_pd(w.im, yr_lo))),
                       _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(w.re, yi_hi), _mm_mul_pd(w.im, yr_hi))));
}

#include "converter/fft_sse_butterflies.inc"
#else
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
#endif

}  // namespace

#include "converter/fft_stages.inc"

const stage_functions baseline = {single_stage, paired_stages};

}  // namespace fft_stages
}  // namespace converter
