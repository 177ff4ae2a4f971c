#pragma once
#include <cstddef>
#include <string>

namespace playcommand {

// How many terminal cells text takes, as a terminal in a UTF-8 locale shows
// it: East Asian wide and fullwidth characters two, combining marks, format
// characters and Hangul's joined vowels and consonants none, the rest one.
// A byte that does not begin a valid UTF-8 sequence counts as one cell (a
// terminal shows it as one replacement character). The widths come from
// the Unicode data (display_width_table.inc), not from the locale.
std::size_t display_width(const std::string& text);

// The first code point of text at `at` and its width in cells; `length` is
// the bytes it takes (1 for a byte that is not valid UTF-8).
int code_point_width(const std::string& text, std::size_t at, std::size_t& length);

}  // namespace playcommand
