#pragma once
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace vaz {

// A length as the screens and tables show it: m:ss, or h:mm:ss from an hour
// on, rounded to the second (nothing below zero).
inline std::string clock_text(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace vaz
