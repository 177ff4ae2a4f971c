#include "playcommand/display_width.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "vaz/utf8.hpp"

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

}  // namespace

int code_point_width(const std::string& text, std::size_t at, std::size_t& length) {
    const vaz::utf8_sequence q = vaz::utf8_sequence_at(text, at);
    length = q.length;
    const auto c = static_cast<std::uint32_t>(q.code_point);
    if (!q.valid) return 1;
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
