#include "converter/analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if VELMORA_AVX_FMA_STAGES
#include "converter/analysis_avx.hpp"
#endif
#include "converter/kernels.hpp"

namespace converter {

namespace {

constexpr std::size_t window_stride = 64;
constexpr std::size_t transformed_windows = frames_per_second;
constexpr std::size_t bins = frequency_bins;
constexpr std::size_t series_length = window_count;
constexpr float window_half_inverse = 1.0f / (window_length / 2);
constexpr float modulation_half_inverse = 1.0f / (modulation_length / 2);

// The lanes (0 to 3) whose value is not below `floor`, not a number included.
struct lane_list {
    int lane[4];
    int count = 0;
    const int* begin() const { return lane; }
    const int* end() const { return lane + count; }
};

// The four-lane helpers of the plain kernel set and of SSE2: the same
// values, lane for lane; the kernel switch (kernels.hpp) chooses.
struct plain_lanes {
    struct vec {
        float v[4];
    };
    static vec load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
    static void store(float* p, vec x) { std::memcpy(p, x.v, sizeof x.v); }

    static void transpose(vec& a, vec& b, vec& c, vec& d) {
        vec* rows[4] = {&a, &b, &c, &d};
        for (int r = 0; r < 4; ++r)
            for (int c2 = r + 1; c2 < 4; ++c2) std::swap(rows[r]->v[c2], rows[c2]->v[r]);
    }

    static vec magnitude_of(vec re, vec im, float half_inverse) {
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

    static vec zero() { return {{0.0f, 0.0f, 0.0f, 0.0f}}; }

    static lane_list candidate_lanes(vec m, float floor) {
        lane_list r;
        for (int u = 0; u < 4; ++u)
            if (!(m.v[u] < floor)) r.lane[r.count++] = u;
        return r;
    }
    static vec sub(vec a, vec b) {
        for (int u = 0; u < 4; ++u) a.v[u] -= b.v[u];
        return a;
    }
    static vec add(vec a, vec b) {
        for (int u = 0; u < 4; ++u) a.v[u] += b.v[u];
        return a;
    }
    static vec mul(vec a, float b) {
        for (int u = 0; u < 4; ++u) a.v[u] *= b;
        return a;
    }
    static vec neg(vec a) {
        for (int u = 0; u < 4; ++u) a.v[u] = -a.v[u];
        return a;
    }

    static vec max_abs(vec peak, vec a) {
        for (int u = 0; u < 4; ++u) peak.v[u] = std::max(peak.v[u], std::fabs(a.v[u]));
        return peak;
    }
    static vec normalised(vec a, vec peak) {
        for (int u = 0; u < 4; ++u) a.v[u] = peak.v[u] == 0.0f ? 0.0f : a.v[u] / peak.v[u];
        return a;
    }

    static void scale_samples(const std::int16_t* v, std::size_t step, float* out) {
        for (std::size_t n = 0; n < sample_rate; ++n) out[n] = static_cast<float>(v[n * step]) * sample_scale;
    }
};

#if defined(__SSE2__)
struct sse2_lanes {
    using vec = __m128;
    static vec load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, vec v) { _mm_storeu_ps(p, v); }

    static void transpose(vec& a, vec& b, vec& c, vec& d) { _MM_TRANSPOSE4_PS(a, b, c, d); }

