#include "converter/onsets.hpp"

// The peak picker and the beat tracker are among aubio's "unstable" API.
#define AUBIO_UNSTABLE 1
#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <new>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "converter/fft.hpp"
#include "converter/kernels.hpp"

namespace converter {

namespace {

// With Z the transform of a + ib and W its mirror (conj Z[N - k]), the
// magnitudes of a's and b's spectra, lane by lane. The four-lane one gives
// the same bits (single precision throughout, sqrt correctly rounded).
void split_magnitudes(const float* zr, const float* zi, const float* wr, const float* wi, float* ma, float* mb,
                      std::size_t lanes) {
    for (std::size_t c = 0; c < lanes; ++c) {
        const float ar = zr[c] + wr[c], ai = zi[c] - wi[c], br = zi[c] + wi[c], bi = zr[c] - wr[c];
        ma[c] = 0.5f * std::sqrt(ar * ar + ai * ai);
        mb[c] = 0.5f * std::sqrt(br * br + bi * bi);
    }
}

#if defined(__SSE2__)
void split_magnitudes_sse2(const float* zr, const float* zi, const float* wr, const float* wi, float* ma, float* mb,
                           std::size_t lanes) {
    const __m128 half = _mm_set1_ps(0.5f);
    for (std::size_t c = 0; c < lanes; c += 4) {
        const __m128 r = _mm_loadu_ps(zr + c), i = _mm_loadu_ps(zi + c);
        const __m128 mr = _mm_loadu_ps(wr + c), mi = _mm_loadu_ps(wi + c);
        const __m128 ar = _mm_add_ps(r, mr), ai = _mm_sub_ps(i, mi);
        const __m128 br = _mm_add_ps(i, mi), bi = _mm_sub_ps(r, mr);
        _mm_storeu_ps(ma + c, _mm_mul_ps(half, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(ar, ar), _mm_mul_ps(ai, ai)))));
        _mm_storeu_ps(mb + c, _mm_mul_ps(half, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(br, br), _mm_mul_ps(bi, bi)))));
    }
}
#endif

constexpr std::size_t bins = onset_finder::window / 2 + 1;
constexpr double rate = static_cast<double>(onset_finder::rate);
// The detection function peaks some hops after the sound starts (its window
// and the peak picker's look-ahead): an onset is dated that much earlier.
// Three hops puts the onsets of sharp clicks within a millisecond of them.
constexpr std::int64_t onset_delay = 3 * static_cast<std::int64_t>(onset_finder::hop);
constexpr std::int64_t least_onset_gap = static_cast<std::int64_t>(0.05 * rate);
// A hop whose mean square lies below -70 dBFS has no onset and no beat.
constexpr double silence_power = 1e-7;
// The beat tracker reads about 6 s of the detection function and foretells
// the beats of the next quarter of it.
constexpr std::size_t tempo_hop = 4 * onset_finder::hop;  // 23 ms
constexpr std::size_t tempo_window = 256;  // tempo hops: the power of two nearest 5.8 s
constexpr std::size_t tempo_step = tempo_window / 4;

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
          hfc(made(new_aubio_specdesc("hfc", window))),
          onset_picker(made(new_aubio_peakpicker())),
          tracker(made(new_aubio_beattracking(tempo_window, tempo_hop, static_cast<uint_t>(rate)))) {
        aubio_peakpicker_set_threshold(onset_picker, 0.3f);
    }
    ~aubio_state() {
        del_aubio_specdesc(hfc);
        del_aubio_peakpicker(onset_picker);
        del_aubio_beattracking(tracker);
    }

    std::vector<float> no_phases = std::vector<float>(bins, 0.0f);
    fvec_ptr desc, found, dfframe, beats_out;
    aubio_specdesc_t* hfc;
    aubio_peakpicker_t* onset_picker;
    aubio_beattracking_t* tracker;
    std::vector<float> window_values;
    // The frame's places in the transform's bit-reversed order.
    std::vector<std::uint32_t> reversed_index;

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
    std::vector<float>& w = aubio_->window_values;
    w.assign(window, 0.0f);
    for (std::size_t k = 0; k < window / 2; ++k) w[k] = 0.5f * (1.0f - plan.twiddle_re(window / 2 + k));
    w[window / 2] = 1.0f;
    for (std::size_t k = window / 2 + 1; k < window; ++k) w[k] = w[window - k];
    for (std::size_t j = 0; j < window; ++j) {
        // The reversal is its own inverse.
        aubio_->reversed_index.push_back(plan.reversed(static_cast<std::uint32_t>(j)));
    }
}

onset_finder::~onset_finder() = default;

