#pragma once
#include <SDL.h>

#include <functional>
#include <string>
#include <vector>

#include "game/stage.hpp"
#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/screen_state.hpp"

// The library screen's own screens between the list and the game: the
// questions it asks, the pause menu over a run, the result after one.
namespace libraryscreen {

// Draws with `draw` every frame until one of the keys is pressed, and
// returns it; SDLK_UNKNOWN when the window was closed (s.quit says so).
SDLKey wait_for_key(screen_state& s, const std::vector<SDLKey>& keys, const std::function<void(SDL_Surface*)>& draw);

// A question in a box over the screen as it stands: its lines wrapped to
// the box, the keys that answer it on a line below. The key pressed.
SDLKey ask(screen_state& s, const std::string& question, const std::string& keys_line,
           const std::vector<SDLKey>& keys);

// Over a paused run: continue, retry or back to the list (Up/Down and
// Return; Escape or P continues).
pause_choice pause_menu(screen_state& s);

// What a run from the screen came to, after its result screen.
struct run_report {
    std::string title, artist;
    std::string edition, difficulty;
    run_figures run;
    std::string board;  // the stage played, in a few words (board_words); the best is that stage's
    std::optional<run_figures> previous_best;  // before this run, on the same stage
    bool new_best = false;
    bool kept = true;  // stored in the song library
};
enum class after_result { play_again, back, quit };
// The result panel: Return, Space or Z plays the song again at once; Escape
// or Backspace goes back to the list.
after_result result_panel(screen_state& s, const run_report& r);

// Which board a run or a best belongs to, from the hashes of the song's own
// stage and of the stage played: "own stage", else the title of the other
// version whose board it is, else "board stage".
std::string board_words(const std::string& own_stage, const std::string& played_stage,
                        const std::string& version_title = {});

// The lines the result panel shows, for its drawing and its tests.
std::vector<std::string> result_lines(const run_report& r);

}  // namespace libraryscreen
