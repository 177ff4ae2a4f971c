#include "converter/onsets.hpp"

// The peak picker and the beat tracker are among aubio's "unstable" API.
#define AUBIO_UNSTABLE 1
#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "converter/fft.hpp"
#include "converter/kernels.hpp"
#include "converter/onset_fft.hpp"
#if VELMORA_AVX_FMA_STAGES
#include "converter/onsets_avx.hpp"
#endif

namespace converter {

namespace {

// log(1 + x) as onset_fft.hpp has it: float operations in a fixed order,
// so that the four- and eight-lane versions give the same bits on any
// machine (the C library's log need not).
float log_one_plus(float x) {
    using onset_fft::log_q;
    const float y = 1.0f + x;
    std::uint32_t bits;
    std::memcpy(&bits, &y, sizeof bits);
    const std::int32_t e = static_cast<std::int32_t>(bits >> 23) - 127;
    bits = (bits & 0x7fffffu) | 0x3f800000u;
    float m;
    std::memcpy(&m, &bits, sizeof m);
    const float u = m - 1.0f;
    const float q = log_q[0] + u * (log_q[1] + u * (log_q[2] + u * (log_q[3] + u * log_q[4])));
    return static_cast<float>(e) * onset_fft::ln2 + u * q;
}

// With Z the transform of a + ib and W its mirror (conj Z[N - k]), a's and
// b's magnitudes at bin k, lane by lane, each added as log(1 + magnitude)
// times k + 1 to its frame's sum (the high-frequency content of the
// log-compressed spectrum). The four-lane one gives the same bits (single
// precision throughout, sqrt and the quotient correctly rounded, the same
// order of operations).
void add_split_content(const float* zr, const float* zi, const float* wr, const float* wi, float weight, float* sa,
                       float* sb, std::size_t lanes) {
    for (std::size_t c = 0; c < lanes; ++c) {
        const float ar = zr[c] + wr[c], ai = zi[c] - wi[c], br = zi[c] + wi[c], bi = zr[c] - wr[c];
        sa[c] = sa[c] + weight * log_one_plus(0.5f * std::sqrt(ar * ar + ai * ai));
        sb[c] = sb[c] + weight * log_one_plus(0.5f * std::sqrt(br * br + bi * bi));
    }
}

#if defined(__SSE2__)
[[gnu::always_inline]] inline __m128 log_one_plus_sse2(__m128 x) {
    using onset_fft::log_q;
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128i bits = _mm_castps_si128(_mm_add_ps(one, x));
    const __m128i e = _mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(127));
    const __m128 m = _mm_castsi128_ps(
        _mm_or_si128(_mm_and_si128(bits, _mm_set1_epi32(0x7fffff)), _mm_set1_epi32(0x3f800000)));
    const __m128 u = _mm_sub_ps(m, one);
    __m128 q = _mm_add_ps(_mm_set1_ps(log_q[3]), _mm_mul_ps(u, _mm_set1_ps(log_q[4])));
    q = _mm_add_ps(_mm_set1_ps(log_q[2]), _mm_mul_ps(u, q));
    q = _mm_add_ps(_mm_set1_ps(log_q[1]), _mm_mul_ps(u, q));
    q = _mm_add_ps(_mm_set1_ps(log_q[0]), _mm_mul_ps(u, q));
    return _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(e), _mm_set1_ps(onset_fft::ln2)), _mm_mul_ps(u, q));
}

void add_split_content_sse2(const float* zr, const float* zi, const float* wr, const float* wi, float weight,
                            float* sa, float* sb, std::size_t lanes) {
    const __m128 half = _mm_set1_ps(0.5f), w = _mm_set1_ps(weight);
    for (std::size_t c = 0; c < lanes; c += 4) {
        const __m128 r = _mm_loadu_ps(zr + c), i = _mm_loadu_ps(zi + c);
        const __m128 mr = _mm_loadu_ps(wr + c), mi = _mm_loadu_ps(wi + c);
        const __m128 ar = _mm_add_ps(r, mr), ai = _mm_sub_ps(i, mi);
        const __m128 br = _mm_add_ps(i, mi), bi = _mm_sub_ps(r, mr);
        const __m128 ma = _mm_mul_ps(half, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(ar, ar), _mm_mul_ps(ai, ai))));
        const __m128 mb = _mm_mul_ps(half, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(br, br), _mm_mul_ps(bi, bi))));
        _mm_storeu_ps(sa + c, _mm_add_ps(_mm_loadu_ps(sa + c), _mm_mul_ps(w, log_one_plus_sse2(ma))));
        _mm_storeu_ps(sb + c, _mm_add_ps(_mm_loadu_ps(sb + c), _mm_mul_ps(w, log_one_plus_sse2(mb))));
    }
}
#endif

