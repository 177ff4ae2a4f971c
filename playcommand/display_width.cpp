#include "playcommand/display_width.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace playcommand {
namespace {

struct code_range {
    std::uint32_t first, last;
};

#include "playcommand/display_width_table.inc"

template <std::size_t n>
bool in(const code_range (&table)[n], std::uint32_t c) {
    const code_range* r = std::upper_bound(std::begin(table), std::end(table), c,
                                           [](std::uint32_t v, const code_range& x) { return v < x.first; });
    return r != std::begin(table) && c <= (r - 1)->last;
}

// The code point at `at`, or none (false) when the bytes there are not one
// well-formed UTF-8 sequence: no overlong forms, surrogates or values above
// U+10FFFF.
bool decode(const std::string& text, std::size_t at, std::uint32_t& c, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b = byte(at);
    if (b < 0x80) {
        c = b;
        length = 1;
        return true;
    }
    std::uint32_t least;
    if ((b & 0xe0) == 0xc0) {
        length = 2, c = b & 0x1f, least = 0x80;
    } else if ((b & 0xf0) == 0xe0) {
        length = 3, c = b & 0x0f, least = 0x800;
    } else if ((b & 0xf8) == 0xf0) {
        length = 4, c = b & 0x07, least = 0x10000;
    } else {
        return false;
    }
    if (at + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xc0) != 0x80) return false;
        c = c << 6 | (byte(at + k) & 0x3f);
    }
    return c >= least && c <= 0x10ffff && !(c >= 0xd800 && c <= 0xdfff);
}

}  // namespace

int code_point_width(const std::string& text, std::size_t at, std::size_t& length) {
    std::uint32_t c = 0;
    if (!decode(text, at, c, length)) {
        length = 1;
        return 1;
    }
    if (in(zero_width, c)) return 0;
    return in(double_width, c) ? 2 : 1;
}

std::size_t display_width(const std::string& text) {
    std::size_t cells = 0;
    for (std::size_t at = 0, length = 0; at < text.size(); at += length)
        cells += static_cast<std::size_t>(code_point_width(text, at, length));
    return cells;
}

}  // namespace playcommand
