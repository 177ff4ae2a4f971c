#include "converter/dynamics_avx2.hpp"

#include <immintrin.h>

namespace converter::dynamics_avx2 {

void stereo_mix(const std::int16_t* v, float scale, float* out, std::size_t count) {
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256 scales = _mm256_set1_ps(scale);
    // The horizontal sums leave value j of each quarter in the other half:
    // this puts the eight in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (std::size_t j = 0; j < count; j += 8, v += 64) {
        // Each frame's two values added: eight frames a register.
        const __m256i a = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)), ones);
        const __m256i b = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 16)), ones);
        const __m256i c = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 32)), ones);
        const __m256i d = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 48)), ones);
        // Then four frames a value.
        const __m256i sums = _mm256_hadd_epi32(_mm256_hadd_epi32(a, b), _mm256_hadd_epi32(c, d));
        _mm256_storeu_ps(out + j,
                         _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_permutevar8x32_epi32(sums, order)), scales));
    }
}

}  // namespace converter::dynamics_avx2

namespace converter::dynamics_avx2 {

namespace {

using fvec = __m256;
using ivec = __m256i;
using dvec = __m256d;
inline fvec fload(const float* p) { return _mm256_loadu_ps(p); }
inline void istore(int* p, ivec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline fvec fset(float x) { return _mm256_set1_ps(x); }
inline ivec iset(int n) { return _mm256_set1_epi32(n); }
inline dvec dset(double x) { return _mm256_set1_pd(x); }
inline fvec fzero() { return _mm256_setzero_ps(); }
inline ivec izero() { return _mm256_setzero_si256(); }
inline fvec fall() { return _mm256_castsi256_ps(_mm256_set1_epi32(-1)); }
inline fvec fadd(fvec a, fvec b) { return _mm256_add_ps(a, b); }
inline fvec fsub(fvec a, fvec b) { return _mm256_sub_ps(a, b); }
inline fvec fand(fvec a, fvec b) { return _mm256_and_ps(a, b); }
inline fvec for_(fvec a, fvec b) { return _mm256_or_ps(a, b); }
inline fvec fandnot(fvec a, fvec b) { return _mm256_andnot_ps(a, b); }
inline fvec fxor(fvec a, fvec b) { return _mm256_xor_ps(a, b); }
// The predicates of SSE's cmpltps and cmpgtpd.
inline fvec flt(fvec a, fvec b) { return _mm256_cmp_ps(a, b, _CMP_LT_OS); }
inline bool any(fvec mask) { return _mm256_movemask_ps(mask) != 0; }
inline ivec iadd(ivec a, ivec b) { return _mm256_add_epi32(a, b); }
inline ivec isub(ivec a, ivec b) { return _mm256_sub_epi32(a, b); }
inline fvec igt(ivec a, ivec b) { return _mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b)); }
inline ivec as_ints(fvec mask) { return _mm256_castps_si256(mask); }
inline fvec pick(fvec mask, fvec a, fvec b) { return _mm256_blendv_ps(b, a, mask); }
inline dvec pick(dvec mask, dvec a, dvec b) { return _mm256_blendv_pd(b, a, mask); }
inline ivec pick(fvec mask, ivec a, ivec b) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(b), _mm256_castsi256_ps(a), mask));
}
inline void squared_from_centre(fvec px, fvec py, dvec centre, dvec& low, dvec& high) {
    const dvec dx_low = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(px)), centre);
    const dvec dy_low = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(py)), centre);
    const dvec dx_high = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(px, 1)), centre);
    const dvec dy_high = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(py, 1)), centre);
    low = _mm256_add_pd(_mm256_mul_pd(dx_low, dx_low), _mm256_mul_pd(dy_low, dy_low));
    high = _mm256_add_pd(_mm256_mul_pd(dx_high, dx_high), _mm256_mul_pd(dy_high, dy_high));
}
inline dvec dgt(dvec a, dvec b) { return _mm256_cmp_pd(a, b, _CMP_GT_OS); }
inline dvec dlt(dvec a, dvec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OS); }
inline fvec packed(dvec low, dvec high) {
    const fvec in_halves = _mm256_shuffle_ps(_mm256_castpd_ps(low), _mm256_castpd_ps(high), _MM_SHUFFLE(2, 0, 2, 0));
    // [l0 l1 h0 h1 | l2 l3 h2 h3] in the order of the lanes.
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(in_halves), _MM_SHUFFLE(3, 1, 2, 0)));
}
inline void widened(fvec mask, dvec& low, dvec& high) {
    const __m256i m = _mm256_castps_si256(mask);
    low = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(m)));
    high = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(m, 1)));
}

#include "converter/flights.inc"

}  // namespace

void eight_flights(const float* vx, const float* vy, float side, float middle, int most_updates, int* flight) {
    lane_flights(vx, vy, side, middle, most_updates, flight);
}

}  // namespace converter::dynamics_avx2