#if defined(__SSE2__)
struct four {
    static constexpr std::size_t width = 4;
    __m128 v;
    static four load(const float* p) { return {_mm_loadu_ps(p)}; }
    static void store(float* p, four x) { _mm_storeu_ps(p, x.v); }
    static four set1(float x) { return {_mm_set1_ps(x)}; }
    static four add(four a, four b) { return {_mm_add_ps(a.v, b.v)}; }
    static four sub(four a, four b) { return {_mm_sub_ps(a.v, b.v)}; }
    static four mul(four a, four b) { return {_mm_mul_ps(a.v, b.v)}; }
};
#endif

// The sum of a hop's squares, in four running sums (values k, k + 4, ...),
// added at the end; the two-lane version gives the same bits.
double hop_power(const float* v, bool wide) {
    constexpr std::size_t n = onset_finder::hop;
#if VELMORA_AVX_FMA_STAGES
    if (wide) return onsets_avx::sum_of_squares(v, n);
#else
    (void)wide;
#endif
#if defined(__SSE2__)
    if (four_lane_kernels()) {
        __m128d low = _mm_setzero_pd(), high = _mm_setzero_pd();
        for (std::size_t k = 0; k < n; k += 4) {
            const __m128 x = _mm_loadu_ps(v + k);
            const __m128d a = _mm_cvtps_pd(x), b = _mm_cvtps_pd(_mm_movehl_ps(x, x));
            low = _mm_add_pd(low, _mm_mul_pd(a, a));
            high = _mm_add_pd(high, _mm_mul_pd(b, b));
        }
        double p[4];
        _mm_storeu_pd(p, low);
        _mm_storeu_pd(p + 2, high);
        return p[0] + p[1] + p[2] + p[3];
    }
#endif
    double power[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; k += 4)
        for (std::size_t i = 0; i < 4; ++i) power[i] += static_cast<double>(v[k + i]) * v[k + i];
    return power[0] + power[1] + power[2] + power[3];
}

constexpr std::size_t bins = onset_finder::window / 2 + 1;
constexpr std::size_t lanes = 32;  // transforms at once, two frames each

// A block's frames (frame f from `start + f * hop`, up to 2 * lanes of
// them) windowed into the lanes, the even ones in `re` and the odd ones in
// `im`, point n of lane c stored at [places[n] + c]. Eight or four lanes
// whose frames are all there at once, with AVX or SSE2: point n of those
// frames read across them (a transpose) and stored together. A lane with
// a real part and no imaginary one gets zeros there.
void fill_lanes(const float* start, std::size_t frames, const float* window, const std::uint32_t* places, bool wide,
                float* re, float* im) {
    constexpr std::size_t size = onset_finder::window, hop = onset_finder::hop;
    for (std::size_t parity = 0; parity < 2; ++parity) {
        float* to = parity == 0 ? re : im;
        std::size_t c = 0;
#if VELMORA_AVX_FMA_STAGES
        for (; wide && 2 * (c + 7) + parity < frames; c += 8)
            onsets_avx::fill_eight_lanes(start + (2 * c + parity) * hop, 2 * hop, window, size, places, to + c);
#else
        (void)wide;
#endif
#if defined(__SSE2__)
        for (; four_lane_kernels() && 2 * (c + 3) + parity < frames; c += 4) {
            const float* r0 = start + (2 * c + parity) * hop;
            const float* r1 = r0 + 2 * hop;
            const float* r2 = r1 + 2 * hop;
            const float* r3 = r2 + 2 * hop;
            for (std::size_t n = 0; n < size; n += 4) {
                __m128 a = _mm_loadu_ps(r0 + n), b = _mm_loadu_ps(r1 + n);
                __m128 x = _mm_loadu_ps(r2 + n), y = _mm_loadu_ps(r3 + n);
                _MM_TRANSPOSE4_PS(a, b, x, y);
                _mm_storeu_ps(to + places[n] + c, _mm_mul_ps(a, _mm_set1_ps(window[n])));
                _mm_storeu_ps(to + places[n + 1] + c, _mm_mul_ps(b, _mm_set1_ps(window[n + 1])));
                _mm_storeu_ps(to + places[n + 2] + c, _mm_mul_ps(x, _mm_set1_ps(window[n + 2])));
                _mm_storeu_ps(to + places[n + 3] + c, _mm_mul_ps(y, _mm_set1_ps(window[n + 3])));
            }
        }
#endif
        for (; c < lanes; ++c) {
            const std::size_t f = 2 * c + parity;
            if (f < frames) {
                const float* frame = start + f * hop;
                for (std::size_t n = 0; n < size; ++n) to[places[n] + c] = frame[n] * window[n];
            } else if (f == frames && parity == 1) {
                for (std::size_t n = 0; n < size; ++n) to[n * lanes + c] = 0.0f;
            }
        }
    }
}