void onset_finder::add(const float* mono, std::size_t n) {
    // Every hop this piece completes gives a frame: the last `window`
    // values up to its end. Two real frames share a complex transform (one
    // as its real part, one as its imaginary part), sixteen transforms at
    // once, one lane each, so that the rows stay in the cache; then the
    // frames are read in order.
    signal_.insert(signal_.end(), mono, mono + n);
    const std::size_t count = (signal_.size() - (window - hop)) / hop;
    if (count == 0) return;
    frame_spectra(count);
    signal_.erase(signal_.begin(), signal_.begin() + static_cast<std::ptrdiff_t>(count * hop));
    for (std::size_t c = 0; c < count; ++c) read_frame(c);
}

void onset_finder::frame_spectra(std::size_t count) {
    constexpr std::size_t lanes = 16;
    const fft_plan& plan = fft_plan::of_size(static_cast<std::int32_t>(window));
    spectra_.resize(count * bins);
    powers_.resize(count);
    re_.resize(window * lanes);
    im_.resize(window * lanes);
    mags_.resize(2 * bins * lanes);
    const float* w = aubio_->window_values.data();
    const std::vector<std::uint32_t>& from = aubio_->reversed_index;
    float scratch[window];
    for (std::size_t first = 0; first < count; first += 2 * lanes) {
        const std::size_t frames = std::min(2 * lanes, count - first);
        std::fill(im_.begin(), im_.end(), 0.0f);
        for (std::size_t f = 0; f < frames; ++f) {
            const float* frame = signal_.data() + (first + f) * hop;
            float* part = (f % 2 == 0 ? re_.data() : im_.data()) + f / 2;
            // Windowed in order (products alone: any width gives the same),
            // then stored in bit-reversed order, as the butterflies take them.
            for (std::size_t k = 0; k < window; ++k) scratch[k] = frame[k] * w[k];
            for (std::size_t j = 0; j < window; ++j) part[j * lanes] = scratch[from[j]];
            double power[4] = {0.0, 0.0, 0.0, 0.0};
            for (std::size_t k = window - hop; k < window; k += 4)
                for (std::size_t i = 0; i < 4; ++i) power[i] += static_cast<double>(frame[k + i]) * frame[k + i];
            powers_[first + f] = (power[0] + power[1] + power[2] + power[3]) / hop;
        }
        butterflies_lanes(plan, re_.data(), im_.data(), lanes, (frames + 1) / 2, false);
        // With Z the transform of a + ib, a's is (Z[k] + conj Z[N - k]) / 2
        // and b's (Z[k] - conj Z[N - k]) / 2i: their magnitudes, lane by lane
        // (sqrt is exact, so any width gives the same), then each frame's
        // row together.
        for (std::size_t k = 0; k < bins; ++k) {
            const std::size_t mirror = (window - k) % window;
            const float* zr = &re_[k * lanes];
            const float* zi = &im_[k * lanes];
            const float* wr = &re_[mirror * lanes];
            const float* wi = &im_[mirror * lanes];
            float* ma = &mags_[(2 * k) * lanes];
            float* mb = &mags_[(2 * k + 1) * lanes];
            static_assert(lanes % 4 == 0, "whole groups of four");
#if defined(__SSE2__)
            if (four_lane_kernels()) {
                split_magnitudes_sse2(zr, zi, wr, wi, ma, mb, lanes);
                continue;
            }
#endif
            split_magnitudes(zr, zi, wr, wi, ma, mb, lanes);
        }
        for (std::size_t f = 0; f < frames; ++f) {
            float* row = &spectra_[(first + f) * bins];
            const float* m = &mags_[(f % 2) * lanes + f / 2];
            for (std::size_t k = 0; k < bins; ++k) row[k] = m[2 * k * lanes];
        }
    }
}

void onset_finder::read_frame(std::size_t c) {
    aubio_state& a = *aubio_;
    // hfc reads the magnitudes alone: the frame's own row,
    // lent to aubio's spectrum without a copy.
    cvec_t spectrum{static_cast<uint_t>(bins), spectra_.data() + c * bins, a.no_phases.data()};
    // Silent when this hop and the ones the detection function's peak
    // may lie in are: a short click is over before its peak is seen.
    a.loudest.erase(a.loudest.begin());
    a.loudest.push_back(powers_[c]);
    const bool silent = *std::max_element(a.loudest.begin(), a.loudest.end()) < silence_power;

    // Onsets: the peaks the picker finds in the high-frequency content.
    aubio_specdesc_do(a.hfc, &spectrum, a.desc.get());
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
            beats_.push_back(before + static_cast<std::int64_t>(std::lround((pos - std::floor(pos)) * tempo_hop)));
        }
    }
    a.total += static_cast<std::int64_t>(hop);
}

}  // namespace converter
