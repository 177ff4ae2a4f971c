#pragma once
#include <cstddef>
#include <string>

namespace playcommand {

// How many terminal cells text takes, as a terminal in a UTF-8 locale shows
// it: East Asian wide and fullwidth characters two, combining marks, format
// characters and Hangul's joined vowels and consonants none, the rest one.
// What is not UTF-8 counts one cell for each ill-formed part, as
// vaz/utf8.hpp reads it (one replacement character). The widths come from
// the Unicode data (display_width_table.inc), not from the locale.
std::size_t display_width(const std::string& text);

// The width in cells of the code point (or ill-formed part) at `at` of text;
// `length` is the bytes it takes.
int code_point_width(const std::string& text, std::size_t at, std::size_t& length);

}  // namespace playcommand