// With `re` and `im` holding `lanes` transforms of two real frames each
// (a + ib; point k of lane c at [k * lanes + c]): their log-compressed
// magnitudes weighted by bin + 1, summed into `sa` and `sb`, lane by lane.
// With Z the transform of a + ib, a's is (Z[k] + conj Z[N - k]) / 2 and
// b's (Z[k] - conj Z[N - k]) / 2i.
void split_contents(const float* re, const float* im, float* sa, float* sb) {
    constexpr std::size_t window = onset_finder::window;
    for (std::size_t k = 0; k < bins; ++k) {
        const std::size_t mirror = (window - k) % window;
        const float* zr = re + k * lanes;
        const float* zi = im + k * lanes;
        const float* wr = re + mirror * lanes;
        const float* wi = im + mirror * lanes;
        const float weight = static_cast<float>(k + 1);
#if defined(__SSE2__)
        if (four_lane_kernels()) {
            add_split_content_sse2(zr, zi, wr, wi, weight, sa, sb, lanes);
            continue;
        }
#endif
        add_split_content(zr, zi, wr, wi, weight, sa, sb, lanes);
    }
}

constexpr double rate = static_cast<double>(onset_finder::rate);
// The detection function peaks some hops after the sound starts (its window
// and the peak picker's look-ahead): an onset is dated that much earlier.
// Four hops centres the onsets of real music on those Debian's aubioonset
// finds (ours fall on game ticks, 16.7 ms apart, theirs anywhere).
constexpr std::int64_t onset_delay = 4 * static_cast<std::int64_t>(onset_finder::hop);
constexpr std::int64_t least_onset_gap = static_cast<std::int64_t>(0.05 * rate);
// A hop whose mean square lies below -70 dBFS has no onset and no beat.
constexpr double silence_power = 1e-7;
// The beat tracker reads about 6 s of the detection function and foretells
// the beats of the next quarter of it.
constexpr std::size_t tempo_hop = 4 * onset_finder::hop;  // 23 ms
constexpr std::size_t tempo_window = 256;  // tempo hops: the power of two nearest 5.8 s
constexpr std::size_t tempo_step = tempo_window / 4;
// The tracker's beats fall a steady 31 to 51 ms (the median of a piece
// with a beat; 38 over thirteen pieces and a click track) before the
// onsets they stand for: its phase counts in tempo hops, four times ours.
// They are dated that much later, or a beat no onset marks comes early.
constexpr std::int64_t beat_delay = 13 * static_cast<std::int64_t>(onset_finder::hop) / 2;

struct fvec_deleter {
    void operator()(fvec_t* v) const { del_fvec(v); }
};
using fvec_ptr = std::unique_ptr<fvec_t, fvec_deleter>;

