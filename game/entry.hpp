#pragma once
#include <SDL.h>

// The game from its command line to its exit status: one stage (game/stage.hpp).
int velmora_main(int argc, char** argv);

// A frame of one update into the screen surface, before the flip: the black
// clear, the playfield border, the update walk, then the drawing walk over
// both. The frame loop does the same with as many updates as its clock asks.
void play_frame();
