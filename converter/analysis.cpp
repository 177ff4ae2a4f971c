#include "converter/analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace converter {

namespace {

constexpr std::size_t window_stride = 64;
constexpr std::size_t transformed_windows = frames_per_second;
constexpr std::size_t bins = frequency_bins;
constexpr std::size_t series_length = window_count;
constexpr float window_half_inverse = 1.0f / (window_length / 2);
constexpr float modulation_half_inverse = 1.0f / (modulation_length / 2);

#if defined(__SSE2__)
using vec = __m128;
inline vec load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, vec v) { _mm_storeu_ps(p, v); }

inline void transpose(vec& a, vec& b, vec& c, vec& d) { _MM_TRANSPOSE4_PS(a, b, c, d); }

// single(single(sqrt(single(re^2 + im^2))) / half): the squares and their
// sum in double, rounded once. A square root and a division by a power of two
// (here the exact product with its inverse) round to the same single whether
// formed in double or in single precision.
inline vec magnitude_of(vec re, vec im, float half_inverse) {
    const __m128d r_lo = _mm_cvtps_pd(re);
    const __m128d r_hi = _mm_cvtps_pd(_mm_movehl_ps(re, re));
    const __m128d i_lo = _mm_cvtps_pd(im);
    const __m128d i_hi = _mm_cvtps_pd(_mm_movehl_ps(im, im));
    const vec power = _mm_movelh_ps(_mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(r_lo, r_lo), _mm_mul_pd(i_lo, i_lo))),
                                    _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(r_hi, r_hi), _mm_mul_pd(i_hi, i_hi))));
    return _mm_mul_ps(_mm_sqrt_ps(power), _mm_set1_ps(half_inverse));
}

struct double_sums {
    __m128d lo = _mm_setzero_pd();
    __m128d hi = _mm_setzero_pd();
    void add(vec a) {
        lo = _mm_add_pd(lo, _mm_cvtps_pd(a));
        hi = _mm_add_pd(hi, _mm_cvtps_pd(_mm_movehl_ps(a, a)));
    }
    vec mean() const {
        const __m128d f = _mm_set1_pd(mean_factor);
        return _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(lo, f)), _mm_cvtpd_ps(_mm_mul_pd(hi, f)));
    }
};

inline vec zero() { return _mm_setzero_ps(); }
inline vec sub(vec a, vec b) { return _mm_sub_ps(a, b); }

inline vec max_abs(vec peak, vec a) { return _mm_max_ps(peak, _mm_andnot_ps(_mm_set1_ps(-0.0f), a)); }
// a / peak, or 0 where the peak is 0 (a whole series of zeros).
inline vec normalised(vec a, vec peak) {
    return _mm_andnot_ps(_mm_cmpeq_ps(peak, _mm_setzero_ps()), _mm_div_ps(a, peak));
}

// One second of one channel as floats v * 2^-15 (exact).
inline void scale_samples(const std::int16_t* v, std::size_t step, float* out) {
    const vec scale = _mm_set1_ps(sample_scale);
    std::size_t n = 0;
    if (step == 1) {
        for (; n + 8 <= sample_rate; n += 8) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + n));
            _mm_storeu_ps(out + n, _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16)), scale));
            _mm_storeu_ps(out + n + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16)), scale));
        }
    } else if (step == 2) {
        // v points at this channel's first value; the other channel sits
        // between, and is dropped by taking the low half of each pair.
        for (; n + 4 <= sample_rate - 1; n += 4) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * n));
            _mm_storeu_ps(out + n, _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(x, 16), 16)), scale));
        }
    }
    for (; n < sample_rate; ++n) out[n] = static_cast<float>(v[n * step]) * sample_scale;
}
#else
struct vec {
    float v[4];
};
inline vec load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
inline void store(float* p, vec x) { std::memcpy(p, x.v, sizeof x.v); }

inline void transpose(vec& a, vec& b, vec& c, vec& d) {
    vec* rows[4] = {&a, &b, &c, &d};
    for (int r = 0; r < 4; ++r)
        for (int c2 = r + 1; c2 < 4; ++c2) std::swap(rows[r]->v[c2], rows[c2]->v[r]);
}

inline vec magnitude_of(vec re, vec im, float half_inverse) {
    vec m;
    for (int u = 0; u < 4; ++u) {
        const double r = re.v[u], i = im.v[u];
        m.v[u] = std::sqrt(static_cast<float>(r * r + i * i)) * half_inverse;
    }
    return m;
}

struct double_sums {
    double s[4] = {};
    void add(vec a) {
        for (int u = 0; u < 4; ++u) s[u] += a.v[u];
    }
    vec mean() const {
        vec m;
        for (int u = 0; u < 4; ++u) m.v[u] = static_cast<float>(s[u] * mean_factor);
        return m;
    }
};

inline vec zero() { return {{0.0f, 0.0f, 0.0f, 0.0f}}; }
inline vec sub(vec a, vec b) {
    for (int u = 0; u < 4; ++u) a.v[u] -= b.v[u];
    return a;
}

inline vec max_abs(vec peak, vec a) {
    for (int u = 0; u < 4; ++u) peak.v[u] = std::max(peak.v[u], std::fabs(a.v[u]));
    return peak;
}
inline vec normalised(vec a, vec peak) {
    for (int u = 0; u < 4; ++u) a.v[u] = peak.v[u] == 0.0f ? 0.0f : a.v[u] / peak.v[u];
    return a;
}

inline void scale_samples(const std::int16_t* v, std::size_t step, float* out) {
    for (std::size_t n = 0; n < sample_rate; ++n) out[n] = static_cast<float>(v[n * step]) * sample_scale;
}
#endif

}  // namespace

