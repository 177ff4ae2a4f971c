#include "tools/measure/stage_measure.hpp"

#include <ebur128.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <numeric>
#include <sstream>

#include "converter/dynamics.hpp"
#include "pattern/pattern_loader.hpp"

namespace stage_measure {

std::optional<groups> parse_stage(const std::vector<std::uint8_t>& bytes) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    pattern_group loaded[pattern::max_groups];
    signed char count = 0;
    if (load_pattern(in, loaded, count).status != pattern_load_status::loaded) return std::nullopt;
    groups out(static_cast<std::size_t>(count));
    for (int g = 0; g < count; ++g)
        for (std::uint32_t i = 0; i < loaded[g].size(); ++i) out[static_cast<std::size_t>(g)].push_back(loaded[g][i]);
    return out;
}

std::optional<groups> read_stage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return parse_stage(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

std::vector<double> events_per_second(const groups& stage, std::uint32_t seconds) {
    std::vector<double> per(seconds, 0.0);
    for (const auto& g : stage)
        for (const bullet_pattern_element& e : g)
            if (e.time >= 0 && e.time / pattern::ticks_per_second < static_cast<std::int64_t>(seconds))
                per[static_cast<std::size_t>(e.time / pattern::ticks_per_second)] += 1.0;
    return per;
}

std::vector<double> short_term_loudness(const std::vector<std::int16_t>& values, unsigned channels) {
    constexpr std::size_t rate = 44100;
    const unsigned used = std::min(channels, 2u);
    const std::size_t frames = channels == 0 ? 0 : values.size() / channels;
    const std::size_t seconds = frames / rate;
    std::vector<double> loudness(seconds, -HUGE_VAL);
    if (seconds == 0) return loudness;
    ebur128_state* st = ebur128_init(used, rate, EBUR128_MODE_S);
    if (!st) return loudness;
    if (used == 1) ebur128_set_channel(st, 0, EBUR128_DUAL_MONO);
    std::vector<short> chunk(rate * used);
    // After second k the 3 s window is centred on second k - 1.
    for (std::size_t k = 0; k <= seconds; ++k) {
        for (std::size_t n = 0; n < rate; ++n)
            for (unsigned c = 0; c < used; ++c) {
                const std::size_t f = k * rate + n;
                chunk[n * used + c] = k < seconds && f < frames ? values[f * channels + c] : 0;
            }
        ebur128_add_frames_short(st, chunk.data(), rate);
        if (k >= 1) ebur128_loudness_shortterm(st, &loudness[k - 1]);
    }
    ebur128_destroy(&st);
    return loudness;
}

std::optional<music> read_music(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return std::nullopt;
    music m;
    m.channels = static_cast<unsigned>(info.channels);
    std::vector<short> buffer(4096 * m.channels);
    sf_count_t got;
    while ((got = sf_readf_short(f, buffer.data(), 4096)) > 0)
        m.values.insert(m.values.end(), buffer.begin(), buffer.begin() + got * info.channels);
    sf_close(f);
    if (info.samplerate != 44100 || m.channels == 0) return std::nullopt;
    return m;
}

double pearson(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n < 2) return 0.0;
    const double ma = std::accumulate(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), 0.0) / static_cast<double>(n);
    const double mb = std::accumulate(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n), 0.0) / static_cast<double>(n);
    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa > 0.0 && sbb > 0.0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

namespace {

std::vector<double> ranks(const std::vector<double>& v) {
    std::vector<std::size_t> order(v.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return v[x] < v[y]; });
    std::vector<double> r(v.size());
    for (std::size_t i = 0; i < order.size();) {
        std::size_t j = i;
        while (j < order.size() && v[order[j]] == v[order[i]]) ++j;
        for (std::size_t k = i; k < j; ++k) r[order[k]] = 0.5 * static_cast<double>(i + j - 1);
        i = j;
    }
    return r;
}

}  // namespace

double spearman(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    return pearson(ranks({a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n)}),
                   ranks({b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)}));
}

