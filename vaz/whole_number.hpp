#pragma once
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace vaz {

// The whole numbers an option or a setting takes; its messages say the range
// in these words, so that it is written down once.
struct whole_range {
    int low;
    int high;

    std::string span() const { return std::to_string(low) + " to " + std::to_string(high); }  // "-500 to 500"
    std::string text() const { return "from " + span(); }                                     // "from -500 to 500"
    bool holds(long n) const { return n >= low && n <= high; }
};

// A whole number in the range, written alone: an optional sign and digits,
// nothing else (no spaces, no unit). Options and settings files read their
// numbers through this one rule.
inline bool parse_whole_number(const char* text, whole_range range, int& out) {
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || !range.holds(n)) return false;
    out = static_cast<int>(n);
    return true;
}

}  // namespace vaz
