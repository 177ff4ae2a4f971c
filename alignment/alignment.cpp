#include "alignment/alignment.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "converter/load_any.hpp"

namespace alignment {
namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int hops_per_second = 1000 / hop_ms;
constexpr std::size_t max_values = static_cast<std::size_t>(hops_per_second) * max_seconds;

// Mean squares below this (-70 dB from full scale) count as silence: the
// hiss of a quiet passage then rises by nothing, and a nearly silent file
// has an envelope of zeros.
constexpr double energy_floor = 1e-7;
constexpr double relative_floor = 1e-3;
// Envelope steps per dB of rise: 0.25 dB a step, 63.75 dB at most.
constexpr double steps_per_db = 4.0;
// Rates an envelope is made at; the buffers grow with the rate.
constexpr int min_rate = 1000, max_rate = 768000;

// A second-order section (direct form I, in double), as the audio EQ
// cookbook gives its low- and high-pass.
struct biquad {
    double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    static biquad pass(double hz, double rate, bool high) {
        hz = std::min(hz, 0.45 * rate);
        const double w = 2.0 * pi * hz / rate;
        const double c = std::cos(w);
        const double alpha = std::sin(w) / (2.0 * 0.7071067811865476);
        const double a0 = 1.0 + alpha;
        biquad f;
        f.b0 = (high ? (1.0 + c) : (1.0 - c)) / 2.0 / a0;
        f.b1 = (high ? -(1.0 + c) : (1.0 - c)) / a0;
        f.b2 = f.b0;
        f.a1 = -2.0 * c / a0;
        f.a2 = (1.0 - alpha) / a0;
        return f;
    }
    // The last output enters last, so the next value waits on one multiply
    // and one subtraction.
    double run(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a2 * y2 - a1 * y1;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    // Decaying state would otherwise crawl through subnormal numbers in
    // long silences.
    void flush() {
        for (double* v : {&x1, &x2, &y1, &y2})
            if (std::fabs(*v) < 1e-20) *v = 0.0;
    }
};

// Five bands, so a rise in one (a kick under a held chord, a sung note over
// steady drums) is not hidden by the others, and a melody moving between
// bands tells one bar from the next; none above 5 kHz, where lossy encoders
// have cut or thinned the music, and which the bands' rate does not hold.
constexpr int band_count = 5;
constexpr double band_edges[band_count + 1] = {0, 150, 400, 1000, 2500, 5000};
// The file's rate is halved until it would drop under this (44.1 kHz to
// 11 025 Hz) for the top band; lower bands go lower (band_energies).
constexpr double min_band_rate = 11025;

struct band_filters {
    biquad high[band_count], low[band_count];
    double top_before[2] = {0, 0};  // the top band's last two values in
    explicit band_filters(double rate) {
        for (int b = 0; b < band_count; ++b) {
            high[b] = biquad::pass(std::max(band_edges[b], 20.0), rate, true);
            low[b] = biquad::pass(band_edges[b + 1], rate, false);
        }
    }
};

// One halving by [1 2 1] / 4 centred on every other value (a zero at the
// new rate's Nyquist frequency and no delay: value m out stands for value
// 2m in): the 2n values at `in` into n at `out`, which may be `in`.
// `before` carries the last odd value from one block to the next.
void halve(const double* in, std::size_t n, double* out, double& before) {
    if (n == 0) return;
    const double last = in[2 * n - 1];
    out[0] = 0.25 * (before + 2.0 * in[0] + in[1]);
    for (std::size_t m = 1; m < n; ++m) out[m] = 0.25 * (in[2 * m - 1] + 2.0 * in[2 * m] + in[2 * m + 1]);
    before = last;
}

// Halves the rate `stages` times, a block at a time, in place.
class halving {
public:
    explicit halving(int stages) : before_(static_cast<std::size_t>(stages), 0.0) {}
    // Halves the `n << stages` values at `v` into its first n.
    void run(double* v, std::size_t n) {
        std::size_t size = n << before_.size();
        for (double& before : before_) halve(v, size /= 2, v, before);
    }

private:
    std::vector<double> before_;  // each stage's last odd value
};

// The energy of each band at every hop, gathered through a triangular
// window 20 ms wide, so the values move smoothly when the music moves by a
// fraction of a hop: that is what lets the correlation peak be placed
// between hops. It is made in two cheap steps: each value is shared
// between the hop before it and the hop after by its distance (two taps),
// then the hops are smoothed by [1 2 1] / 4; the two together are exactly
// the triangle. Row k + 1 holds hop k, from hop -1 to hop `hops`.
constexpr std::size_t edge_rows = 3;

// Where each value of the bands' rate falls: value j stands for sample
// j << stages, at hop (j << stages) * hops_per_second / rate, a whole part
// and a fraction that repeat every `period` values, so they are worked out
// once for each.
class hop_positions {
public:
    hop_positions(int rate, int stages) {
        const std::size_t r = static_cast<std::size_t>(rate), step = std::size_t{hops_per_second} << stages;
        period_ = r;
        for (std::size_t a = r, b = step; b != 0;) period_ = r / (a = std::exchange(b, a % b));
        hops_per_period_ = period_ * step / r;
        hops_.resize(period_);
        fractions_.resize(period_);
        for (std::size_t i = 0; i < period_; ++i) {
            hops_[i] = i * step / r;
            fractions_[i] = static_cast<double>(i * step % r) / rate;
        }
    }
    // For the next values, at most n, while their hop is at most `last`:
    // the row of the hop at or before each (row k + 1 holds hop k, rows
    // `width` apart) and how far past that hop it lies. Gives the count.
    std::size_t take(std::size_t n, std::size_t last, std::size_t width, std::size_t* rows, double* fractions) {
        std::size_t index = index_, base = base_, kept = 0;
        for (; kept < n; ++kept) {
            const std::size_t hop = base + hops_[index];
            if (hop > last) break;
            rows[kept] = (hop + 1) * width;
            fractions[kept] = fractions_[index];
            if (++index == period_) index = 0, base += hops_per_period_;
        }
        index_ = index;
        base_ = base;
        return kept;
    }

private:
    std::size_t period_, hops_per_period_;
    std::vector<std::size_t> hops_;
    std::vector<double> fractions_;
    std::size_t base_ = 0, index_ = 0;  // the first hop of the current period
};

// A band's energy between two hops: each value's square shared between
// the row of the hop before it and the next row, by its distance from each.
struct tap_sums {
    double all = 0, later = 0;
    void add(double square, double fraction) {
        all += square;
        later += fraction * square;
    }
    void put(double* e) {
        e[0] += all - later;
        e[band_count] += later;
        all = later = 0.0;
    }
};

// Filters the n values by `run` (count bands' outputs at once) and adds
// their squares to rows of `e`, band c at e + c; summed in registers while
// the values stay between the same two hops.
template <int count, class Run>
void filter_and_gather(const double* values, const std::size_t* rows, const double* fractions, std::size_t n, double* e,
                       Run&& run) {
    tap_sums sums[count];
    std::size_t row = n > 0 ? rows[0] : 0;
    for (std::size_t m = 0; m < n; ++m) {
        if (rows[m] != row) {
            for (int c = 0; c < count; ++c) sums[c].put(e + row + c);
            row = rows[m];
        }
        double y[count];
        run(values[m], y);
        for (int c = 0; c < count; ++c) sums[c].add(y[c] * y[c], fractions[m]);
    }
    for (int c = 0; c < count; ++c) sums[c].put(e + row + c);
}

// Bands first to last - 1: two at a time, so one band's chain of dependent
// operations runs while the other's waits. The top two bands have no
// low-pass: the halvings that brought each to its rate already cut what
// lies above it. The top band's high-pass is [-1 2 -1] / 4 (second order
// like the others, a little higher: at 11 025 Hz half the power at 3.5 kHz, a fifth at
// 2.5 kHz, 1/160 at 1 kHz), whose values need no chain of operations.
void filter_block(band_filters& filters, int first, int last, const double* values, const std::size_t* rows,
                  const double* fractions, std::size_t n, double* energy) {
    for (int b = first; b < last; b += 2) {
        biquad h0 = filters.high[b], l0 = filters.low[b], h1 = biquad{}, l1 = biquad{};
        double* e = energy + b;
        if (b + 1 < last) {
            h1 = filters.high[b + 1];
            l1 = filters.low[b + 1];
            filter_and_gather<2>(values, rows, fractions, n, e, [&](double x, double* y) {
                y[0] = l0.run(h0.run(x));
                y[1] = l1.run(h1.run(x));
            });
            h1.flush();
            l1.flush();
            filters.high[b + 1] = h1;
            filters.low[b + 1] = l1;
        } else if (b + 1 == band_count) {
            double before = filters.top_before[0], last_in = filters.top_before[1];
            filter_and_gather<1>(values, rows, fractions, n, e, [&](double x, double* y) {
                y[0] = 0.25 * (2.0 * last_in - before - x);
                before = last_in;
                last_in = x;
            });
            filters.top_before[0] = before;
            filters.top_before[1] = last_in;
        } else if (b + 2 == band_count) {
            filter_and_gather<1>(values, rows, fractions, n, e, [&](double x, double* y) { y[0] = h0.run(x); });
        } else {
            filter_and_gather<1>(values, rows, fractions, n, e, [&](double x, double* y) { y[0] = l0.run(h0.run(x)); });
        }
        h0.flush();
        l0.flush();
        filters.high[b] = h0;
        filters.low[b] = l0;
    }
}

// Bands first to last - 1, filtered at the file's rate halved `stages`
// times, their energies gathered into `energy`'s rows.
class band_group {
public:
    static constexpr std::size_t block = 2048;
    band_group(int first, int last, int rate, int stages, std::size_t hops, std::vector<double>& energy)
        : first_(first), last_(last), filters_(rate / std::ldexp(1.0, stages)), at_(rate, stages), hops_(hops),
          energy_(energy), rows_(block), fractions_(block),
          per_hop_(rate / std::ldexp(1.0, stages) / hops_per_second) {}

