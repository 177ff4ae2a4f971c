#pragma once
#include <SDL.h>

// The game from its command line to its exit status.
int velmora_main(int argc, char** argv);

// Full screen unless "-window" is the last display option after the two file
// names; a demo start (fewer than two files) is always full screen.
bool choose_fullscreen(int argc, char** argv);

// One frame into the screen surface, before the flip: the black clear, the
// playfield border, the update walk, then the drawing walk over both.
void play_frame();
