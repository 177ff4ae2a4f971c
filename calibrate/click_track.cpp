#include "calibrate/click_track.hpp"

#include <algorithm>
#include <cmath>

#include "vaz/limits.hpp"

namespace calibrate {
namespace {

constexpr double click_seconds = 0.03;
constexpr double click_hz = 1760.0;
constexpr double click_amplitude = 0.6;

// Linear interpolation between the sorted values' ranks; q from 0 to 1.
double quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0.0;
    const double at = q * static_cast<double>(sorted.size() - 1);
    const std::size_t below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

}  // namespace

std::int64_t click_frame(const click_plan& plan, int k) { return plan.first_click_frame + k * plan.period_frames; }

std::int64_t track_frames(const click_plan& plan) { return click_frame(plan, plan.clicks - 1) + plan.period_frames; }

std::vector<std::int16_t> render_click_track(const click_plan& plan) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(track_frames(plan)) * 2, 0);
    const std::int64_t length = static_cast<std::int64_t>(click_seconds * plan.rate);
    const double pi = std::acos(-1.0);
    for (int k = 0; k < plan.clicks; ++k) {
        const std::int64_t start = click_frame(plan, k);
        for (std::int64_t i = 0; i < length; ++i) {
            const double t = static_cast<double>(i) / plan.rate;
            // Full strength at its first frame, where the click is heard.
            const double envelope = std::exp(-t / (click_seconds / 5.0));
            const double v = click_amplitude * envelope * std::cos(2.0 * pi * click_hz * t);
            const auto s = static_cast<std::int16_t>(std::lround(v * 32767.0));
            samples[static_cast<std::size_t>(start + i) * 2] = s;
            samples[static_cast<std::size_t>(start + i) * 2 + 1] = s;
        }
    }
    return samples;
}

press_matches match_presses(const click_plan& plan, const std::vector<std::int64_t>& press_frames) {
    press_matches m;
    std::vector<bool> taken(static_cast<std::size_t>(plan.clicks), false);
    for (const std::int64_t f : press_frames) {
        // The nearest click, rounding half-way presses to the later one.
        const std::int64_t a = f - plan.first_click_frame + plan.period_frames / 2;
        const std::int64_t b = plan.period_frames;
        const std::int64_t k = std::clamp<std::int64_t>(a >= 0 ? a / b : -((-a + b - 1) / b), 0, plan.clicks - 1);
        const std::int64_t d = f - click_frame(plan, static_cast<int>(k));
        if (2 * std::abs(d) >= plan.period_frames || taken[static_cast<std::size_t>(k)]) {
            ++m.unmatched;
            continue;
        }
        taken[static_cast<std::size_t>(k)] = true;
        m.offsets_ms.push_back(static_cast<double>(d) * 1000.0 / plan.rate);
    }
    return m;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return quantile(values, 0.5);
}

double interquartile_range(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return quantile(values, 0.75) - quantile(values, 0.25);
}

calibration judge(const press_matches& matches) {
    calibration c{verdict::accepted, static_cast<int>(matches.offsets_ms.size()), 0.0, 0};
    if (c.presses < min_presses) {
        c.outcome = verdict::too_few;
        return c;
    }
    c.spread_ms = interquartile_range(matches.offsets_ms);
    if (c.spread_ms > max_spread_ms) {
        c.outcome = verdict::too_spread;
        return c;
    }
    const long ms = std::lround(median(matches.offsets_ms));
    c.offset_ms = static_cast<int>(std::clamp<long>(ms, vaz::offset_ms_range.low, vaz::offset_ms_range.high));
    return c;
}

}  // namespace calibrate
