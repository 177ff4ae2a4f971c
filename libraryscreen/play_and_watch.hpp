#pragma once
#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/preparing.hpp"
#include "libraryscreen/screen_state.hpp"

// A song played from the list, or its best run watched: its stage found or
// prepared, the game's stage in the one window, back to the list.
namespace libraryscreen {

void play_song(screen_state& s, const chosen_song& song);
void watch_best(screen_state& s, const chosen_song& song);
// A run of the world board, downloaded: its replay on its stage with the
// player's own file; `link` is the run's on its server, which L copies.
void watch_run(screen_state& s, const chosen_song& song, const std::string& replay_file, const std::string& stage_file,
               const std::string& link);
// The link of session `session` on `server` (its web address) as the game
// copies it; "" for none, or for an address the game would not take.
std::string session_link(std::string server, std::int64_t session);
// Another version's stage of the same recording played with the player's own
// file, the session kept and sent as any other; its runs and best are that
// stage's, said as the board of `version_title`.
void play_version(screen_state& s, const chosen_song& song, const std::string& stage_file,
                  const std::string& version_title);

// Ctrl+G on the list: the ghost of the next song played, none, the
// player's best, the board's first (with a server), none again; the song
// panel names it.
void cycle_ghost(screen_state& s);
ghost_pick next_ghost_pick(ghost_pick now, bool online);
// G on the board screen: `run` of the song's board downloaded, checked to
// race on the board's stage, and raced in the song's next play; "" or why not.
std::string choose_board_ghost(screen_state& s, const chosen_song& song, const board_row& run, const std::string& stage);
// How the game and the panel name a board's run raced as a ghost: "Mira #1".
std::string board_ghost_name(const board_row& run);

// Back from a stage: the list's keys and joystick events as it wants them.
void back_to_list(screen_state& s);

}  // namespace libraryscreen
