#pragma once
#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

#include "shell/sprites.hpp"

// The drawing tests render into the game's real screen surface under the dummy
// video driver. Only one window may exist in a process, so it is opened once,
// together with the drawing layer, and shared by every test.
namespace drawing_test {

// Opens the window (once), spawns the drawing tasks (once) and gives the
// sheet its colour key the way start-up does.
void open_screen();

// Fills the whole screen with a raw pixel value.
void clear_screen(Uint32 pixel = 0);

Uint32 screen_pixel(int x, int y);
Uint32 screen_rgb(int r, int g, int b);

struct rgb {
    int r, g, b;
    bool operator==(const rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

// A pixel of the sheet, read from a copy of "data/p.bmp" loaded by the tests
// themselves rather than from the game's keyed (and RLE-encoded) surface.
rgb sheet_rgb(int x, int y);
bool sheet_is_transparent(int x, int y);
int opaque_pixel_count(const sprite& s);

// How many opaque pixels of s show in their own colour with the sprite's
// corner at screen (x, y).
int matching_pixels(const sprite& s, int x, int y);

// s drawn at (x, y) over a background: every opaque pixel in its colour and
// every transparent one showing background.
testing::AssertionResult shows_exactly(const sprite& s, int x, int y, Uint32 background = 0);

// Every opaque pixel of s at (x, y), whatever lies around it.
testing::AssertionResult shows(const sprite& s, int x, int y);

// The digits drawn from (x, y) to the right, 5 pixels apart; '?' where no
// digit sprite matches.
std::string digits_shown(int x, int y, int count);

}  // namespace drawing_test