bool is_burst(float m) { return static_cast<std::int32_t>(static_cast<float>(burst_factor * m)) != 0; }

analysis::analysis()
    : window_plan_(fft_plan::of_size(window_length)),
      modulation_plan_(fft_plan::of_size(modulation_length)),
      window_re_(window_length * window_stride),
      window_im_(window_length * window_stride),
      samples_(sample_rate),
      modulation_re_(modulation_length * bins),
      modulation_im_(modulation_length * bins),
      magnitudes_(modulation_bins * bins) {}

void analysis::run(const channel_view& source, std::uint32_t second) {
    if (source.channel >= source.channels ||
        (static_cast<std::size_t>(second) + 1) * sample_rate > source.frames)
        throw std::out_of_range("analysis: the second lies outside the delivered samples");
    fill_windows(source, second);
    // Only bins 0 to 511 are read, so the last stage leaves the upper half.
    butterflies_lanes(window_plan_, window_re_.data(), window_im_.data(), window_stride, transformed_windows, true);
    frame_magnitudes();
    butterflies_lanes(modulation_plan_, modulation_re_.data(), modulation_im_.data(), bins, bins, true);
    modulation_magnitudes();
}

// Window j holds frame j of the second, then the frame's first 289 samples
// again. Rows are stored in bit-reversed order, which is the transform's
// first step done while filling; four points of four windows are moved at a
// time.
void analysis::fill_windows(const channel_view& source, std::uint32_t second) {
    const std::size_t step = source.channels;
    const std::int16_t* v = source.values + source.channel + static_cast<std::size_t>(second) * sample_rate * step;
    scale_samples(v, step, samples_.data());

    for (std::size_t k = 0; k < static_cast<std::size_t>(window_length); k += 4) {
        const std::size_t offset = k % frame_length;
        float* rows[4];
        for (std::size_t u = 0; u < 4; ++u) {
            const std::size_t row = window_plan_.reversed(static_cast<std::uint32_t>(k + u));
            rows[u] = &window_re_[row * window_stride];
            float* im = &window_im_[row * window_stride];
            for (std::size_t j = 0; j < transformed_windows; j += 4) store(im + j, zero());
        }
        if (offset + 4 > frame_length) {
            // These four points wrap round to the start of the frame.
            for (std::size_t u = 0; u < 4; ++u)
                for (std::size_t j = 0; j < transformed_windows; ++j)
                    rows[u][j] = samples_[j * frame_length + (k + u) % frame_length];
            continue;
        }
        for (std::size_t j = 0; j < transformed_windows; j += 4) {
            vec a = load(&samples_[j * frame_length + offset]);
            vec b = load(&samples_[(j + 1) * frame_length + offset]);
            vec c = load(&samples_[(j + 2) * frame_length + offset]);
            vec d = load(&samples_[(j + 3) * frame_length + offset]);
            transpose(a, b, c, d);
            store(rows[0] + j, a);
            store(rows[1] + j, b);
            store(rows[2] + j, c);
            store(rows[3] + j, d);
        }
    }
}

// Four bins at a time: their 64 magnitudes, the sum, mean, peak and the
// normalised series, each bin with its own order of operations.
void analysis::frame_magnitudes() {
    const float* window_re = window_re_.data();
    const float* window_im = window_im_.data();
    float* modulation = modulation_re_.data();
    std::size_t rows[series_length];
    for (std::size_t j = 0; j < series_length; ++j)
        rows[j] = modulation_plan_.reversed(static_cast<std::uint32_t>(j)) * bins;

    for (std::size_t bin = 0; bin < bins; bin += 4) {
        vec a[series_length];  // a[j] of the four bins
        // The sum runs in double, in order of j. Summed in single precision,
        // a steady tone leaves rounding residue that normalises to bursts.
        double_sums sum;
        for (std::size_t j = 0; j < transformed_windows; j += 4) {
            for (std::size_t u = 0; u < 4; ++u) {
                const std::size_t at = (bin + u) * window_stride + j;
                a[j + u] = magnitude_of(load(window_re + at), load(window_im + at), window_half_inverse);
            }
            transpose(a[j], a[j + 1], a[j + 2], a[j + 3]);
            for (std::size_t u = 0; u < 4; ++u) sum.add(a[j + u]);
        }
        // Windows 60 to 63 repeat frames 0 to 3.
        for (std::size_t j = transformed_windows; j < series_length; ++j) {
            a[j] = a[j - transformed_windows];
            sum.add(a[j]);
        }

        const vec mean = sum.mean();
        vec peak = zero();
        for (std::size_t j = 0; j < transformed_windows; ++j) {
            a[j] = sub(a[j], mean);
            peak = max_abs(peak, a[j]);
        }
        for (std::size_t j = 0; j < transformed_windows; ++j) store(modulation + rows[j] + bin, normalised(a[j], peak));
        for (std::size_t j = transformed_windows; j < series_length; ++j)
            store(modulation + rows[j] + bin, load(modulation + rows[j - transformed_windows] + bin));
    }
    std::fill(modulation_im_.begin(), modulation_im_.end(), 0.0f);
}

void analysis::modulation_magnitudes() {
    for (std::size_t l = 0; l < static_cast<std::size_t>(modulation_bins); ++l)
        for (std::size_t bin = 0; bin < bins; bin += 4)
            store(&magnitudes_[l * bins + bin],
                  magnitude_of(load(&modulation_re_[l * bins + bin]), load(&modulation_im_[l * bins + bin]),
                            modulation_half_inverse));
}

}  // namespace converter
