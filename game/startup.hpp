#pragma once
#include <string>

// Start-up in two steps around the window. Each returns why the stage cannot
// start (one line, naming the file), or an empty string to go on.

// Before the window: a normal start opens the music and loads the pattern
// file, so that a mistyped name is reported before the screen mode changes.
// A demo start (no files) reads nothing.
std::string open_stage_files(const std::string& music_file, const std::string& pattern_file);

// After the window: the first flow task (the title demo, or the title of a
// normal start), the sprite sheet check and its colour key.
std::string start_stage(bool demo);
