// The stages with AVX-512 (F and VL) and FMA: eight lanes at a time, their
// products formed in eight doubles at once. This file alone is compiled for
// those instructions and is used only where the processor has them; the
// arithmetic is the AVX and FMA file's, lane for lane.
#include <immintrin.h>

#include "converter/fft_stages.hpp"

namespace converter {
namespace fft_stages {
namespace {

constexpr std::size_t lane_width = 8;

using vec = __m256;
struct twiddle {
    __m512d re;
    __m512d im;
};

inline twiddle make_twiddle(float re, float im) { return {_mm512_set1_pd(re), _mm512_set1_pd(im)}; }
inline vec load(const float* p) { return _mm256_loadu_ps(p); }
inline void store(float* p, vec v) { _mm256_storeu_ps(p, v); }

// t = w y with each part rounded to single once: w.re * y.re is exact in
// double, so the fused difference rounds the very double the plain one does.
inline void twiddled(vec yr, vec yi, const twiddle& w, vec& tr, vec& ti) {
    const __m512d r = _mm512_cvtps_pd(yr);
    const __m512d i = _mm512_cvtps_pd(yi);
    tr = _mm512_cvtpd_ps(_mm512_fmsub_pd(w.re, r, _mm512_mul_pd(w.im, i)));
    ti = _mm512_cvtpd_ps(_mm512_fmadd_pd(w.re, i, _mm512_mul_pd(w.im, r)));
}

// A sum of two singles rounds to the same value whether it is formed in
// double and then rounded or directly in single precision.
inline void butterfly(vec& ar, vec& ai, vec& br, vec& bi, const twiddle& w) {
    vec tr, ti;
    twiddled(br, bi, w, tr, ti);
    br = _mm256_sub_ps(ar, tr);
    bi = _mm256_sub_ps(ai, ti);
    ar = _mm256_add_ps(ar, tr);
    ai = _mm256_add_ps(ai, ti);
}

inline void dropped(vec& ar, vec& ai, vec br, vec bi, const twiddle& w) {
    vec tr, ti;
    twiddled(br, bi, w, tr, ti);
    ar = _mm256_add_ps(ar, tr);
    ai = _mm256_add_ps(ai, ti);
}

// With w exactly 1 + 0i both products are exact, so single precision gives
// the same bits, signed zeros included.
inline void unit_butterfly(vec& ar, vec& ai, vec& br, vec& bi) {
    const vec zero = _mm256_setzero_ps();
    const vec tr = _mm256_sub_ps(br, _mm256_mul_ps(bi, zero));
    const vec ti = _mm256_add_ps(bi, _mm256_mul_ps(br, zero));
    br = _mm256_sub_ps(ar, tr);
    bi = _mm256_sub_ps(ai, ti);
    ar = _mm256_add_ps(ar, tr);
    ai = _mm256_add_ps(ai, ti);
}

}  // namespace

#include "converter/fft_stages.inc"

const stage_functions avx512 = {single_stage, paired_stages};

}  // namespace fft_stages
}  // namespace converter
