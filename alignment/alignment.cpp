#include "alignment/alignment.hpp"

#include <algorithm>
#include <cmath>
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
// The bands are filtered at the file's rate halved until it would drop
// under this: a quarter of the work at 44.1 and 48 kHz.
constexpr double min_band_rate = 11025;

struct band_filters {
    biquad high[band_count], low[band_count];
    explicit band_filters(double rate) {
        for (int b = 0; b < band_count; ++b) {
            high[b] = biquad::pass(std::max(band_edges[b], 20.0), rate, true);
            low[b] = biquad::pass(band_edges[b + 1], rate, false);
        }
    }
    void run(double x, double out[band_count]) {
        for (int b = 0; b < band_count; ++b) out[b] = low[b].run(high[b].run(x));
    }
    void flush() {
        for (int b = 0; b < band_count; ++b) {
            high[b].flush();
            low[b].flush();
        }
    }
};

// Halves the rate `stages` times, each time by [1 2 1] / 4 centred on every
// other value (a zero at the new rate's Nyquist frequency and no delay:
// value j out stands for value j << stages in).
class halving {
public:
    explicit halving(int stages) : stages_(stages) {}
    // Takes the next value; true with `out` set when one comes out.
    bool push(double x, double& out) {
        for (int s = 0; s < stages_; ++s) {
            stage& st = stage_[s];
            if (!st.odd) {
                st.centre = x;
                st.odd = true;
                return false;
            }
            const double y = 0.25 * (st.before + 2.0 * st.centre + x);
            st.before = x;
            st.odd = false;
            x = y;
        }
        out = x;
        return true;
    }

private:
    struct stage {
        double before = 0.0, centre = 0.0;  // the values two and one before
        bool odd = false;
    };
    int stages_;
    stage stage_[16];
};

// The energy of each band at every hop, gathered with a raised-cosine
// window 2 * window_hops hops wide, so the values move smoothly when the
// music moves by a fraction of a hop: that is what lets the correlation
// peak be placed between hops. Row k + window_hops - 1 holds hop k.
constexpr int window_hops = 2;

template <class Mono>
std::vector<double> band_energies(std::size_t frames, std::size_t hops, int rate, Mono& mono) {
    const std::size_t taps = 2 * static_cast<std::size_t>(window_hops);
    std::vector<double> energy((hops + taps) * band_count, 0.0);
    int stages = 0;
    while (stages < 15 && rate / std::ldexp(1.0, stages + 1) >= min_band_rate) ++stages;
    halving halve(stages);
    band_filters filters(rate / std::ldexp(1.0, stages));
    // Band value j stands for sample j << stages, at hop
    // (j << stages) * hops_per_second / rate: a whole part k and a fraction
    // r / rate that repeats every `period` values, so the window's weights
    // are worked out once for each.
    const std::size_t r_rate = static_cast<std::size_t>(rate), step = std::size_t{hops_per_second} << stages;
    std::size_t period = r_rate;
    for (std::size_t a = r_rate, b = step; b != 0;) period = r_rate / (a = std::exchange(b, a % b));
    std::vector<double> weights(period * taps);
    for (std::size_t i = 0; i < period; ++i) {
        const double f = static_cast<double>(i * step % r_rate) / rate;
        for (std::size_t j = 0; j < taps; ++j) {
            const double d = f - (static_cast<double>(j) - window_hops + 1);  // from hop k - window_hops + 1 + j
            weights[i * taps + j] = 0.5 * (1.0 + std::cos(pi * d / window_hops));
        }
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        double x;
        if (!halve.push(mono(i), x)) continue;
        double y[band_count];
        filters.run(x, y);
        const std::size_t k = j * step / r_rate;
        if (k > hops) break;
        const double* w = &weights[(j % period) * taps];
        double* e = &energy[k * band_count];
        for (int b = 0; b < band_count; ++b) {
            const double sq = y[b] * y[b];
            for (std::size_t t = 0; t < taps; ++t) e[t * band_count + b] += w[t] * sq;
        }
        if (j % period == 0) filters.flush();
        ++j;
    }
    // Mean squares: the weights of a hop add up to window_hops hops' values.
    const double per_hop = static_cast<double>(window_hops) * rate / std::ldexp(1.0, stages) / hops_per_second;
    for (double& e : energy) e /= per_hop;
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
    if (rate < 1000) return out;
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

double correlation(const series& x, const series& y, long lag) {
    const long from = std::max(0L, -lag);
    const long to = std::min(x.size(), y.size() - lag);
    if (to - from < 2) return 0.0;
    double xy = 0.0;
    for (long i = from; i < to; ++i) xy += x.v[i] * y.v[i + lag];
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
        if (overlap_of(x, y, lag) >= min_overlap) curve.emplace_back(lag, correlation(x, y, lag));
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
