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

// Lane by lane: a where `mask` is set, else b.
inline __m256 pick(__m256 mask, __m256 a, __m256 b) { return _mm256_blendv_ps(b, a, mask); }
inline __m256d pick(__m256d mask, __m256d a, __m256d b) { return _mm256_blendv_pd(b, a, mask); }
inline __m256i pick(__m256 mask, __m256i a, __m256i b) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(b), _mm256_castsi256_ps(a), mask));
}

// The squared distances from the centre of eight points, in doubles: lanes
// 0 to 3 in `low`, 4 to 7 in `high`.
inline void from_centre(__m256 px, __m256 py, __m256d centre, __m256d& low, __m256d& high) {
    const __m256d dx_low = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(px)), centre);
    const __m256d dy_low = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(py)), centre);
    const __m256d dx_high = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(px, 1)), centre);
    const __m256d dy_high = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(py, 1)), centre);
    low = _mm256_add_pd(_mm256_mul_pd(dx_low, dx_low), _mm256_mul_pd(dy_low, dy_low));
    high = _mm256_add_pd(_mm256_mul_pd(dx_high, dx_high), _mm256_mul_pd(dy_high, dy_high));
}

// Doubles' comparison masks (lanes 0 to 3, 4 to 7) packed to one per float lane.
inline __m256 lanes(__m256d low, __m256d high) {
    const __m256 packed = _mm256_shuffle_ps(_mm256_castpd_ps(low), _mm256_castpd_ps(high), _MM_SHUFFLE(2, 0, 2, 0));
    // [l0 l1 h0 h1 | l2 l3 h2 h3] in the order of the lanes.
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(packed), _MM_SHUFFLE(3, 1, 2, 0)));
}

// A float lane's mask widened to the double lanes of `low` (0 to 3) and `high` (4 to 7).
inline void widen(__m256 mask, __m256d& low, __m256d& high) {
    const __m256i m = _mm256_castps_si256(mask);
    low = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(m)));
    high = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(m, 1)));
}

}  // namespace

void eight_flights(const float* vx_in, const float* vy_in, const flight_field& field, int* flight) {
    const __m256 vx = _mm256_loadu_ps(vx_in), vy = _mm256_loadu_ps(vy_in);
    const __m256 zero = _mm256_setzero_ps(), size = _mm256_set1_ps(field.size);
    auto inside = [&](__m256 x, __m256 y) {
        return _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(zero, x, _CMP_LT_OS), _mm256_cmp_ps(x, size, _CMP_LT_OS)),
                             _mm256_and_ps(_mm256_cmp_ps(zero, y, _CMP_LT_OS), _mm256_cmp_ps(y, size, _CMP_LT_OS)));
    };
    const __m256i longest = _mm256_set1_epi32(field.longest), last_move = _mm256_set1_epi32(field.longest - 1);
    const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    // Out to the edge: t counts the moves; a lane still inside after the
    // longest flight has its flight.
    __m256 x = _mm256_set1_ps(field.centre), y = x;
    __m256i t = _mm256_setzero_si256();
    __m256 moving = all;
    __m256 capped = _mm256_setzero_ps();
    while (_mm256_movemask_ps(moving) != 0) {
        const __m256 at_cap = _mm256_and_ps(moving, _mm256_castsi256_ps(_mm256_cmpgt_epi32(t, last_move)));
        capped = _mm256_or_ps(capped, at_cap);
        moving = _mm256_andnot_ps(at_cap, moving);
        x = pick(moving, _mm256_add_ps(x, vx), x);
        y = pick(moving, _mm256_add_ps(y, vy), y);
        t = _mm256_sub_epi32(t, _mm256_castps_si256(moving));
        moving = _mm256_and_ps(moving, inside(x, y));
    }
    // Back from the last position inside, to the point nearest the centre.
    const __m256 nvx = _mm256_xor_ps(vx, _mm256_set1_ps(-0.0f)), nvy = _mm256_xor_ps(vy, _mm256_set1_ps(-0.0f));
    __m256 rx = _mm256_sub_ps(x, vx), ry = _mm256_sub_ps(y, vy);
    const __m256d centre = _mm256_set1_pd(static_cast<double>(field.centre));
    __m256d nearest_low, nearest_high;
    from_centre(rx, ry, centre, nearest_low, nearest_high);
    __m256i at = t;
    __m256 back = _mm256_andnot_ps(capped, all);
    for (int k = 1; _mm256_movemask_ps(back) != 0; ++k) {
        const __m256i tk = _mm256_add_epi32(t, _mm256_set1_epi32(k));
        back = _mm256_and_ps(back, _mm256_castsi256_ps(_mm256_cmpgt_epi32(longest, tk)));
        rx = _mm256_add_ps(rx, nvx);
        ry = _mm256_add_ps(ry, nvy);
        back = _mm256_and_ps(back, inside(rx, ry));
        __m256d d_low, d_high;
        from_centre(rx, ry, centre, d_low, d_high);
        back = _mm256_andnot_ps(lanes(_mm256_cmp_pd(d_low, nearest_low, _CMP_GT_OS),
                                      _mm256_cmp_pd(d_high, nearest_high, _CMP_GT_OS)),
                                back);
        const __m256 closer = _mm256_and_ps(back, lanes(_mm256_cmp_pd(d_low, nearest_low, _CMP_LT_OS),
                                                        _mm256_cmp_pd(d_high, nearest_high, _CMP_LT_OS)));
        __m256d take_low, take_high;
        widen(closer, take_low, take_high);
        nearest_low = pick(take_low, d_low, nearest_low);
        nearest_high = pick(take_high, d_high, nearest_high);
        at = pick(closer, tk, at);
    }
    at = pick(capped, longest, at);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(flight), at);
}

}  // namespace converter::dynamics_avx2
