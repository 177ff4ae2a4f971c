#pragma once

// Start-up after the window exists: the demo or normal start, the music, the
// pattern file, the first flow task, the sprite sheet check and its colour key.
// Returns 0 to go on to the frame loop, or the exit status to end with.
int start_stage(int argc, char** argv);
