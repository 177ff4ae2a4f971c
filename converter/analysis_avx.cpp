#include "converter/analysis_avx.hpp"

#include <immintrin.h>


namespace converter::analysis_avx {
namespace {

constexpr std::size_t series_length = 64;

// single(single(sqrt(single(re^2 + im^2))) * half_inverse): squares and
// their sum in double, rounded once, as the four-lane code forms them.
inline __m256 magnitude_of(__m256 re, __m256 im, __m256 half_inverse) {
    const __m256d r_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(re));
    const __m256d r_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(re, 1));
    const __m256d i_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(im));
    const __m256d i_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(im, 1));
    const __m128 p_lo = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(r_lo, r_lo), _mm256_mul_pd(i_lo, i_lo)));
    const __m128 p_hi = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(r_hi, r_hi), _mm256_mul_pd(i_hi, i_hi)));
    return _mm256_mul_ps(_mm256_sqrt_ps(_mm256_set_m128(p_hi, p_lo)), half_inverse);
}

inline __m256 halves(__m128 lo, __m128 hi) { return _mm256_set_m128(hi, lo); }

}  // namespace

void frame_magnitudes(const series_job& job) {
    constexpr std::size_t quarter = series_length / 4;
    const __m256 half_inverse = _mm256_set1_ps(job.half_inverse);
    const __m256 w_re = _mm256_set1_ps(job.w_re), w_im = _mm256_set1_ps(job.w_im);
    const __m256 sign = _mm256_set1_ps(-0.0f), zero = _mm256_setzero_ps();
    const __m256d mean_factor = _mm256_set1_pd(job.mean_factor);
    const std::size_t stride = job.window_stride, windows = job.transformed_windows;

    for (std::size_t bin = 0; bin < job.bins; bin += 8) {
        __m256 a[series_length];  // a[j]: window j of the eight bins
        __m256d sum_lo = _mm256_setzero_pd(), sum_hi = _mm256_setzero_pd();
        for (std::size_t j = 0; j < windows; j += 4) {
            // Windows j to j + 3 of bins bin + u and bin + 4 + u side by side.
            __m128 lo[4], hi[4];
            for (std::size_t u = 0; u < 4; ++u) {
                const std::size_t at_lo = (bin + u) * stride + j, at_hi = (bin + 4 + u) * stride + j;
                const __m256 m = magnitude_of(halves(_mm_loadu_ps(job.window_re + at_lo), _mm_loadu_ps(job.window_re + at_hi)),
                                              halves(_mm_loadu_ps(job.window_im + at_lo), _mm_loadu_ps(job.window_im + at_hi)),
                                              half_inverse);
                lo[u] = _mm256_castps256_ps128(m);
                hi[u] = _mm256_extractf128_ps(m, 1);
            }
            _MM_TRANSPOSE4_PS(lo[0], lo[1], lo[2], lo[3]);
            _MM_TRANSPOSE4_PS(hi[0], hi[1], hi[2], hi[3]);
            for (std::size_t u = 0; u < 4; ++u) {
                a[j + u] = halves(lo[u], hi[u]);
                // The sum in double, in order of j.
                sum_lo = _mm256_add_pd(sum_lo, _mm256_cvtps_pd(lo[u]));
                sum_hi = _mm256_add_pd(sum_hi, _mm256_cvtps_pd(hi[u]));
            }
        }
        // The windows after the transformed ones repeat the first.
        for (std::size_t j = windows; j < series_length; ++j) {
            a[j] = a[j - windows];
            sum_lo = _mm256_add_pd(sum_lo, _mm256_cvtps_pd(_mm256_castps256_ps128(a[j])));
            sum_hi = _mm256_add_pd(sum_hi, _mm256_cvtps_pd(_mm256_extractf128_ps(a[j], 1)));
        }

        const __m256 mean = halves(_mm256_cvtpd_ps(_mm256_mul_pd(sum_lo, mean_factor)),
                                   _mm256_cvtpd_ps(_mm256_mul_pd(sum_hi, mean_factor)));
        __m256 peak = zero;
        for (std::size_t j = 0; j < windows; ++j) {
            a[j] = _mm256_sub_ps(a[j], mean);
            peak = _mm256_max_ps(peak, _mm256_andnot_ps(sign, a[j]));
        }
        // a / peak, or 0 where the peak is 0 (a whole series of zeros).
        const __m256 no_peak = _mm256_cmp_ps(peak, zero, _CMP_EQ_OQ);
        for (std::size_t j = 0; j < windows; ++j) a[j] = _mm256_andnot_ps(no_peak, _mm256_div_ps(a[j], peak));
        for (std::size_t j = windows; j < series_length; ++j) a[j] = a[j - windows];

        for (std::size_t p = 0; p < quarter; ++p) {
            const std::size_t row = job.rows[p];
            const __m256 x0 = a[p], x1 = a[p + 2 * quarter], x2 = a[p + quarter], x3 = a[p + 3 * quarter];
            const __m256 s01 = _mm256_add_ps(x0, x1), d01 = _mm256_sub_ps(x0, x1);
            const __m256 s23 = _mm256_add_ps(x2, x3), d23 = _mm256_sub_ps(x2, x3);
            const __m256 tr = _mm256_mul_ps(d23, w_re), ti = _mm256_mul_ps(d23, w_im);
            float* re = job.modulation_re + row * job.bins + bin;
            float* im = job.modulation_im + row * job.bins + bin;
            _mm256_storeu_ps(re, _mm256_add_ps(s01, s23));
            _mm256_storeu_ps(im, zero);
            _mm256_storeu_ps(re + job.bins, _mm256_add_ps(d01, tr));
            _mm256_storeu_ps(im + job.bins, ti);
            _mm256_storeu_ps(re + 2 * job.bins, _mm256_sub_ps(s01, s23));
            _mm256_storeu_ps(im + 2 * job.bins, zero);
            _mm256_storeu_ps(re + 3 * job.bins, _mm256_sub_ps(d01, tr));
            _mm256_storeu_ps(im + 3 * job.bins, _mm256_xor_ps(ti, sign));
        }
    }
}

}  // namespace converter::analysis_avx
