#include "shell/music.hpp"

// This audio layer does not report where playback stands yet, so the frame
// loop keeps to the wall clock.
bool music_playing() { return false; }

bool music_clock(music_pacing::reading&) { return false; }

bool music_pause() { return false; }

bool music_resume() { return false; }
