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
    double run(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
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
    explicit band_filters(double rate) {
        for (int b = 0; b < band_count; ++b) {
            high[b] = biquad::pass(std::max(band_edges[b], 20.0), rate, true);
            low[b] = biquad::pass(band_edges[b + 1], rate, false);
        }
    }
};

// Halves the rate `stages` times, each time by [1 2 1] / 4 centred on every
// other value (a zero at the new rate's Nyquist frequency and no delay:
// value j out stands for value j << stages in), a block at a time.
class halving {
public:
    explicit halving(int stages) : before_(static_cast<std::size_t>(stages), 0.0) {}
    // Halves the `n << stages` values at `v` in place into its first n.
    void run(double* v, std::size_t n) {
        std::size_t size = n << before_.size();
        for (double& before : before_) {
            size /= 2;
            for (std::size_t m = 0; m < size; ++m) {
                const double odd = v[2 * m + 1];
                v[m] = 0.25 * (before + 2.0 * v[2 * m] + odd);
                before = odd;
            }
        }
    }

private:
    std::vector<double> before_;  // each stage's last odd value
};

// The energy of each band at every hop, gathered with a raised-cosine
// window 2 * window_hops hops wide, so the values move smoothly when the
// music moves by a fraction of a hop: that is what lets the correlation
// peak be placed between hops. Row k + window_hops - 1 holds hop k.
constexpr int window_hops = 2;
constexpr std::size_t taps = 2 * window_hops;

// Where each value of the bands' rate falls: value j stands for sample
// j << stages, at hop (j << stages) * hops_per_second / rate, a whole part
// and a fraction that repeats every `period` values, so the window's
// weights are worked out once for each.
class hop_positions {
public:
    hop_positions(int rate, int stages) {
        const std::size_t r = static_cast<std::size_t>(rate), step = std::size_t{hops_per_second} << stages;
        period_ = r;
        for (std::size_t a = r, b = step; b != 0;) period_ = r / (a = std::exchange(b, a % b));
        hops_per_period_ = period_ * step / r;
        rows_.resize(period_);
        weights_.resize(period_ * taps);
        for (std::size_t i = 0; i < period_; ++i) {
            rows_[i] = i * step / r;
            const double f = static_cast<double>(i * step % r) / rate;
            for (std::size_t t = 0; t < taps; ++t) {
                const double d = f - (static_cast<double>(t) - window_hops + 1);  // from hop k - window_hops + 1 + t
                weights_[i * taps + t] = 0.5 * (1.0 + std::cos(pi * d / window_hops));
            }
        }
    }
    // The next value's first row and weights.
    std::size_t row() const { return periods_ * hops_per_period_ + rows_[index_]; }
    const double* weights() const { return &weights_[index_ * taps]; }
    void next() {
        if (++index_ == period_) index_ = 0, ++periods_;
    }

private:
    std::size_t period_, hops_per_period_;
    std::vector<std::size_t> rows_;
    std::vector<double> weights_;
    std::size_t periods_ = 0, index_ = 0;
};

// The squares of bands first to last - 1, band b at squares + b * stride:
// two bands at a time, so one band's chain of dependent operations runs
// while the other's waits.
void filter_block(band_filters& filters, int first, int last, const double* values, std::size_t n, double* squares,
                  std::size_t stride) {
    for (int b = first; b < last; b += 2) {
        const bool pair = b + 1 < last;
        biquad h0 = filters.high[b], l0 = filters.low[b];
        biquad h1 = pair ? filters.high[b + 1] : biquad{}, l1 = pair ? filters.low[b + 1] : biquad{};
        double* out0 = squares + static_cast<std::size_t>(b) * stride;
        double* out1 = squares + static_cast<std::size_t>(pair ? b + 1 : b) * stride;
        if (pair) {
            for (std::size_t m = 0; m < n; ++m) {
                const double y0 = l0.run(h0.run(values[m])), y1 = l1.run(h1.run(values[m]));
                out0[m] = y0 * y0;
                out1[m] = y1 * y1;
            }
        } else {
            for (std::size_t m = 0; m < n; ++m) {
                const double y0 = l0.run(h0.run(values[m]));
                out0[m] = y0 * y0;
            }
        }
        for (biquad* f : {&h0, &l0, &h1, &l1}) f->flush();
        filters.high[b] = h0;
        filters.low[b] = l0;
        if (pair) {
            filters.high[b + 1] = h1;
            filters.low[b + 1] = l1;
        }
    }
}

