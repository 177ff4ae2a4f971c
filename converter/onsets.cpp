#include "converter/onsets.hpp"

// The peak picker and the beat tracker are among aubio's "unstable" API.
#define AUBIO_UNSTABLE 1
#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <new>

#include "converter/fft.hpp"

namespace converter {

namespace {

constexpr std::size_t bins = onset_finder::window / 2 + 1;
constexpr double rate = 44100.0;
// The detection function peaks some hops after the sound starts (its window
// and the peak picker's look-ahead): an onset is dated that much earlier.
constexpr std::int64_t onset_delay = static_cast<std::int64_t>(4.3 * onset_finder::hop);
constexpr std::int64_t least_onset_gap = static_cast<std::int64_t>(0.05 * rate);
// A hop whose mean square lies below -70 dBFS has no onset and no beat.
constexpr double silence_power = 1e-7;
// The beat tracker reads about 6 s of the detection function and foretells
// the beats of the next quarter of it.
constexpr std::size_t tempo_window = 1024;  // hops: the power of two nearest 5.8 s
constexpr std::size_t tempo_step = tempo_window / 4;

struct fvec_deleter {
    void operator()(fvec_t* v) const { del_fvec(v); }
};
struct cvec_deleter {
    void operator()(cvec_t* v) const { del_cvec(v); }
};
using fvec_ptr = std::unique_ptr<fvec_t, fvec_deleter>;
using cvec_ptr = std::unique_ptr<cvec_t, cvec_deleter>;

template <class T>
T* made(T* p) {
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

// aubio's objects: of these only arithmetic is used, none of its transforms.
struct onset_finder::aubio_state {
    aubio_state()
        : spectrum(made(new_cvec(window))),
          desc(made(new_fvec(1))),
          found(made(new_fvec(1))),
          dfframe(made(new_fvec(tempo_window))),
          beats_out(made(new_fvec(tempo_step))),
          hfc(made(new_aubio_specdesc("hfc", window))),
          flux(made(new_aubio_specdesc("specflux", window))),
          onset_picker(made(new_aubio_peakpicker())),
          tempo_picker(made(new_aubio_peakpicker())),
          tracker(made(new_aubio_beattracking(tempo_window, hop, static_cast<uint_t>(rate)))) {
        aubio_peakpicker_set_threshold(onset_picker, 0.3f);
        aubio_peakpicker_set_threshold(tempo_picker, 0.3f);
    }
    ~aubio_state() {
        del_aubio_specdesc(hfc);
        del_aubio_specdesc(flux);
        del_aubio_peakpicker(onset_picker);
        del_aubio_peakpicker(tempo_picker);
        del_aubio_beattracking(tracker);
    }

    cvec_ptr spectrum;
    fvec_ptr desc, found, dfframe, beats_out;
    aubio_specdesc_t* hfc;
    aubio_specdesc_t* flux;
    aubio_peakpicker_t* onset_picker;
    aubio_peakpicker_t* tempo_picker;
    aubio_beattracking_t* tracker;
    std::vector<float> window_values;

    std::int64_t total = 0;  // samples before the current hop's
    std::int64_t last_onset = -1;
    bool any_onset = false;
    std::int64_t block = 0;  // the hop's place in the tracker's step
    float recent[3] = {0, 0, 0};  // the onset function of the last hops
    std::vector<double> loudest = std::vector<double>(8, 0.0);  // the mean squares of the last hops
};

onset_finder::onset_finder() : aubio_(new aubio_state), history_(window, 0.0f) {
    // The Hann window from the transform's own twiddles (cos 2 pi k / N for
    // k below N / 2), so that it is the same everywhere.
    const fft_plan& plan = fft_plan::of_size(static_cast<std::int32_t>(window));
    std::vector<float>& w = aubio_->window_values;
    w.assign(window, 0.0f);
    for (std::size_t k = 0; k < window / 2; ++k) w[k] = 0.5f * (1.0f - plan.twiddle_re(window / 2 + k));
    w[window / 2] = 1.0f;
    for (std::size_t k = window / 2 + 1; k < window; ++k) w[k] = w[window - k];
}

onset_finder::~onset_finder() = default;

void onset_finder::add(const float* mono, std::size_t n) {
    // The windowed frames of every hop completed by this piece, transformed
    // together (one lane each), then read in order.
    std::size_t count = 0;
    frames_.clear();
    std::vector<float> powers;
    while (n > 0) {
        const std::size_t take = std::min(n, hop - pending_.size());
        pending_.insert(pending_.end(), mono, mono + take);
        mono += take;
        n -= take;
        if (pending_.size() < hop) break;
        std::copy(history_.begin() + hop, history_.end(), history_.begin());
        std::copy(pending_.begin(), pending_.end(), history_.end() - hop);
        double power = 0.0;
        for (float v : pending_) power += static_cast<double>(v) * v;
        powers.push_back(power / hop);
        pending_.clear();
        for (std::size_t k = 0; k < window; ++k) frames_.push_back(history_[k] * aubio_->window_values[k]);
        ++count;
    }
    if (count == 0) return;
    re_.assign(window * count, 0.0f);
    im_.assign(window * count, 0.0f);
    for (std::size_t c = 0; c < count; ++c)
        for (std::size_t k = 0; k < window; ++k) re_[k * count + c] = frames_[c * window + k];
    transform_lanes(fft_plan::of_size(static_cast<std::int32_t>(window)), re_.data(), im_.data(), count, count);

    aubio_state& a = *aubio_;
    for (std::size_t c = 0; c < count; ++c) {
        // hfc and specflux read the magnitudes alone.
        for (std::size_t k = 0; k < bins; ++k) {
            const float x = re_[k * count + c], y = im_[k * count + c];
            a.spectrum->norm[k] = std::sqrt(x * x + y * y);
            a.spectrum->phas[k] = 0.0f;
        }
        // Silent when this hop and the ones the detection function's peak
        // may lie in are: a short click is over before its peak is seen.
        a.loudest.erase(a.loudest.begin());
        a.loudest.push_back(powers[c]);
        const bool silent = *std::max_element(a.loudest.begin(), a.loudest.end()) < silence_power;

        // Onsets: the peaks the picker finds in the high-frequency content.
        aubio_specdesc_do(a.hfc, a.spectrum.get(), a.desc.get());
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

        // Beats: the tracker reads the picker's thresholded spectral flux
        // and foretells the next step's beats, each in a hop of it.
        aubio_specdesc_do(a.flux, a.spectrum.get(), a.desc.get());
        if (a.block == static_cast<std::int64_t>(tempo_step) - 1) {
            aubio_beattracking_do(a.tracker, a.dfframe.get(), a.beats_out.get());
            float* d = a.dfframe->data;
            std::copy(d + tempo_step, d + tempo_window, d);
            std::fill(d + tempo_window - tempo_step, d + tempo_window, 0.0f);
            a.block = -1;
        }
        ++a.block;
        aubio_peakpicker_do(a.tempo_picker, a.desc.get(), a.found.get());
        a.dfframe->data[tempo_window - tempo_step + static_cast<std::size_t>(a.block)] =
            aubio_peakpicker_get_thresholded_input(a.tempo_picker)->data[0];
        const float listed = a.beats_out->data[0];
        for (std::size_t i = 1; static_cast<float>(i) < listed && i < tempo_step; ++i) {
            const float pos = a.beats_out->data[i];
            if (static_cast<std::int64_t>(std::floor(pos)) != a.block || silent) continue;
            beats_.push_back(a.total + static_cast<std::int64_t>(std::lround((pos - std::floor(pos)) * hop)));
        }
        a.total += static_cast<std::int64_t>(hop);
    }
}

}  // namespace converter
