#pragma once
#include "libraryscreen/preparing.hpp"
#include "libraryscreen/screen_state.hpp"

// A song played from the list, or its best run watched: its stage found or
// prepared, the game's stage in the one window, back to the list.
namespace libraryscreen {

void play_song(screen_state& s, const chosen_song& song);
void watch_best(screen_state& s, const chosen_song& song);

// Back from a stage: the list's keys and joystick events as it wants them.
void back_to_list(screen_state& s);

}  // namespace libraryscreen
