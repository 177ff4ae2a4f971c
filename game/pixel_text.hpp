#pragma once
#include <string>

#include "shell/colours.hpp"

// The game's own small lettering: 3x5 glyphs, each glyph pixel drawn as a
// square of `pixel` screen pixels, for the corners that say how a stage is
// played (watching, a ghost) without a font file. Digits, capitals, "x" and
// a few signs; any other character is a blank of the same width.
constexpr int pixel_text_advance(int pixel) { return 4 * pixel; }  // a glyph and a column of space
void draw_pixel_text(const std::string& text, int x, int y, fill_colour colour, int pixel);

// Text as the lettering can show it: small letters as capitals, any other
// character the glyphs lack (a whole UTF-8 sequence counting as one) as "?".
std::string pixel_text_of(const std::string& utf8);