    // single(single(sqrt(single(re^2 + im^2))) / half): the squares and their
    // sum in double, rounded once. A square root and a division by a power of two
    // (here the exact product with its inverse) round to the same single whether
    // formed in double or in single precision.
    static vec magnitude_of(vec re, vec im, float half_inverse) {
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

    static vec zero() { return _mm_setzero_ps(); }
    static vec sub(vec a, vec b) { return _mm_sub_ps(a, b); }
    static vec add(vec a, vec b) { return _mm_add_ps(a, b); }
    // One rounding of the exact product: for singles, the same as forming it in
    // double and rounding that.
    static vec mul(vec a, float b) { return _mm_mul_ps(a, _mm_set1_ps(b)); }
    static vec neg(vec a) { return _mm_xor_ps(a, _mm_set1_ps(-0.0f)); }

    static lane_list candidate_lanes(vec m, float floor) {
        lane_list r;
        const int bits = _mm_movemask_ps(_mm_cmpnlt_ps(m, _mm_set1_ps(floor)));
        if (bits == 0) return r;
        for (int u = 0; u < 4; ++u)
            if (bits & (1 << u)) r.lane[r.count++] = u;
        return r;
    }

    static vec max_abs(vec peak, vec a) { return _mm_max_ps(peak, _mm_andnot_ps(_mm_set1_ps(-0.0f), a)); }
    // a / peak, or 0 where the peak is 0 (a whole series of zeros).
    static vec normalised(vec a, vec peak) {
        return _mm_andnot_ps(_mm_cmpeq_ps(peak, _mm_setzero_ps()), _mm_div_ps(a, peak));
    }

    // One second of one channel as floats v * 2^-15 (exact).
    static void scale_samples(const std::int16_t* v, std::size_t step, float* out) {
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
};
#endif

// The transform's first two stages over four real points of rows 4q to
// 4q + 3 (points p, p + n/2, p + n/4, p + 3n/4 with p the reversal of q),
// stored at re and im with `step` between rows. With no imaginary part
// their arithmetic is short: the unit twiddles' products are exact, and the
// one twiddle w of the second stage multiplies a real value, one rounding
// of an exact product either way.
template <class L, class vec = typename L::vec>
inline void first_two_stages(vec x0, vec x1, vec x2, vec x3, float w_re, float w_im, float* re, float* im,
                             std::size_t step) {
    const vec s01 = L::add(x0, x1), d01 = L::sub(x0, x1);
    const vec s23 = L::add(x2, x3), d23 = L::sub(x2, x3);
    const vec tr = L::mul(d23, w_re), ti = L::mul(d23, w_im);
    L::store(re, L::add(s01, s23));
    L::store(im, L::zero());
    L::store(re + step, L::add(d01, tr));
    L::store(im + step, ti);
    L::store(re + 2 * step, L::sub(s01, s23));
    L::store(im + 2 * step, L::zero());
    L::store(re + 3 * step, L::sub(d01, tr));
    L::store(im + 3 * step, L::neg(ti));
}

}  // namespace

bool is_burst(float m) { return static_cast<std::int32_t>(static_cast<float>(burst_factor * m)) != 0; }

// The transforms read and write a real and an imaginary array at the same
// index, and the series go from the windows' arrays to the modulation ones
// likewise. Arrays whose addresses agree in their last 12 bits make the
// processor take a load for one that waits on a store to the other (4K
// aliasing), which costs the analysis several per cent, more or less with
// where the allocator puts them. So the four lie in one allocation, a
// quarter of a page apart in those bits, and the magnitudes, which are
// written beside the modulation arrays' reads, an eighth from those.
namespace {
constexpr std::size_t window_size = window_length * window_stride;  // floats, whole pages
constexpr std::size_t modulation_size = modulation_length * bins;
constexpr std::size_t magnitudes_size = modulation_bins * bins;
constexpr std::size_t page = 4096 / sizeof(float);
static_assert(window_size % page == 0 && modulation_size % page == 0 && magnitudes_size % page == 0, "whole pages");
constexpr std::size_t window_im_at = window_size + page / 2;
constexpr std::size_t modulation_re_at = window_im_at + window_size + 3 * page / 4;
constexpr std::size_t modulation_im_at = modulation_re_at + modulation_size + page / 2;
constexpr std::size_t magnitudes_at = modulation_im_at + modulation_size + 3 * page / 8;
}  // namespace

analysis::analysis()
    : window_plan_(fft_plan::of_size(window_length)),
      modulation_plan_(fft_plan::of_size(modulation_length)),
      transforms_(magnitudes_at + magnitudes_size),
      window_re_(transforms_.data()),
      window_im_(transforms_.data() + window_im_at),
      samples_(sample_rate),
      modulation_re_(transforms_.data() + modulation_re_at),
      modulation_im_(transforms_.data() + modulation_im_at),
      magnitudes_(transforms_.data() + magnitudes_at),
      candidates_(bins) {
    for (std::uint32_t p = 0; p < series_length / 4; ++p) series_rows_.push_back(modulation_plan_.reversed(p));
}

void analysis::run(const channel_view& source, std::uint32_t second) {
    if (source.channel >= source.channels ||
        (static_cast<std::size_t>(second) + 1) * sample_rate > source.frames)
        throw std::out_of_range("analysis: the second lies outside the delivered samples");
#if defined(__SSE2__)
    if (four_lane_kernels()) {
        run_with<sse2_lanes>(source, second);
        return;
    }
#endif
    run_with<plain_lanes>(source, second);
}

template <class L>
void analysis::run_with(const channel_view& source, std::uint32_t second) {
    fill_windows<L>(source, second);
    // The filling did the first two stages. Only bins 0 to 511 are read, so
    // the last stage leaves the upper half. Kernels eight lanes wide take the
    // four spare lanes too (zeros, which stay zeros) rather than leave a
    // group of four to plain code.
    const std::size_t lanes = fft_lane_width() == 8 ? window_stride : transformed_windows;
    butterflies_lanes(window_plan_, window_re_, window_im_, window_stride, lanes, true, 4);
    frame_magnitudes<L>();
    butterflies_lanes(modulation_plan_, modulation_re_, modulation_im_, bins, bins, true, 4);
    modulation_magnitudes<L>();
}

// Window j holds frame j of the second, then the frame's first 289 samples
// again, with no imaginary part. Filling does the transform's first steps
// too: the bit-reversed order and the first two stages, whose butterflies
// meet rows 4q to 4q + 3, the points p, p + 512, p + 256 and p + 768 with p
// the 8-bit reversal of q. With no imaginary part their arithmetic is short:
// the unit twiddles' products are exact, and the one twiddle w of the second
// stage multiplies a real value, one rounding of an exact product either
// way. The values are the plain stages' (zeros may differ in sign, which no
// later sum, product or magnitude can tell).
template <class L>
void analysis::fill_windows(const channel_view& source, std::uint32_t second) {
    using vec = typename L::vec;
    const std::size_t step = source.channels;
    const std::int16_t* v = source.values + source.channel + static_cast<std::size_t>(second) * sample_rate * step;
    L::scale_samples(v, step, samples_.data());

    constexpr std::size_t quarter = window_length / 4;
    // The rows' points p + offset[t], t = 0 to 3.
    constexpr std::size_t offset[4] = {0, 2 * quarter, quarter, 3 * quarter};
    const float w_re = window_plan_.twiddle_re(3);
    const float w_im = window_plan_.twiddle_im(3);
    // Points k to k + 3 of window j.
    auto points = [&](std::size_t j, std::size_t k) {
        const std::size_t at = k % frame_length;
        const float* frame = &samples_[j * frame_length];
        if (at + 4 <= frame_length) return L::load(frame + at);
        float wrapped[4];
        for (std::size_t u = 0; u < 4; ++u) wrapped[u] = frame[(k + u) % frame_length];
        return L::load(wrapped);
    };
    for (std::size_t p = 0; p < quarter; p += 4) {
        for (std::size_t j = 0; j < transformed_windows; j += 4) {
            vec x[4][4];  // x[t][u]: point p + u + offset[t] of windows j to j + 3
            for (std::size_t t = 0; t < 4; ++t) {
                for (std::size_t w = 0; w < 4; ++w) x[t][w] = points(j + w, p + offset[t]);
                L::transpose(x[t][0], x[t][1], x[t][2], x[t][3]);
            }
            for (std::size_t u = 0; u < 4; ++u) {
                const std::size_t row = 4 * (window_plan_.reversed(static_cast<std::uint32_t>(p + u)) >> 2);
                first_two_stages<L>(x[0][u], x[1][u], x[2][u], x[3][u], w_re, w_im, &window_re_[row * window_stride + j],
                                 &window_im_[row * window_stride + j], window_stride);
            }
        }
    }
}

// Four bins at a time: their 64 magnitudes, the sum, mean, peak and the
// normalised series, each bin with its own order of operations. The series
// go into the modulation rows with the transform's first two stages done,
// as the windows' filling does it (the series are real too).
template <class L>
void analysis::frame_magnitudes() {
    using vec = typename L::vec;
#if VELMORA_AVX_FMA_STAGES
    // Where the transforms run wider, so do the series (the same bits).
    const kernel_set k = kernels_in_use();
    if (k == kernel_set::avx_fma || k == kernel_set::avx512) {
        analysis_avx::frame_magnitudes({window_re_, window_im_, window_stride, transformed_windows, bins,
                                        series_rows_.data(), modulation_plan_.twiddle_re(3),
                                        modulation_plan_.twiddle_im(3), window_half_inverse, mean_factor,
                                        modulation_re_, modulation_im_});
        return;
    }
#endif
    const float* window_re = window_re_;
    const float* window_im = window_im_;
    constexpr std::size_t quarter = series_length / 4;
    constexpr std::size_t offset[4] = {0, 2 * quarter, quarter, 3 * quarter};
    const float w_re = modulation_plan_.twiddle_re(3);
    const float w_im = modulation_plan_.twiddle_im(3);

    for (std::size_t bin = 0; bin < bins; bin += 4) {
        vec a[series_length];  // a[j] of the four bins
        // The sum runs in double, in order of j. Summed in single precision,
        // a steady tone leaves rounding residue that normalises to bursts.
        typename L::double_sums sum;
        for (std::size_t j = 0; j < transformed_windows; j += 4) {
            for (std::size_t u = 0; u < 4; ++u) {
                const std::size_t at = (bin + u) * window_stride + j;
                a[j + u] = L::magnitude_of(L::load(window_re + at), L::load(window_im + at), window_half_inverse);
            }
            L::transpose(a[j], a[j + 1], a[j + 2], a[j + 3]);
            for (std::size_t u = 0; u < 4; ++u) sum.add(a[j + u]);
        }
        // Windows 60 to 63 repeat frames 0 to 3.
        for (std::size_t j = transformed_windows; j < series_length; ++j) {
            a[j] = a[j - transformed_windows];
            sum.add(a[j]);
        }

        const vec mean = sum.mean();
        vec peak = L::zero();
        for (std::size_t j = 0; j < transformed_windows; ++j) {
            a[j] = L::sub(a[j], mean);
            peak = L::max_abs(peak, a[j]);
        }
        for (std::size_t j = 0; j < transformed_windows; ++j) a[j] = L::normalised(a[j], peak);
        for (std::size_t j = transformed_windows; j < series_length; ++j) a[j] = a[j - transformed_windows];

        for (std::size_t p = 0; p < quarter; ++p) {
            const std::size_t row = modulation_plan_.reversed(static_cast<std::uint32_t>(p));
            first_two_stages<L>(a[p + offset[0]], a[p + offset[1]], a[p + offset[2]], a[p + offset[3]], w_re, w_im,
                             &modulation_re_[row * bins + bin], &modulation_im_[row * bins + bin], bins);
        }
    }
}

// Below this no magnitude makes a burst: single(3.5 m) reaches 1 only from
// m = (1 - 2^-25) / 3.5 = 0.2857142... up.
constexpr float below_every_burst = 0.28f;

template <class L>
void analysis::modulation_magnitudes() {
    std::fill(candidates_.begin(), candidates_.end(), 0u);
    for (std::size_t l = 0; l < static_cast<std::size_t>(modulation_bins); ++l) {
        const std::uint32_t bit = std::uint32_t{1} << l;
        for (std::size_t bin = 0; bin < bins; bin += 4) {
            const typename L::vec m = L::magnitude_of(L::load(&modulation_re_[l * bins + bin]),
                                                      L::load(&modulation_im_[l * bins + bin]), modulation_half_inverse);
            L::store(&magnitudes_[l * bins + bin], m);
            for (int u : L::candidate_lanes(m, below_every_burst)) candidates_[bin + static_cast<std::size_t>(u)] |= bit;
        }
    }
}

}  // namespace converter
