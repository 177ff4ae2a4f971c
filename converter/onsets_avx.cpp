#include "converter/onsets_avx.hpp"

#include <immintrin.h>

#include <cstdint>

#include "converter/onset_fft.hpp"

namespace converter::onsets_avx {

namespace {

// log(1 + x), lane for lane the four-lane code's operations in its order
// (onsets.cpp): the same bits.
[[gnu::always_inline]] inline __m256 log_one_plus(__m256 x) {
    using onset_fft::log_q;
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256i bits = _mm256_castps_si256(_mm256_add_ps(one, x));
    const __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127));
    const __m256 m = _mm256_castsi256_ps(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffff)), _mm256_set1_epi32(0x3f800000)));
    const __m256 u = _mm256_sub_ps(m, one);
    __m256 q = _mm256_add_ps(_mm256_set1_ps(log_q[3]), _mm256_mul_ps(u, _mm256_set1_ps(log_q[4])));
    q = _mm256_add_ps(_mm256_set1_ps(log_q[2]), _mm256_mul_ps(u, q));
    q = _mm256_add_ps(_mm256_set1_ps(log_q[1]), _mm256_mul_ps(u, q));
    q = _mm256_add_ps(_mm256_set1_ps(log_q[0]), _mm256_mul_ps(u, q));
    return _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(e), _mm256_set1_ps(onset_fft::ln2)), _mm256_mul_ps(u, q));
}

struct eight {
    static constexpr std::size_t width = 8;
    __m256 v;
    static eight load(const float* p) { return {_mm256_loadu_ps(p)}; }
    static void store(float* p, eight x) { _mm256_storeu_ps(p, x.v); }
    static eight set1(float x) { return {_mm256_set1_ps(x)}; }
    static eight add(eight a, eight b) { return {_mm256_add_ps(a.v, b.v)}; }
    static eight sub(eight a, eight b) { return {_mm256_sub_ps(a.v, b.v)}; }
    static eight mul(eight a, eight b) { return {_mm256_mul_ps(a.v, b.v)}; }
};

}  // namespace

double sum_of_squares(const float* v, std::size_t n) {
    __m256d sums = _mm256_setzero_pd();
    for (std::size_t k = 0; k < n; k += 4) {
        const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(v + k));
        sums = _mm256_add_pd(sums, _mm256_mul_pd(x, x));
    }
    alignas(32) double p[4];
    _mm256_store_pd(p, sums);
    return p[0] + p[1] + p[2] + p[3];
}

void transform(float* re, float* im, std::size_t stride, std::size_t lanes, const float* twr, const float* twi,
               std::size_t n) {
    onset_fft::transform<eight>(re, im, stride, lanes, twr, twi, n);
}

void split_contents(const float* re, const float* im, std::size_t lanes, std::size_t size, float* sa, float* sb) {
    const __m256 half = _mm256_set1_ps(0.5f);
    for (std::size_t k = 0; k <= size / 2; ++k) {
        const std::size_t mirror = (size - k) % size;
        const float* zr = re + k * lanes;
        const float* zi = im + k * lanes;
        const float* wr = re + mirror * lanes;
        const float* wi = im + mirror * lanes;
        const __m256 w = _mm256_set1_ps(static_cast<float>(k + 1));
        for (std::size_t c = 0; c < lanes; c += 8) {
            const __m256 r = _mm256_loadu_ps(zr + c), i = _mm256_loadu_ps(zi + c);
            const __m256 mr = _mm256_loadu_ps(wr + c), mi = _mm256_loadu_ps(wi + c);
            const __m256 ar = _mm256_add_ps(r, mr), ai = _mm256_sub_ps(i, mi);
            const __m256 br = _mm256_add_ps(i, mi), bi = _mm256_sub_ps(r, mr);
            const __m256 ma =
                _mm256_mul_ps(half, _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(ar, ar), _mm256_mul_ps(ai, ai))));
            const __m256 mb =
                _mm256_mul_ps(half, _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(br, br), _mm256_mul_ps(bi, bi))));
            _mm256_storeu_ps(sa + c, _mm256_add_ps(_mm256_loadu_ps(sa + c), _mm256_mul_ps(w, log_one_plus(ma))));
            _mm256_storeu_ps(sb + c, _mm256_add_ps(_mm256_loadu_ps(sb + c), _mm256_mul_ps(w, log_one_plus(mb))));
        }
    }
}

void fill_eight_lanes(const float* first, std::size_t gap, const float* window, std::size_t size,
                      const std::uint32_t* places, float* to) {
    const float* r[8];
    for (std::size_t i = 0; i < 8; ++i) r[i] = first + i * gap;
    for (std::size_t n = 0; n < size; n += 8) {
        // An 8 x 8 transpose: rows are frames, columns points.
        const __m256 a0 = _mm256_loadu_ps(r[0] + n), a1 = _mm256_loadu_ps(r[1] + n);
        const __m256 a2 = _mm256_loadu_ps(r[2] + n), a3 = _mm256_loadu_ps(r[3] + n);
        const __m256 a4 = _mm256_loadu_ps(r[4] + n), a5 = _mm256_loadu_ps(r[5] + n);
        const __m256 a6 = _mm256_loadu_ps(r[6] + n), a7 = _mm256_loadu_ps(r[7] + n);
        const __m256 b0 = _mm256_unpacklo_ps(a0, a1), b1 = _mm256_unpackhi_ps(a0, a1);
        const __m256 b2 = _mm256_unpacklo_ps(a2, a3), b3 = _mm256_unpackhi_ps(a2, a3);
        const __m256 b4 = _mm256_unpacklo_ps(a4, a5), b5 = _mm256_unpackhi_ps(a4, a5);
        const __m256 b6 = _mm256_unpacklo_ps(a6, a7), b7 = _mm256_unpackhi_ps(a6, a7);
        const __m256 c0 = _mm256_shuffle_ps(b0, b2, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 c1 = _mm256_shuffle_ps(b0, b2, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 c2 = _mm256_shuffle_ps(b1, b3, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 c3 = _mm256_shuffle_ps(b1, b3, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 c4 = _mm256_shuffle_ps(b4, b6, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 c5 = _mm256_shuffle_ps(b4, b6, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 c6 = _mm256_shuffle_ps(b5, b7, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 c7 = _mm256_shuffle_ps(b5, b7, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 column[8] = {
            _mm256_permute2f128_ps(c0, c4, 0x20), _mm256_permute2f128_ps(c1, c5, 0x20),
            _mm256_permute2f128_ps(c2, c6, 0x20), _mm256_permute2f128_ps(c3, c7, 0x20),
            _mm256_permute2f128_ps(c0, c4, 0x31), _mm256_permute2f128_ps(c1, c5, 0x31),
            _mm256_permute2f128_ps(c2, c6, 0x31), _mm256_permute2f128_ps(c3, c7, 0x31)};
        for (std::size_t k = 0; k < 8; ++k)
            _mm256_storeu_ps(to + places[n + k], _mm256_mul_ps(column[k], _mm256_broadcast_ss(window + n + k)));
    }
}

}  // namespace converter::onsets_avx