    // The next n (at most `block`) values at the group's rate; false once
    // past the last hop (a value past hop k + 1 reaches no hop up to k).
    bool take(const double* values, std::size_t n) {
        const std::size_t kept = at_.take(n, hops_, band_count, rows_.data(), fractions_.data());
        filter_block(filters_, first_, last_, values, rows_.data(), fractions_.data(), kept, energy_.data());
        return kept == n;
    }
    // Mean squares: each value's weights add up to one.
    void finish() {
        for (std::size_t r = 0; r < energy_.size() / band_count; ++r)
            for (int b = first_; b < last_; ++b) energy_[r * band_count + static_cast<std::size_t>(b)] /= per_hop_;
    }

private:
    int first_, last_;
    band_filters filters_;
    hop_positions at_;
    std::size_t hops_;
    std::vector<double>& energy_;
    std::vector<std::size_t> rows_;
    std::vector<double> fractions_;
    double per_hop_;
};

// Each band is filtered at the lowest rate that holds it: halved again
// for 1–2.5 kHz, and twice again for the bands up to 1 kHz (5512 and
// 2756 Hz for a 44.1 kHz file), while the rate stays at least twice the
// band's top.
constexpr int low_bands = 3, middle_band = 3;

int halvings(double rate, double at_least) {
    int stages = 0;
    while (stages < 15 && rate / std::ldexp(1.0, stages + 1) >= at_least) ++stages;
    return stages;
}

// The mono mix of samples given as floats (or any channel count), value i
// from `value(i)`, halved in double to the top band's rate.
template <class Value>
class mixed {
public:
    mixed(Value value, int stages) : value_(value), stages_(stages), halve_(stages) {}
    // The next n values at the top band's rate; `out` holds n << stages.
    void next(double* out, std::size_t n) {
        for (std::size_t i = 0; i < n << stages_; ++i) out[i] = value_(frame_ + i);
        frame_ += n << stages_;
        halve_.run(out, n);
    }

private:
    Value value_;
    int stages_;
    halving halve_;
    std::size_t frame_ = 0;
};

// 16-bit stereo, nearly every song: the mix and all the halvings to the
// top band's rate in whole numbers, in simple loops over the block. Each
// stage multiplies the range by 4: 2^16 * 4^6 (768 kHz to 12 kHz) still
// fits in 32 bits. Scaled at the end, the values are the same bits as the
// mix halved in double.
class stereo16 {
public:
    stereo16(const std::int16_t* v, std::size_t frames, int stages)
        : v_(v), frames_(frames), stages_(stages), before_(static_cast<std::size_t>(stages), 0),
          scale_(std::ldexp(1.0, -16 - 2 * stages)) {}
    // The next n values at the top band's rate.
    void next(double* out, std::size_t n) {
        std::size_t size = n << stages_;
        if (a_.size() < size + 1) a_.resize(size + 1), b_.resize(size + 1);
        std::int32_t* s = a_.data();
        std::int32_t* t = b_.data();
        const std::int16_t* f = v_ + 2 * frame_;
        int done = 0;
        if (stages_ >= 2) {
            // The first two halvings at once, [1 2 3 4 3 2 1] on every
            // fourth frame: the samples are read once, in one pass.
            const auto mix = [f](std::ptrdiff_t i) { return f[2 * i] + f[2 * i + 1]; };
            std::int32_t p1 = 0, p2 = 0, p3 = 0;  // the three frames before
            if (frame_ > 0) p1 = mix(-3), p2 = mix(-2), p3 = mix(-1);
            size /= 4;
            for (std::size_t k = 0; k < size; ++k) {
                const auto i = static_cast<std::ptrdiff_t>(4 * k);
                // Asked for well ahead, the samples arrive from memory
                // in time: without it, the pass waits on them.
                if (k % 4 == 0 && frame_ + static_cast<std::size_t>(i) + prefetch_frames < frames_)
                    __builtin_prefetch(f + 2 * (i + prefetch_frames));
                const std::int32_t a0 = mix(i), a1 = mix(i + 1), a2 = mix(i + 2), a3 = mix(i + 3);
                s[1 + k] = p1 + 2 * p2 + 3 * p3 + 4 * a0 + 3 * a1 + 2 * a2 + a3;
                p1 = a1, p2 = a2, p3 = a3;
            }
            done = 2;
        } else {
            for (std::size_t i = 0; i < size; ++i) s[1 + i] = f[2 * i] + f[2 * i + 1];
        }
        frame_ += n << stages_;
        // s[0] is the value before the block's first, at every stage.
        for (std::int32_t& before : before_) {
            if (done > 0) {
                --done;
                continue;
            }
            s[0] = before;
            size /= 2;
            for (std::size_t m = 0; m < size; ++m) t[1 + m] = s[2 * m] + 2 * s[2 * m + 1] + s[2 * m + 2];
            before = s[2 * size];
            std::swap(s, t);
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = s[1 + i] * scale_;
    }

private:
    static constexpr std::size_t prefetch_frames = 512;
    const std::int16_t* v_;
    std::size_t frames_;
    int stages_;
    std::vector<std::int32_t> before_;  // each stage's last value in
    double scale_;
    std::size_t frame_ = 0;
    std::vector<std::int32_t> a_, b_;
};

// Each band's mean square at every hop, band b of hop k at k * band_count + b.
// `top(stages)` gives the mono mix at the file's rate halved `stages` times.
template <class Top>
std::vector<double> band_energies(std::size_t frames, std::size_t hops, int rate, Top&& make_top) {
    std::vector<double> energy((hops + edge_rows) * band_count, 0.0);
    const int stages = halvings(rate, min_band_rate);
    auto top_values = make_top(stages);
    const double top_rate = rate / std::ldexp(1.0, stages);
    const int middle_stages = halvings(top_rate, 2.0 * band_edges[middle_band + 1]);
    const int low_stages = halvings(top_rate / std::ldexp(1.0, middle_stages), 2.0 * band_edges[low_bands]);
    halving halve_middle(middle_stages), halve_low(low_stages);
    band_group top(middle_band + 1, band_count, rate, stages, hops, energy);
    band_group middle(middle_band, middle_band + 1, rate, stages + middle_stages, hops, energy);
    band_group lower(0, low_bands, rate, stages + middle_stages + low_stages, hops, energy);
    constexpr std::size_t block = band_group::block;
    std::vector<double> values(block << stages), mid(block), low(block);
    const std::size_t total = frames >> stages;
    for (std::size_t done = 0; done < total; done += block) {
        const std::size_t n = std::min(block, total - done);
        top_values.next(values.data(), n);
        const std::size_t n_mid = n >> middle_stages, n_low = n_mid >> low_stages;
        std::copy(values.begin(), values.begin() + static_cast<long>(n_mid << middle_stages), mid.begin());
        halve_middle.run(mid.data(), n_mid);
        std::copy(mid.begin(), mid.begin() + static_cast<long>(n_low << low_stages), low.begin());
        halve_low.run(low.data(), n_low);
        const bool more_top = top.take(values.data(), n), more_middle = middle.take(mid.data(), n_mid);
        if (!lower.take(low.data(), n_low) && !more_top && !more_middle) break;
    }
    top.finish();
    middle.finish();
    lower.finish();
    std::vector<double> smooth(hops * band_count);
    for (std::size_t i = 0; i < smooth.size(); ++i)
        smooth[i] = 0.25 * (energy[i] + 2.0 * energy[i + band_count] + energy[i + 2 * band_count]);
    return smooth;
}

static_assert(level_bands == band_count, "the levels are the bands' own");
constexpr double level_floor_db = -120.0;

// Each band's level at the middle of every whole level_hops hops: its
// mean square through a raised-cosine window level_reach hops either way
// (400 ms wide; in dB above level_floor_db, level_steps_per_db steps a dB).
// The window moves each hit's weight smoothly with the music, so a copy a
// few ms later, or a level read between two frames, hardly changes; frames
// side by side would put a hit near their edge in one or the other.
constexpr std::size_t level_reach = 4 * level_hops;
std::vector<std::uint8_t> band_levels(const std::vector<double>& energy, std::size_t hops) {
    std::vector<std::uint8_t> out;
    const std::size_t frames = hops / level_hops;
    out.reserve(frames * band_count);
    double window[2 * level_reach];  // hop middle - level_reach + 1 + i
    for (std::size_t i = 0; i + 1 < 2 * level_reach; ++i)
        window[i] = 1.0 + std::cos(pi * (static_cast<double>(i) + 1.0 - static_cast<double>(level_reach)) / level_reach);
    for (std::size_t f = 0; f < frames; ++f) {
        const std::size_t middle = f * level_hops + level_hops / 2;
        const std::size_t from = middle > level_reach ? middle - level_reach + 1 : 0;
        const std::size_t to = std::min(hops, middle + level_reach);
        double sum[band_count] = {}, weights = 0.0;
        for (std::size_t k = from; k < to; ++k) {
            const double w = window[k + level_reach - 1 - middle];
            weights += w;
            for (int b = 0; b < band_count; ++b) sum[b] += w * energy[k * band_count + b];
        }
        for (int b = 0; b < band_count; ++b) {
            const double db = 10.0 * std::log10(sum[b] / weights + 1e-13) - level_floor_db;
            out.push_back(static_cast<std::uint8_t>(std::clamp(std::nearbyint(db * level_steps_per_db), 0.0, 255.0)));
        }
    }
    return out;
}

// The envelope of `frames` frames of the mono mix `make_top` gives (see
// band_energies): at each hop, the
// rises in dB of every band against the hop before, added up.
// The dB are taken above a floor 30 dB under the file's mean band energy
// (and never under -70 dB from full scale): rises out of a quiet gap count
// the same whatever the hiss, the noise or the level of that gap.
template <class Top>
envelope envelope_of(std::size_t frames, int rate, Top&& make_top) {
    envelope out;
    if (rate < min_rate || rate > max_rate) return out;
    frames = std::min<std::size_t>(frames, static_cast<std::size_t>(rate) * max_seconds);
    const std::size_t hops = std::min(max_values, frames * hops_per_second / static_cast<std::size_t>(rate));
    if (hops == 0) return out;
    const std::vector<double> energy = band_energies(frames, hops, rate, make_top);
    double mean = 0.0;
    for (double e : energy) mean += e;
    mean /= static_cast<double>(hops * band_count);
    const double floor = std::max(energy_floor, mean * relative_floor);
    out.values.assign(hops, 0);
    // The file as if silence came before it: music that starts with the file
    // rises there as it does after a copy's lead-in of silence.
    double before[band_count];
    std::fill(before, before + band_count, 10.0 * std::log10(floor));
    for (std::size_t k = 0; k < hops; ++k) {
        double rise = 0.0;
        for (int b = 0; b < band_count; ++b) {
            const double level = 10.0 * std::log10(energy[k * band_count + b] + floor);
            if (level > before[b]) rise += level - before[b];
            before[b] = level;
        }
        out.values[k] = static_cast<std::uint8_t>(std::min(255.0, std::nearbyint(rise * steps_per_db)));
    }
    out.levels = band_levels(energy, hops);
    return out;
}

// Pearson's correlation of x[i] with y[i + lag] over the indices both hold,
// with the prefix sums of each and of its squares.
struct series {
    std::vector<double> v, sum, squares;
    explicit series(std::vector<double> values) : v(std::move(values)), sum(v.size() + 1, 0.0), squares(v.size() + 1, 0.0) {
        for (std::size_t i = 0; i < v.size(); ++i) {
            sum[i + 1] = sum[i] + v[i];
            squares[i + 1] = squares[i] + v[i] * v[i];
        }
    }
    long size() const { return static_cast<long>(v.size()); }
};

long overlap_of(const series& x, const series& y, long lag) {
    return std::min(x.size(), y.size() - lag) - std::max(0L, -lag);
}

// The larger of the two shares of a series' sum that falls where both overlap.
double covered_share(const series& x, const series& y, long lag) {
    const long from = std::max(0L, -lag), to = std::min(x.size(), y.size() - lag);
    if (to <= from || x.sum.back() <= 0.0 || y.sum.back() <= 0.0) return 0.0;
    return std::max((x.sum[to] - x.sum[from]) / x.sum.back(), (y.sum[to + lag] - y.sum[from + lag]) / y.sum.back());
}

// At most `longest` values of the overlap, from its start.
double correlation(const series& x, const series& y, long lag, long longest = std::numeric_limits<long>::max()) {
    const long from = std::max(0L, -lag);
    const long end = std::min(x.size(), y.size() - lag);
    const long to = end - from > longest ? from + longest : end;
    if (to - from < 2) return 0.0;
    // Four sums side by side keep the core busy; every value is a whole
    // number and every sum stays under 2^53, so each is exact and their
    // order does not change the result.
    double part[4] = {0, 0, 0, 0};
    const double* a = x.v.data();
    const double* b = y.v.data() + lag;
    long i = from;
    for (; i + 4 <= to; i += 4)
        for (int u = 0; u < 4; ++u) part[u] += a[i + u] * b[i + u];
    for (; i < to; ++i) part[0] += a[i] * b[i];
    const double xy = (part[0] + part[1]) + (part[2] + part[3]);
    const double n = static_cast<double>(to - from);
    const double sx = x.sum[to] - x.sum[from], sy = y.sum[to + lag] - y.sum[from + lag];
    const double vx = (x.squares[to] - x.squares[from]) - sx * sx / n;
    const double vy = (y.squares[to + lag] - y.squares[from + lag]) - sy * sy / n;
    if (vx <= 0.0 || vy <= 0.0) return 0.0;
    return (xy - sx * sy / n) / std::sqrt(vx * vy);
}

// The values smoothed by [1 2 3 2 1]: a rise spread over a few hops, so
// the correlation peak is broad enough for a parabola through three of its
// points to place it between hops.
constexpr int fine_half_width = 2;
std::vector<double> smoothed(const envelope& e) {
    const std::size_t n = e.values.size();
    std::vector<double> out(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (int d = -fine_half_width; d <= fine_half_width; ++d) {
            const long j = static_cast<long>(i) + d;
            if (j >= 0 && j < static_cast<long>(n))
                out[i] += (fine_half_width + 1 - std::abs(d)) * e.values[static_cast<std::size_t>(j)];
        }
    return out;
}

// One value every `factor` hops, each a triangular-weighted sum of the
// 2 * factor - 1 hops around it, so music moved by part of a step changes
// the values only a little (plain sums of whole groups would put a beat in
// one group or the next).
std::vector<double> decimated(const envelope& e, long factor) {
    const long n = static_cast<long>(e.values.size());
    std::vector<double> out(static_cast<std::size_t>(n / factor), 0.0);
    for (long j = 0; j < static_cast<long>(out.size()); ++j)
        for (long d = 1 - factor; d < factor; ++d) {
            const long i = j * factor + d;
            if (i >= 0 && i < n) out[static_cast<std::size_t>(j)] += (factor - std::labs(d)) * e.values[static_cast<std::size_t>(i)];
        }
    return out;
}

// Rises of at least 2 dB; a file with fewer than one every two seconds
// (or twenty in all) has nothing to line up.
bool nearly_silent(const envelope& e) {
    const auto rises = static_cast<std::size_t>(
        std::count_if(e.values.begin(), e.values.end(), [](std::uint8_t v) { return v >= 2 * steps_per_db; }));
    return rises < 20 || rises * 2 * hops_per_second < e.values.size();
}

// The coarse search: 20 ms steps over the whole shift range, each value
// a triangular-weighted sum of the 35 ms around it, so a peak between two
// steps still shows at both.
constexpr long coarse_factor = 4;
// Two minutes of overlap are plenty to find the peaks; the fine search
// reads all of it.
constexpr long coarse_longest = 120L * hops_per_second / coarse_factor;
constexpr long min_overlap_hops = 8L * hops_per_second;
// Peaks of the coarse curve refined at every hop: the true shift's peak may
// be lowered by falling between steps, so the few best are all refined.
constexpr std::size_t candidates = 6;

struct coarse_result {
    std::vector<long> peaks;  // lags in coarse steps, best first
    double top = -1.0, mean = 0.0, spread = 0.0;
};

coarse_result coarse_search(const envelope& board, const envelope& mine) {
    const series x(decimated(board, coarse_factor)), y(decimated(mine, coarse_factor));
    const long reach = max_shift_ms / hop_ms / coarse_factor;
    const long min_overlap = min_overlap_hops / coarse_factor;
    std::vector<std::pair<long, double>> curve;
    for (long lag = -reach; lag <= reach; ++lag)
        if (overlap_of(x, y, lag) >= min_overlap) curve.emplace_back(lag, correlation(x, y, lag, coarse_longest));
    coarse_result r;
    if (curve.empty()) return r;
    double sum = 0.0, squares = 0.0;
    std::vector<std::pair<double, long>> maxima;
    for (std::size_t i = 0; i < curve.size(); ++i) {
        const double c = curve[i].second;
        sum += c;
        squares += c * c;
        r.top = std::max(r.top, c);
        const bool above_before = i == 0 || c > curve[i - 1].second;
        const bool not_below_after = i + 1 == curve.size() || c >= curve[i + 1].second;
        if (above_before && not_below_after) maxima.emplace_back(c, curve[i].first);
    }
    const double n = static_cast<double>(curve.size());
    r.mean = sum / n;
    r.spread = std::sqrt(std::max(0.0, squares / n - r.mean * r.mean));
    const std::size_t kept = std::min(candidates, maxima.size());
    std::partial_sort(maxima.begin(), maxima.begin() + static_cast<long>(kept), maxima.end(),
                      [](const auto& p, const auto& q) { return p.first > q.first || (p.first == q.first && p.second < q.second); });
    for (std::size_t i = 0; i < kept; ++i) r.peaks.push_back(maxima[i].second);
    return r;
}

// A coarse peak refined: every hop within a step and a half of it, the
// best placed between hops on a parabola through it and its neighbours.
struct fine_peak {
    double lag = 0;  // in hops
    double value = -1.0;
};

fine_peak refine(const series& x, const series& y, long coarse_lag) {
    const long centre = coarse_lag * coarse_factor, reach = coarse_factor + coarse_factor / 2;
    std::vector<double> c;
    long best = 0;
    for (long d = -reach; d <= reach; ++d) {
        c.push_back(overlap_of(x, y, centre + d) >= min_overlap_hops ? correlation(x, y, centre + d) : -1.0);
        if (c.back() > c[static_cast<std::size_t>(best)]) best = d + reach;
    }
    double between = 0.0, top = c[static_cast<std::size_t>(best)];
    if (best > 0 && best + 1 < static_cast<long>(c.size())) {
        const double before = c[best - 1], after = c[best + 1];
        const double bend = before - 2.0 * top + after;
        if (bend < 0.0) {
            between = std::clamp(0.5 * (before - after) / bend, -0.5, 0.5);
            top -= 0.25 * (before - after) * between;
        }
    }
    return {static_cast<double>(centre + best - reach) + between, std::min(1.0, top)};
}

// What makes a peak clear (README.md gives the figures they come from):
// the fine correlation is high, the peak is much nearer a perfect match
// than the best shift away from it (the other beats of a steady rhythm
// come close; the true shift of a copy comes far closer), and it stands
// out of the correlation's spread.
constexpr double min_fine_correlation = 0.5;
constexpr double min_nearer = 2.0;   // (1 - runner-up) / (1 - peak)
constexpr double min_standing = 2.0; // spreads above the mean, coarse
// The bands' balance of another mix differs by more than this (dB, root
// mean square); a copy's, hardly at all.
constexpr double max_balance_db = 1.1;

// The bands' balance in each frame of levels: each band's level in dB
// against the frame's loudest band, no lower than balance_range_db under
// it (a band nearly empty there is left to hiss and the encoder), and
// whether the frame is loud: within loud_range_db of the file's loudest.
constexpr double balance_range_db = 30.0, loud_range_db = 30.0;
struct balances {
    std::vector<double> db;
    std::vector<char> loud;
};

balances balance_of(const envelope& e) {
    const std::size_t frames = e.levels.size() / level_bands;
    balances out{std::vector<double>(frames * level_bands), std::vector<char>(frames, 0)};
    std::vector<double> top(frames, 0.0);
    double loudest = 0.0;
    for (std::size_t f = 0; f < frames; ++f) {
        for (int b = 0; b < level_bands; ++b) top[f] = std::max(top[f], e.levels[f * level_bands + b] / level_steps_per_db);
        loudest = std::max(loudest, top[f]);
    }
    for (std::size_t f = 0; f < frames; ++f) {
        out.loud[f] = top[f] > 0.0 && top[f] >= loudest - loud_range_db;
        for (int b = 0; b < level_bands; ++b)
            out.db[f * level_bands + b] = std::max(e.levels[f * level_bands + b] / level_steps_per_db - top[f], -balance_range_db);
    }
    return out;
}

// How far the bands' balance differs with `mine` `ms` later than `board`:
// the root mean square over the frames loud in both of the difference of
// each band's balance, once each band's mean difference is taken off (a
// resampler's or an encoder's tilt moves a band alike all through). The
// board's frames are read between their centres. Negative with fewer than
// min_balance_frames loud frames in common.
constexpr std::size_t min_balance_frames = 5 * 1000 / (hop_ms * level_hops);  // 5 s
double balance_difference(const envelope& board, const envelope& mine, double ms) {
    const balances x = balance_of(board), y = balance_of(mine);
    const double shift = ms / (hop_ms * level_hops);
    std::vector<double> diff;
    for (std::size_t j = 0; j < y.loud.size(); ++j) {
        const double at = static_cast<double>(j) - shift;
        if (at < 0.0 || at + 1.0 >= static_cast<double>(x.loud.size())) continue;
        const std::size_t i = static_cast<std::size_t>(at);
        const double w = at - static_cast<double>(i);
        if (!y.loud[j] || !x.loud[i] || !x.loud[i + 1]) continue;
        for (int b = 0; b < level_bands; ++b) {
            const double theirs = (1.0 - w) * x.db[i * level_bands + b] + w * x.db[(i + 1) * level_bands + b];
            diff.push_back(y.db[j * level_bands + b] - theirs);
        }
    }
    const std::size_t frames = diff.size() / level_bands;
    if (frames < min_balance_frames) return -1.0;
    double mean[level_bands] = {}, squares = 0.0;
    for (std::size_t k = 0; k < diff.size(); ++k) mean[k % level_bands] += diff[k] / static_cast<double>(frames);
    for (std::size_t k = 0; k < diff.size(); ++k) squares += (diff[k] - mean[k % level_bands]) * (diff[k] - mean[k % level_bands]);
    return std::sqrt(squares / static_cast<double>(diff.size()));
}

}  // namespace

envelope make_envelope(const float* interleaved, std::size_t frames, int channels, int rate) {
    if (channels <= 0 || interleaved == nullptr) return {};
    const std::size_t ch = static_cast<std::size_t>(channels);
    const double scale = 1.0 / channels;
    const auto value = [=](std::size_t i) {
        double s = 0.0;
        for (std::size_t c = 0; c < ch; ++c) s += interleaved[i * ch + c];
        return s * scale;
    };
    return envelope_of(frames, rate, [&](int stages) { return mixed<decltype(value)>(value, stages); });
}

envelope make_envelope(const std::int16_t* interleaved, std::size_t frames, int channels, int rate) {
    if (channels <= 0 || interleaved == nullptr) return {};
    if (channels == 2) return envelope_of(frames, rate, [&](int stages) { return stereo16(interleaved, frames, stages); });
    const std::size_t ch = static_cast<std::size_t>(channels);
    const double scale = 1.0 / (32768.0 * channels);
    const auto value = [=](std::size_t i) {
        double s = 0.0;
        for (std::size_t c = 0; c < ch; ++c) s += interleaved[i * ch + c];
        return s * scale;
    };
    return envelope_of(frames, rate, [&](int stages) { return mixed<decltype(value)>(value, stages); });
}

std::optional<envelope> envelope_of_file(const std::string& path, std::string& why) {
    try {
        const auto source = converter::load_at_converter_rate(path, nullptr, &why);
        if (!source) return std::nullopt;
        return make_envelope(source->data.get(), source->frame_count(), static_cast<int>(source->info.chans),
                             static_cast<int>(source->info.freq));
    } catch (const std::bad_alloc&) {
        why = "not enough memory to hold it";
        return std::nullopt;
    }
}

namespace {
constexpr char mark[4] = {'V', 'E', 'N', 'V'};
// The same, followed by the levels.
constexpr char mark_with_levels[4] = {'V', 'E', 'N', '2'};

std::size_t level_count(std::size_t values) { return values / level_hops * level_bands; }
}  // namespace

std::string encode(const envelope& e) {
    const std::size_t n = std::min(e.values.size(), max_values);
    const bool levels = !e.levels.empty() && e.levels.size() == level_count(n);
    std::string out(levels ? mark_with_levels : mark, 4);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((n >> shift) & 0xff));
    out.append(reinterpret_cast<const char*>(e.values.data()), n);
    if (levels) out.append(reinterpret_cast<const char*>(e.levels.data()), e.levels.size());
    return out;
}

// A VEN2 envelope always has levels (at least level_hops values), so
// what decode reads, encode writes back the same.
std::optional<envelope> decode(std::string_view bytes) {
    if (bytes.size() < 8 || bytes.size() > max_encoded_bytes) return std::nullopt;
    const bool levels = bytes.substr(0, 4) == std::string_view(mark_with_levels, 4);
    if (!levels && bytes.substr(0, 4) != std::string_view(mark, 4)) return std::nullopt;
    std::size_t n = 0;
    for (int k = 0; k < 4; ++k) n |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[4 + k])) << (8 * k);
    if (n > max_values) return std::nullopt;
    const std::size_t kept_levels = levels ? level_count(n) : 0;
    if ((levels && kept_levels == 0) || bytes.size() != 8 + n + kept_levels) return std::nullopt;
    envelope e;
    e.values.assign(bytes.begin() + 8, bytes.begin() + 8 + static_cast<long>(n));
    e.levels.assign(bytes.begin() + 8 + static_cast<long>(n), bytes.end());
    return e;
}