double mean_over(const std::vector<double>& per_second, double from, double to) {
    double sum = 0.0;
    int n = 0;
    for (std::size_t s = 0; s < per_second.size(); ++s)
        if (static_cast<double>(s) >= from && static_cast<double>(s + 1) <= to) {
            sum += per_second[s];
            ++n;
        }
    return n == 0 ? 0.0 : sum / n;
}

std::size_t events_between(const groups& stage, double from, double to) {
    std::size_t n = 0;
    for (const auto& g : stage)
        for (const bullet_pattern_element& e : g) {
            const double t = static_cast<double>(e.time) / pattern::ticks_per_second;
            if (t >= from && t < to) ++n;
        }
    return n;
}

std::vector<std::int64_t> arrival_ticks(const groups& stage) {
    std::vector<std::int64_t> ticks;
    for (const auto& g : stage)
        for (const bullet_pattern_element& e : g)
            ticks.push_back(static_cast<std::int64_t>(e.time) + converter::beat_flight_ticks(e.angle, e.speed));
    std::sort(ticks.begin(), ticks.end());
    return ticks;
}

std::vector<double> count_per_bin(const std::vector<std::int64_t>& ticks, std::size_t bins, int bin_ticks) {
    std::vector<double> per(bins, 0.0);
    for (std::int64_t t : ticks)
        if (t >= 0 && static_cast<std::size_t>(t / bin_ticks) < bins) per[static_cast<std::size_t>(t / bin_ticks)] += 1.0;
    return per;
}

std::vector<double> loudness_per_tenth(const std::vector<std::int16_t>& values, unsigned channels) {
    constexpr std::size_t rate = 44100, tenth = rate / 10;
    const unsigned used = std::min(channels, 2u);
    const std::size_t frames = channels == 0 ? 0 : values.size() / channels;
    std::vector<double> loudness(frames / tenth, -70.0);
    if (loudness.empty()) return loudness;
    ebur128_state* st = ebur128_init(used, rate, EBUR128_MODE_M);
    if (!st) return loudness;
    if (used == 1) ebur128_set_channel(st, 0, EBUR128_DUAL_MONO);
    // The music fed 150 ms late: once 400 ms more than tenth k's start
    // are in, the meter's window is centred on tenth k.
    const std::size_t late = rate * 15 / 100, window = rate * 4 / 10;
    std::vector<short> chunk(window * used);
    std::size_t fed = 0;  // frames of the delayed music
    auto feed_to = [&](std::size_t end) {
        while (fed < end) {
            const std::size_t n = std::min(window, end - fed);
            for (std::size_t k = 0; k < n; ++k)
                for (unsigned c = 0; c < used; ++c) {
                    const std::size_t at = fed + k;
                    chunk[k * used + c] = at >= late && at - late < frames ? values[(at - late) * channels + c] : 0;
                }
            ebur128_add_frames_short(st, chunk.data(), n);
            fed += n;
        }
    };
    for (std::size_t k = 0; k < loudness.size(); ++k) {
        feed_to(k * tenth + window);
        double m = -HUGE_VAL;
        ebur128_loudness_momentary(st, &m);
        if (m > -70.0) loudness[k] = m;
    }
    ebur128_destroy(&st);
    return loudness;
}

int best_shift(const std::vector<double>& a, const std::vector<double>& b, int max_shift) {
    int best = 0;
    double best_r = -2.0;
    for (int s = -max_shift; s <= max_shift; ++s) {
        std::vector<double> x, y;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::int64_t j = static_cast<std::int64_t>(i) + s;
            if (j < 0 || j >= static_cast<std::int64_t>(b.size())) continue;
            x.push_back(a[i]);
            y.push_back(b[static_cast<std::size_t>(j)]);
        }
        const double r = pearson(x, y);
        // The smallest shift of equal ones.
        if (r > best_r || (r == best_r && std::abs(s) < std::abs(best))) {
            best_r = r;
            best = s;
        }
    }
    return best;
}

