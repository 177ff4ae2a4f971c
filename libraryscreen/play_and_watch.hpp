#pragma once
#include "libraryscreen/preparing.hpp"
#include "libraryscreen/screen_state.hpp"

// A song played from the list, or its best run watched: its stage found or
// prepared, the game's stage in the one window, back to the list.
namespace libraryscreen {

void play_song(screen_state& s, const chosen_song& song);
void watch_best(screen_state& s, const chosen_song& song);
// A run of the world board, downloaded: its replay on its stage with the player's own file.
void watch_run(screen_state& s, const chosen_song& song, const std::string& replay_file, const std::string& stage_file);
// Another version's stage of the same recording played with the player's own
// file, the session kept and sent as any other; its runs and best are that
// stage's, said as the board of `version_title`.
void play_version(screen_state& s, const chosen_song& song, const std::string& stage_file,
                  const std::string& version_title);

// Back from a stage: the list's keys and joystick events as it wants them.
void back_to_list(screen_state& s);

}  // namespace libraryscreen