offset align(const envelope& board, const envelope& mine, peak_figures* figures) {
    offset out;
    if (std::min(board.values.size(), mine.values.size()) < static_cast<std::size_t>(min_overlap_hops)) {
        out.why = "too little of the music overlaps";
        return out;
    }
    if (nearly_silent(mine)) {
        out.why = "the file is nearly silent";
        return out;
    }
    if (nearly_silent(board)) {
        out.why = "the board's recording is nearly silent";
        return out;
    }
    const coarse_result coarse = coarse_search(board, mine);
    if (coarse.peaks.empty()) {
        out.why = "too little of the music overlaps";
        return out;
    }
    const series x(smoothed(board)), y(smoothed(mine));
    std::vector<fine_peak> peaks;
    for (long lag : coarse.peaks) {
        fine_peak p = refine(x, y, lag);
        // A correlation over the overlap alone would rank a loop's shift by
        // a bar (its start and end left out) as high as the true one: each
        // peak counts by the share of one file's onsets it covers, the
        // better file's, so a copy cut short or led by silence loses nothing.
        p.value *= std::sqrt(covered_share(x, y, std::lround(p.lag)));
        peaks.push_back(p);
    }
    const fine_peak best = *std::max_element(peaks.begin(), peaks.end(),
                                             [](const fine_peak& p, const fine_peak& q) { return p.value < q.value; });
    // The best shift away from the peak: another beat of the rhythm, most often.
    double runner_up = -1.0;
    for (const fine_peak& p : peaks)
        if (std::fabs(p.lag - best.lag) > coarse_factor) runner_up = std::max(runner_up, p.value);
    out.ms = best.lag * hop_ms;
    const double standing = coarse.spread > 0.0 ? (coarse.top - coarse.mean) / coarse.spread : 0.0;
    const double balance = balance_difference(board, mine, out.ms);
    if (figures) *figures = {best.value, runner_up, standing, balance};
    out.clear = best.value >= min_fine_correlation && 1.0 - runner_up >= min_nearer * (1.0 - best.value) &&
                standing >= min_standing;
    if (!out.clear) {
        out.why = "another mix or a live take: the two files' beats do not line up";
    } else if (balance > max_balance_db) {
        out.clear = false;
        out.why = "another mix: the beats line up but the parts are not as loud against each other";
    }
    return out;
}

offset align(const envelope& board, const envelope& mine) { return align(board, mine, nullptr); }

}  // namespace alignment
