#pragma once
#include <SDL.h>

#include <cstdint>
#include <string>

#include "shell/colours.hpp"
#include "vaz/xcppsdl.hpp"

// The one window; every fill, blit and line targets its screen surface.
extern vaz::xcppsdl<void>* window;

constexpr int screen_width = 640;
constexpr int screen_height = 480;
constexpr int playfield_left = 105;   // screen x of playfield x = 0
constexpr int playfield_top = 20;     // screen y of playfield y = 0
constexpr int playfield_size = 440;

// Starts SDL's video before the window is made. Returns why the game cannot
// be shown, or an empty string: SDL's video failed to start, or the only
// driver SDL found draws off screen (no display, as over ssh without X) and
// SDL_VIDEODRIVER did not ask for it by name, as tests and benchmarks do.
// A window on X11 is then drawn without OpenGL, which shows it sooner.
std::string start_video(bool fullscreen);

// Drains the event queue; false when a quit request or an Escape key-down came.
bool poll_events();

// The same events, told apart for a stage that returns to its caller: a
// quit request (the window closed) wins over an Escape key-down (leave).
enum class events_ask { carry_on, leave, quit };
events_ask poll_stage_events();

// A Bresenham line straight into the screen, both ends drawn, clipped per pixel.
void draw_line(line_colour colour, int x0, int y0, int x1, int y1);

// The white frame around the playfield, drawn every frame after the clear.
void draw_playfield_border();

// The black clear and the playfield border every frame starts with.
void clear_frame();
