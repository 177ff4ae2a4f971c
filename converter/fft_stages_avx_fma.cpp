// The stages with AVX and FMA. This file alone is compiled for those
// instructions and is used only where the processor has them; it keeps to
// intrinsics and plain loops so that no shared inline function is compiled
// here for them.
#include <immintrin.h>

#include "converter/fft_stages.hpp"

namespace converter {
namespace fft_stages {
namespace {

constexpr std::size_t lane_width = 4;

using vec = __m128;
struct twiddle {
    __m256d re;
    __m256d im;
};

inline twiddle make_twiddle(float re, float im) { return {_mm256_set1_pd(re), _mm256_set1_pd(im)}; }
inline vec load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, vec v) { _mm_storeu_ps(p, v); }

// t = w y with each part rounded to single once. w.re * y.re is exact in
// double (two 24-bit significands), so fmsub(w.re, y.re, w.im * y.im) rounds
// the very difference that w.re * y.re - w.im * y.im rounds: the same double,
// hence the same single.
inline void twiddled(vec yr, vec yi, const twiddle& w, vec& tr, vec& ti) {
    const __m256d r = _mm256_cvtps_pd(yr);
    const __m256d i = _mm256_cvtps_pd(yi);
    tr = _mm256_cvtpd_ps(_mm256_fmsub_pd(w.re, r, _mm256_mul_pd(w.im, i)));
    ti = _mm256_cvtpd_ps(_mm256_fmadd_pd(w.re, i, _mm256_mul_pd(w.im, r)));
}

// A sum of two singles rounds to the same value whether it is formed in
// double and then rounded or directly in single precision.
inline void butterfly(vec& ar, vec& ai, vec& br, vec& bi, const twiddle& w) {
    vec tr, ti;
    twiddled(br, bi, w, tr, ti);
    br = _mm_sub_ps(ar, tr);
    bi = _mm_sub_ps(ai, ti);
    ar = _mm_add_ps(ar, tr);
    ai = _mm_add_ps(ai, ti);
}

inline void dropped(vec& ar, vec& ai, vec br, vec bi, const twiddle& w) {
    vec tr, ti;
    twiddled(br, bi, w, tr, ti);
    ar = _mm_add_ps(ar, tr);
    ai = _mm_add_ps(ai, ti);
}

// With w exactly 1 + 0i both products are exact, so single precision gives
// the same bits, signed zeros included.
inline void unit_butterfly(vec& ar, vec& ai, vec& br, vec& bi) {
    const vec zero = _mm_setzero_ps();
    const vec tr = _mm_sub_ps(br, _mm_mul_ps(bi, zero));
    const vec ti = _mm_add_ps(bi, _mm_mul_ps(br, zero));
    br = _mm_sub_ps(ar, tr);
    bi = _mm_sub_ps(ai, ti);
    ar = _mm_add_ps(ar, tr);
    ai = _mm_add_ps(ai, ti);
}

}  // namespace

#include "converter/fft_stages.inc"

const stage_functions avx_fma = {single_stage, paired_stages};

}  // namespace fft_stages
}  // namespace converter
