#pragma once
#include "game/options.hpp"

// Start-up in two steps around the window. Each returns 0 to go on, or the
// exit status to end with after one line on standard error.

// Before the window: a normal start opens the music and loads the pattern
// file, so that a mistyped name is reported before the screen mode changes.
// A demo start reads nothing.
int open_stage_files(const game_options& o);

// After the window: the first flow task (the title demo, or the title of a
// normal start), the sprite sheet check and its colour key.
int start_stage(const game_options& o);
