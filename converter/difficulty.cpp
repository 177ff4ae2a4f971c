#include "converter/difficulty.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace converter {

const char* difficulty_name(difficulty d) {
    switch (d) {
        case difficulty::easy: return "easy";
        case difficulty::normal: return "normal";
        case difficulty::hard: return "hard";
    }
    return "hard";
}

std::optional<difficulty> difficulty_from_name(std::string_view name) {
    for (difficulty d : {difficulty::easy, difficulty::normal, difficulty::hard})
        if (name == difficulty_name(d)) return d;
    return std::nullopt;
}

stage_caps caps_of(difficulty d) {
    switch (d) {
        case difficulty::easy: return {6, 4, 24};
        case difficulty::normal: return {2, 10, 60};
        case difficulty::hard: return {1, 0, 0};
    }
    return {1, 0, 0};
}

int flight_ticks(float speed) {
    constexpr int longest = 60 * pattern::ticks_per_second;
    constexpr double path = 220.0 + 440.0;
    const double a = std::fabs(static_cast<double>(speed));
    if (!(a * longest > path)) return longest;
    return static_cast<int>(std::ceil(path / a));
}

namespace {

struct candidate {
    std::int64_t second;
    float strength;
    std::int32_t time;
    unsigned group;
    std::size_t index;
};

bool stronger(const candidate& a, const candidate& b) {
    if (a.second != b.second) return a.second < b.second;
    if (a.strength != b.strength) return a.strength > b.strength;
    if (a.time != b.time) return a.time < b.time;
    if (a.group != b.group) return a.group < b.group;
    return a.index < b.index;
}

// An event kept in the second being decided, with the number of kept
// events on the playfield at its launch, itself included.
struct launched {
    std::int64_t time, end;
    unsigned in_flight;
};

}  // namespace

void thin_stage(stage_events& groups, stage_caps caps) {
    if (caps.one_in <= 1 && caps.per_second == 0 && caps.in_flight == 0) return;
    std::vector<candidate> all;
    for (unsigned g = 0; g < groups.size(); ++g) {
        for (std::size_t i = 0; i < groups[g].size(); ++i) {
            const bullet_pattern_element& e = groups[g][i];
            const float speed = std::fabs(e.speed);
            const std::int64_t t = e.time;
            const std::int64_t second = t >= 0 ? t / pattern::ticks_per_second : -((-t - 1) / pattern::ticks_per_second) - 1;
            all.push_back({second, speed == speed ? speed : 0.0f, e.time, g, i});
        }
    }
    std::sort(all.begin(), all.end(), stronger);

    std::vector<std::vector<char>> kept(groups.size());
    for (unsigned g = 0; g < groups.size(); ++g) kept[g].assign(groups[g].size(), 0);
    // Ends of the bullets kept in earlier seconds that may still fly, ascending.
    std::vector<std::int64_t> earlier_ends;
    std::vector<launched> now;
    std::uint64_t share_carry = 0;
    const std::uint64_t one_in = std::max(caps.one_in, 1u);
    for (std::size_t first = 0; first < all.size();) {
        const std::int64_t second = all[first].second;
        std::size_t last = first;
        while (last < all.size() && all[last].second == second) ++last;
        const std::uint64_t share = (last - first + share_carry) / one_in;
        share_carry = (last - first + share_carry) % one_in;
        const std::uint64_t allowed = caps.per_second == 0 ? share : std::min<std::uint64_t>(share, caps.per_second);

        const std::int64_t start = second * pattern::ticks_per_second;
        earlier_ends.erase(earlier_ends.begin(), std::upper_bound(earlier_ends.begin(), earlier_ends.end(), start));
        now.clear();
        for (std::size_t k = first; k < last; ++k) {
            if (now.size() >= allowed) break;
            const candidate& c = all[k];
            const std::int64_t t = c.time;
            const std::int64_t end = t + flight_ticks(groups[c.group][c.index].speed);
            unsigned in_flight = 1;
            if (caps.in_flight != 0) {
                // The playfield is fullest at a launch, so checking this one
                // and every later launch it overlaps keeps the cap.
                in_flight += static_cast<unsigned>(earlier_ends.end() -
                                                   std::upper_bound(earlier_ends.begin(), earlier_ends.end(), t));
                bool fits = true;
                for (const launched& l : now) {
                    if (l.time <= t && t < l.end) ++in_flight;
                    if (t <= l.time && l.time < end && l.in_flight + 1 > caps.in_flight) fits = false;
                }
                if (!fits || in_flight > caps.in_flight) continue;
                for (launched& l : now)
                    if (t <= l.time && l.time < end) ++l.in_flight;
            }
            now.push_back({t, end, in_flight});
            kept[c.group][c.index] = 1;
        }
        for (const launched& l : now) earlier_ends.push_back(l.end);
        std::sort(earlier_ends.begin(), earlier_ends.end());
        first = last;
    }

    for (unsigned g = 0; g < groups.size(); ++g) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < groups[g].size(); ++i)
            if (kept[g][i]) groups[g][out++] = groups[g][i];
        groups[g].resize(out);
    }
}

}  // namespace converter