template <class T>
T* made(T* p) {
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

// aubio's objects: of these only arithmetic is used, none of its transforms.
struct onset_finder::aubio_state {
    aubio_state()
        : desc(made(new_fvec(1))),
          found(made(new_fvec(1))),
          dfframe(made(new_fvec(tempo_window))),
          beats_out(made(new_fvec(tempo_step))),
          onset_picker(made(new_aubio_peakpicker())),
          tracker(made(new_aubio_beattracking(tempo_window, tempo_hop, static_cast<uint_t>(rate)))) {
        // aubio's own threshold for this detection function. With the
        // frames aubioonset reads, every onset of ours on seventeen pieces
        // lies within 12.5 ms of one of its own, and 0.97 to 1 of its
        // onsets within 25 ms of one of ours.
        aubio_peakpicker_set_threshold(onset_picker, 0.058f);
    }
    ~aubio_state() {
        del_aubio_peakpicker(onset_picker);
        del_aubio_beattracking(tracker);
    }

    fvec_ptr desc, found, dfframe, beats_out;
    aubio_peakpicker_t* onset_picker;
    aubio_beattracking_t* tracker;
    std::vector<float> window_values;
    // Where each point of a frame goes in the lanes.
    std::vector<std::uint32_t> places;

    std::int64_t total = 0;  // samples before the current hop's
    std::int64_t last_onset = -1;
    bool any_onset = false;
    float tempo_most = 0.0f;  // the thresholded detection function's most in this tempo hop
    std::size_t tempo_phase = 0;  // 0 where this hop ends one of the tracker's
    std::int64_t block = 0;  // the tempo hop's place in the tracker's step
    float recent[3] = {0, 0, 0};  // the onset function of the last hops
    std::vector<double> loudest = std::vector<double>(8, 0.0);  // the mean squares of the last hops
};

onset_finder::onset_finder() : aubio_(new aubio_state), signal_(window - hop, 0.0f) {
    // The Hann window from the transform's own twiddles (cos 2 pi k / N for
    // k below N / 2), so that it is the same everywhere.
    const fft_plan& plan = fft_plan::of_size(static_cast<std::int32_t>(window));
    std::vector<float> w(window, 0.0f);
    for (std::size_t k = 0; k < window / 2; ++k) w[k] = 0.5f * (1.0f - plan.twiddle_re(window / 2 + k));
    w[window / 2] = 1.0f;
    for (std::size_t k = window / 2 + 1; k < window; ++k) w[k] = w[window - k];
    aubio_->window_values = w;
    // Where each point goes: its row in bit-reversed order (the reversal is
    // its own inverse).
    for (std::size_t j = 0; j < window; ++j)
        aubio_->places.push_back(plan.reversed(static_cast<std::uint32_t>(j)) * static_cast<std::uint32_t>(lanes));
}

onset_finder::~onset_finder() = default;

void onset_finder::add(const float* mono, std::size_t n) {
    std::copy(mono, mono + n, room(n));
    added();
}

float* onset_finder::room(std::size_t n) {
    // The buffer only grows: values written are never filled twice.
    if (signal_.size() < filled_ + n) signal_.resize(filled_ + n);
    coming_ = n;
    return signal_.data() + filled_;
}

void onset_finder::added() {
    // Every hop the new values complete gives a frame: the last `window`
    // values up to its end. Two real frames share a complex transform (one
    // as its real part, one as its imaginary part), thirty-two transforms at
    // once, one lane each, so that the rows stay in the cache; then the
    // frames are read in order.
    filled_ += coming_;
    coming_ = 0;
    const std::size_t count = (filled_ - (window - hop)) / hop;
    if (count == 0) return;
    frame_spectra(count);
    // What the next frames still need to the front.
    std::copy(signal_.begin() + static_cast<std::ptrdiff_t>(count * hop),
              signal_.begin() + static_cast<std::ptrdiff_t>(filled_), signal_.begin());
    filled_ -= count * hop;
    for (std::size_t c = 0; c < count; ++c) read_frame(c);
}

void onset_finder::frame_spectra(std::size_t count) {
    const fft_plan& plan = fft_plan::of_size(static_cast<std::int32_t>(window));
    contents_.resize(count);
    powers_.resize(count);
    re_.resize(window * lanes);
    im_.resize(window * lanes);
    sums_.resize(2 * lanes);
#if VELMORA_AVX_FMA_STAGES
    const kernel_set set = kernels_in_use();
    const bool wide = (set == kernel_set::avx_fma || set == kernel_set::avx512) && onsets_avx::supported();
#else
    const bool wide = false;
#endif
    for (std::size_t first = 0; first < count; first += 2 * lanes) {
        const std::size_t frames = std::min(2 * lanes, count - first);
        const float* start = signal_.data() + first * hop;
        for (std::size_t f = 0; f < frames; ++f) powers_[first + f] = hop_power(start + f * hop + (window - hop), wide) / hop;
        // Windowed and stored in bit-reversed order, as the butterflies take
        // them (each product as the window's, in any order).
        fill_lanes(start, frames, aubio_->window_values.data(), aubio_->places.data(), wide, re_.data(), im_.data());
        // The lanes in use, in whole groups of eight; those past the frames
        // are cleared, or a piece's every partial block would transform
        // their values again until they overflow.
        const std::size_t used = ((frames + 1) / 2 + 7) / 8 * 8;
        for (std::size_t c = (frames + 1) / 2; c < used; ++c)
            for (std::size_t n = 0; n < window; ++n) re_[n * lanes + c] = im_[n * lanes + c] = 0.0f;
        const float* twr = plan.twiddles_re();
        const float* twi = plan.twiddles_im();
#if VELMORA_AVX_FMA_STAGES
        if (wide)
            onsets_avx::transform(re_.data(), im_.data(), lanes, used, twr, twi, window);
        else
#endif
#if defined(__SSE2__)
        if (four_lane_kernels())
            onset_fft::transform<four>(re_.data(), im_.data(), lanes, used, twr, twi, window);
        else
#endif
            onset_fft::transform<onset_fft::scalar>(re_.data(), im_.data(), lanes, used, twr, twi, window);
        static_assert(lanes % 8 == 0, "whole groups of four and of eight");
        std::fill(sums_.begin(), sums_.end(), 0.0f);
        float* sa = sums_.data();
        float* sb = sums_.data() + lanes;
#if VELMORA_AVX_FMA_STAGES
        if (wide)
            onsets_avx::split_contents(re_.data(), im_.data(), lanes, window, sa, sb);
        else
#endif
            split_contents(re_.data(), im_.data(), sa, sb);
        for (std::size_t f = 0; f < frames; ++f) contents_[first + f] = (f % 2 == 0 ? sa : sb)[f / 2];
    }
}

void onset_finder::read_frame(std::size_t c) {
    aubio_state& a = *aubio_;
    // Silent when this hop and the ones the detection function's peak
    // may lie in are: a short click is over before its peak is seen.
    a.loudest.erase(a.loudest.begin());
    a.loudest.push_back(powers_[c]);
    const bool silent = *std::max_element(a.loudest.begin(), a.loudest.end()) < silence_power;

    // Onsets: the peaks the picker finds in the high-frequency content.
    a.desc->data[0] = contents_[c];
    a.recent[0] = a.recent[1];
    a.recent[1] = a.recent[2];
    a.recent[2] = a.desc->data[0];
    aubio_peakpicker_do(a.onset_picker, a.desc.get(), a.found.get());
    const float peak = a.found->data[0];
    if (peak > 0.0f && !silent) {
        const std::int64_t at =
            a.total + static_cast<std::int64_t>(std::lround(static_cast<double>(peak) * hop)) - onset_delay;
        if (!a.any_onset || at > a.last_onset + least_onset_gap) {
            a.last_onset = at;
            a.any_onset = true;
            onsets_.push_back({std::max<std::int64_t>(at, 0), std::max({a.recent[0], a.recent[1], a.recent[2]})});
        }
    } else if (!a.any_onset && !silent && a.total < onset_delay) {
        // Sound from the very start is an onset there.
        a.last_onset = 0;
        a.any_onset = true;
        onsets_.push_back({0, a.desc->data[0]});
    }

    // Beats: the tracker reads the onset picker's thresholded detection
    // function, the most of every fourth hop (the beat needs no finer
    // steps, and the tracker's work grows with the square of its
    // window), and foretells the next step's beats, each in a hop of it.
    a.tempo_most = std::max(a.tempo_most, aubio_peakpicker_get_thresholded_input(a.onset_picker)->data[0]);
    a.tempo_phase = (a.tempo_phase + 1) % (tempo_hop / hop);
    if (a.tempo_phase == 0) {
        // The tempo hop's first sample.
        const std::int64_t before = a.total + static_cast<std::int64_t>(hop) - static_cast<std::int64_t>(tempo_hop);
        if (a.block == static_cast<std::int64_t>(tempo_step) - 1) {
            aubio_beattracking_do(a.tracker, a.dfframe.get(), a.beats_out.get());
            float* d = a.dfframe->data;
            std::copy(d + tempo_step, d + tempo_window, d);
            std::fill(d + tempo_window - tempo_step, d + tempo_window, 0.0f);
            a.block = -1;
        }
        ++a.block;
        a.dfframe->data[tempo_window - tempo_step + static_cast<std::size_t>(a.block)] = a.tempo_most;
        a.tempo_most = 0.0f;
        const float listed = a.beats_out->data[0];
        for (std::size_t i = 1; static_cast<float>(i) < listed && i < tempo_step; ++i) {
            const float pos = a.beats_out->data[i];
            if (static_cast<std::int64_t>(std::floor(pos)) != a.block || silent) continue;
            beats_.push_back(before + beat_delay +
                             static_cast<std::int64_t>(std::lround((pos - std::floor(pos)) * tempo_hop)));
        }
    }
    a.total += static_cast<std::int64_t>(hop);
}

#if VELMORA_AVX_FMA_STAGES
bool onsets_avx::supported() { return __builtin_cpu_supports("avx2"); }
#endif

}  // namespace converter
