#pragma once
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vaz {

// A whole number from low to high, written alone: an optional sign and
// digits, nothing else (no spaces, no unit). Options and settings files read
// their numbers through this one rule.
inline bool parse_whole_number(const char* text, int low, int high, int& out) {
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || n < low || n > high) return false;
    out = static_cast<int>(n);
    return true;
}

}  // namespace vaz