// Adds each value's square, by the window's weights, to the four rows from
// its hop's; summed in registers while the values stay on one hop.
void gather(const double* squares, const std::size_t* rows, const double* const* weights, std::size_t n, double* e) {
    static_assert(taps == 4, "four sums");
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::size_t row = n > 0 ? rows[0] : 0;
    const auto put = [&] {
        e[row] += s0;
        e[row + band_count] += s1;
        e[row + 2 * band_count] += s2;
        e[row + 3 * band_count] += s3;
        s0 = s1 = s2 = s3 = 0.0;
    };
    for (std::size_t m = 0; m < n; ++m) {
        if (rows[m] != row) {
            put();
            row = rows[m];
        }
        const double* w = weights[m];
        const double sq = squares[m];
        s0 += w[0] * sq;
        s1 += w[1] * sq;
        s2 += w[2] * sq;
        s3 += w[3] * sq;
    }
    put();
}

// Bands first to last - 1, filtered at the file's rate halved `stages`
// times, their energies gathered into `energy`'s rows.
class band_group {
public:
    static constexpr std::size_t block = 2048;
    band_group(int first, int last, int rate, int stages, std::size_t hops, std::vector<double>& energy)
        : first_(first), last_(last), filters_(rate / std::ldexp(1.0, stages)), at_(rate, stages), hops_(hops),
          energy_(energy), squares_(block * band_count), rows_(block), weights_(block),
          per_hop_(window_hops * rate / std::ldexp(1.0, stages) / hops_per_second) {}

