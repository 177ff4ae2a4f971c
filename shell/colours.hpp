#pragma once
#include <SDL.h>

// The two ways the game names a colour, kept apart so one cannot be passed
// where the other is meant.

// A raw pixel value of the 32-bit screen, written as it is (fill_rect).
struct fill_colour {
    Uint32 pixel;
};

// A colour as 0xRRGGBB, mapped through the screen's format (draw_line).
struct line_colour {
    int rgb;
};