std::size_t ticks_in_digital_silence(const std::vector<std::int64_t>& ticks, const std::vector<std::int16_t>& values,
                                     unsigned channels) {
    constexpr std::size_t frame = 44100 / pattern::ticks_per_second;
    const std::size_t frames = channels == 0 ? 0 : values.size() / channels;
    std::size_t n = 0;
    for (std::int64_t t : ticks) {
        if (t < 0) continue;
        const std::size_t first = static_cast<std::size_t>(t) * frame;
        bool silent = true;
        for (std::size_t f = first; f < first + frame && silent; ++f)
            for (unsigned c = 0; c < channels && silent; ++c) silent = f >= frames || values[f * channels + c] == 0;
        n += silent;
    }
    return n;
}

onset_match near_onsets(const std::vector<std::int64_t>& arrivals, const std::vector<double>& onsets, double within,
                        double length) {
    onset_match m;
    auto near = [&](double t) {
        const auto it = std::lower_bound(onsets.begin(), onsets.end(), t - within);
        return it != onsets.end() && *it <= t + within;
    };
    std::size_t n = 0;
    for (std::int64_t a : arrivals) n += near(static_cast<double>(a) / pattern::ticks_per_second);
    if (!arrivals.empty()) m.arrivals_near = static_cast<double>(n) / static_cast<double>(arrivals.size());
    // The union of the onsets' neighbourhoods inside the music.
    double covered = 0.0, reach = 0.0;
    for (double o : onsets) {
        const double from = std::max({o - within, reach, 0.0}), to = std::min(o + within, length);
        if (to > from) covered += to - from;
        reach = std::max(reach, o + within);
    }
    if (length > 0.0) m.chance = covered / length;
    std::vector<double> times;
    for (std::int64_t a : arrivals) times.push_back(static_cast<double>(a) / pattern::ticks_per_second);
    std::sort(times.begin(), times.end());
    std::size_t carrying = 0;
    for (double o : onsets) {
        const auto it = std::lower_bound(times.begin(), times.end(), o - within);
        carrying += it != times.end() && *it <= o + within;
    }
    if (!onsets.empty()) m.onsets_carrying = static_cast<double>(carrying) / static_cast<double>(onsets.size());
    return m;
}

repeat_match repeated_flights(const groups& stage, const std::vector<bar_repeat>& repeats, int slack) {
    struct arrival {
        std::int64_t tick;
        float angle, speed;
    };
    repeat_match m;
    std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
    for (const auto& group : stage)
        for (const bullet_pattern_element& e : group)
            earliest = std::min<std::int64_t>(earliest, e.time + converter::beat_flight_ticks(e.angle, e.speed));
    for (const auto& group : stage) {
        std::vector<arrival> arrivals;
        for (const bullet_pattern_element& e : group)
            arrivals.push_back({e.time + converter::beat_flight_ticks(e.angle, e.speed), e.angle, e.speed});
        std::sort(arrivals.begin(), arrivals.end(), [](const arrival& a, const arrival& b) { return a.tick < b.tick; });
        const auto from = [&](std::int64_t t) {
            return std::lower_bound(arrivals.begin(), arrivals.end(), t,
                                    [](const arrival& a, std::int64_t x) { return a.tick < x; });
        };
        for (const bar_repeat& r : repeats) {
            std::vector<char> taken(arrivals.size(), 0);
            for (auto a = from(r.from); a != arrivals.end() && a->tick < r.from + r.length; ++a) {
                const std::int64_t place = r.first + (a->tick - r.from);
                if (place + slack < earliest) continue;
                ++m.arrivals;
                for (auto b = from(place - slack); b != arrivals.end() && b->tick <= place + slack; ++b) {
                    char& used = taken[static_cast<std::size_t>(b - arrivals.begin())];
                    if (used || b->angle != a->angle || b->speed != a->speed) continue;
                    used = 1;
                    ++m.matching;
                    break;
                }
            }
        }
    }
    return m;
}

}  // namespace stage_measure
