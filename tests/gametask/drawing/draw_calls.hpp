#pragma once
#include <SDL.h>

#include <vector>

#include "shell/sprites.hpp"

// The drawing bodies' fill_rect, draw_line and blit calls, taken over at link
// time (--wrap, see CMakeLists.txt): logged while recording is on, and drawn
// as usual in any case. Shows the order of drawings that look alike.
namespace drawing_test {

struct draw_call {
    char kind;             // 'f' fill_rect, 'l' draw_line, 'b' blit
    int x, y;              // the rectangle's or blit's corner, the line's start
    Uint32 colour;         // a fill's pixel value, a line's 0xRRGGBB
    const sprite* image;   // blits
};

void record_draw_calls(bool on);
std::vector<draw_call>& draw_calls();

}  // namespace drawing_test
