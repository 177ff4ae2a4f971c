#include "results/watch_pace.hpp"

#include <cstdio>

namespace results {

namespace {

constexpr int speed_steps[] = {25, 50, 100, 200, 400, 800};

// Digits with at most `decimals` places after an optional point, as a
// whole number of 10^-decimals; false for anything else or past `limit`.
bool parse_fixed(const std::string& text, int decimals, std::int64_t limit, std::int64_t& out) {
    std::int64_t whole = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + (text[i] - '0');
        if (whole > limit) return false;
    }
    const bool had_whole = i > 0;
    int places = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            if (++places > decimals) return false;
            whole = whole * 10 + (text[i] - '0');
        }
    }
    if (i != text.size() || (!had_whole && places == 0)) return false;
    for (; places < decimals; ++places) whole *= 10;
    out = whole;
    return true;
}

}  // namespace

bool parse_watch_speed(const std::string& text, int& hundredths, std::string& why) {
    std::string number = text;
    if (!number.empty() && (number.back() == 'x' || number.back() == 'X')) number.pop_back();
    std::int64_t n = 0;
    if (!parse_fixed(number, 2, 1000000, n) || n < watch_speed_slowest || n > watch_speed_fastest) {
        why = "the speed is 0.25 to 8 times the recorded pace, in hundredths at most, not \"" + text + "\"";
        return false;
    }
    hundredths = static_cast<int>(n);
    return true;
}

std::string watch_speed_text(int hundredths) {
    char text[16];
    if (hundredths % 100 == 0)
        std::snprintf(text, sizeof text, "%dx", hundredths / 100);
    else if (hundredths % 10 == 0)
        std::snprintf(text, sizeof text, "%d.%dx", hundredths / 100, hundredths / 10 % 10);
    else
        std::snprintf(text, sizeof text, "%d.%02dx", hundredths / 100, hundredths % 100);
    return text;
}

int faster_watch_speed(int hundredths) {
    for (int s : speed_steps)
        if (s > hundredths) return s;
    return watch_speed_fastest;
}

int slower_watch_speed(int hundredths) {
    int below = watch_speed_slowest;
    for (int s : speed_steps)
        if (s < hundredths) below = s;
    return below;
}

bool parse_watch_moment(const std::string& text, std::int64_t& ms, std::string& why) {
    // A day of play is far past any replay; the limit only keeps the sums small.
    constexpr std::int64_t limit_seconds = 24 * 60 * 60;
    std::int64_t minutes = 0, seconds_ms = 0;
    const std::size_t colon = text.find(':');
    bool ok = true;
    if (colon != std::string::npos) {
        ok = parse_fixed(text.substr(0, colon), 0, limit_seconds / 60, minutes) &&
             parse_fixed(text.substr(colon + 1), 3, 59, seconds_ms) && text.size() - colon > 2 &&
             text[colon + 2] != '.';
    } else {
        ok = parse_fixed(text, 3, limit_seconds, seconds_ms);
    }
    if (!ok) {
        why = "a moment is seconds (60, 61.5) or minutes and seconds (1:01.5), not \"" + text + "\"";
        return false;
    }
    ms = minutes * 60000 + seconds_ms;
    return true;
}

std::string watch_moment_text(std::uint32_t update) {
    const std::uint32_t tenths = update / (watch_updates_per_second / 10);
    char text[24];
    std::snprintf(text, sizeof text, "%u:%02u.%u", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

}  // namespace results