    // The next n (at most `block`) values at the group's rate; false once
    // past the last hop.
    bool take(const double* values, std::size_t n) {
        std::size_t kept = 0;
        for (; kept < n && at_.row() <= hops_; ++kept, at_.next()) {
            rows_[kept] = at_.row() * band_count;
            weights_[kept] = at_.weights();
        }
        filter_block(filters_, first_, last_, values, kept, squares_.data(), block);
        for (int b = first_; b < last_; ++b)
            gather(squares_.data() + static_cast<std::size_t>(b) * block, rows_.data(), weights_.data(), kept,
                   energy_.data() + b);
        return kept == n;
    }
    // Mean squares: the weights of a hop add up to window_hops hops' values.
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
    std::vector<double> squares_;
    std::vector<std::size_t> rows_;
    std::vector<const double*> weights_;
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

template <class Mono>
std::vector<double> band_energies(std::size_t frames, std::size_t hops, int rate, Mono& mono) {
    std::vector<double> energy((hops + taps) * band_count, 0.0);
    const int stages = halvings(rate, min_band_rate);
    const double top_rate = rate / std::ldexp(1.0, stages);
    const int middle_stages = halvings(top_rate, 2.0 * band_edges[middle_band + 1]);
    const int low_stages = halvings(top_rate / std::ldexp(1.0, middle_stages), 2.0 * band_edges[low_bands]);
    halving halve(stages), halve_middle(middle_stages), halve_low(low_stages);
    band_group top(middle_band + 1, band_count, rate, stages, hops, energy);
    band_group middle(middle_band, middle_band + 1, rate, stages + middle_stages, hops, energy);
    band_group lower(0, low_bands, rate, stages + middle_stages + low_stages, hops, energy);
    constexpr std::size_t block = band_group::block;
    std::vector<double> values(block << stages), mid(block), low(block);
    const std::size_t total = frames >> stages;
    for (std::size_t done = 0; done < total; done += block) {
        const std::size_t n = std::min(block, total - done);
        for (std::size_t i = 0; i < n << stages; ++i) values[i] = mono((done << stages) + i);
        halve.run(values.data(), n);
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
    return energy;
}

// The envelope of `frames` frames whose mono value `mono(i)` gives: at each
// hop, the rises in dB of every band against the hop before, added up.
// The dB are taken above a floor 30 dB under the file's mean band energy
// (and never under -70 dB from full scale): rises out of a quiet gap count
// the same whatever the hiss, the noise or the level of that gap.
template <class Mono>
envelope envelope_of(std::size_t frames, int rate, Mono&& mono) {
    envelope out;
    if (rate < min_rate || rate > max_rate) return out;
    frames = std::min<std::size_t>(frames, static_cast<std::size_t>(rate) * max_seconds);
    const std::size_t hops = std::min(max_values, frames * hops_per_second / static_cast<std::size_t>(rate));
    if (hops == 0) return out;
    const std::vector<double> energy = band_energies(frames, hops, rate, mono);
    double mean = 0.0;
    for (std::size_t k = 0; k < hops; ++k)
        for (int b = 0; b < band_count; ++b) mean += energy[(k + window_hops - 1) * band_count + b];
    mean /= static_cast<double>(hops * band_count);
    const double floor = std::max(energy_floor, mean * relative_floor);
    out.values.assign(hops, 0);
    double before[band_count];
    for (std::size_t k = 0; k < hops; ++k) {
        double rise = 0.0;
        for (int b = 0; b < band_count; ++b) {
            const double level = 10.0 * std::log10(energy[(k + window_hops - 1) * band_count + b] + floor);
            if (k > 0 && level > before[b]) rise += level - before[b];
            before[b] = level;
        }
        out.values[k] = static_cast<std::uint8_t>(std::min(255.0, std::nearbyint(rise * steps_per_db)));
    }
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

}  // namespace

envelope make_envelope(const float* interleaved, std::size_t frames, int channels, int rate) {
    if (channels <= 0 || interleaved == nullptr) return {};
    const std::size_t ch = static_cast<std::size_t>(channels);
    const double scale = 1.0 / channels;
    return envelope_of(frames, rate, [&](std::size_t i) {
        double s = 0.0;
        for (std::size_t c = 0; c < ch; ++c) s += interleaved[i * ch + c];
        return s * scale;
    });
}

envelope make_envelope(const std::int16_t* interleaved, std::size_t frames, int channels, int rate) {
    if (channels <= 0 || interleaved == nullptr) return {};
    const std::size_t ch = static_cast<std::size_t>(channels);
    const double scale = 1.0 / (32768.0 * channels);
    // Stereo, nearly every song, without the loop over channels.
    if (ch == 2)
        return envelope_of(frames, rate, [&](std::size_t i) {
            return (static_cast<double>(interleaved[2 * i]) + interleaved[2 * i + 1]) * scale;
        });
    return envelope_of(frames, rate, [&](std::size_t i) {
        double s = 0.0;
        for (std::size_t c = 0; c < ch; ++c) s += interleaved[i * ch + c];
        return s * scale;
    });
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
}

std::string encode(const envelope& e) {
    const std::size_t n = std::min(e.values.size(), max_values);
    std::string out(mark, 4);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((n >> shift) & 0xff));
    out.append(reinterpret_cast<const char*>(e.values.data()), n);
    return out;
}

std::optional<envelope> decode(std::string_view bytes) {
    if (bytes.size() < 8 || bytes.size() > max_encoded_bytes || bytes.substr(0, 4) != std::string_view(mark, 4))
        return std::nullopt;
    std::size_t n = 0;
    for (int k = 0; k < 4; ++k) n |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[4 + k])) << (8 * k);
    if (n > max_values || bytes.size() != 8 + n) return std::nullopt;
    envelope e;
    e.values.assign(bytes.begin() + 8, bytes.end());
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
    for (long lag : coarse.peaks) peaks.push_back(refine(x, y, lag));
    const fine_peak best = *std::max_element(peaks.begin(), peaks.end(),
                                             [](const fine_peak& p, const fine_peak& q) { return p.value < q.value; });
    // The best shift away from the peak: another beat of the rhythm, most often.
    double runner_up = -1.0;
    for (const fine_peak& p : peaks)
        if (std::fabs(p.lag - best.lag) > coarse_factor) runner_up = std::max(runner_up, p.value);
    out.ms = best.lag * hop_ms;
    const double standing = coarse.spread > 0.0 ? (coarse.top - coarse.mean) / coarse.spread : 0.0;
    if (figures) *figures = {best.value, runner_up, standing};
    out.clear = best.value >= min_fine_correlation && 1.0 - runner_up >= min_nearer * (1.0 - best.value) &&
                standing >= min_standing;
    if (!out.clear) out.why = "another mix or a live take: the two files' beats do not line up";
    return out;
}

offset align(const envelope& board, const envelope& mine) { return align(board, mine, nullptr); }

}  // namespace alignment
