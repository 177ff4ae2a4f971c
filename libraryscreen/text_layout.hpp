#pragma once
#include <SDL.h>

#include <string>
#include <vector>

#include "text/text_cache.hpp"

// Text laid out by its measured width, so that nothing the library screen
// writes runs past its room or into another text.
namespace libraryscreen {

// The lines of `text` at most `width` pixels wide: broken at spaces, and
// between characters inside a word too wide for a line or in a script
// written without spaces; at most max_lines (0: any number), the last one
// then cut with an ellipsis when the text goes on.
std::vector<std::string> wrap_lines(text::text_cache& text, const std::string& utf8, int size, int width,
                                    int max_lines = 0);

// Draws the wrapped lines from y down, each a line height apart; the y
// below the last line.
int draw_wrapped(text::text_cache& text, SDL_Surface* target, int x, int y, const std::string& utf8,
                 const text::style& s, int width, int max_lines = 0);

// The pixels from one line to the next at a size.
int line_step(text::text_cache& text, int size);

}  // namespace libraryscreen
