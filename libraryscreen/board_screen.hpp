#pragma once
#include "libraryscreen/preparing.hpp"
#include "libraryscreen/screen_state.hpp"

namespace libraryscreen {

// The highlighted song's world board (F6): the top runs and the player's,
// then the other versions of its recording. Return on a run downloads it and
// plays it back in the window; on a version, plays that stage with the
// player's own file. Escape goes back.
void board_screen(screen_state& s, const chosen_song& song);

}  // namespace libraryscreen
