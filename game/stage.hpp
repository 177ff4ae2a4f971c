#pragma once
#include <functional>
#include <string>
#include <vector>

#include "game/ghost.hpp"
#include "game/options.hpp"
#include "game/replay_session.hpp"
#include "results/replay_file.hpp"

// Stages played one after another in one window. velmora plays one; a
// library session opens the window once and plays any number, each from a
// fresh start: empty task pools, the pattern store loaded anew, the music
// stream of its own, a new random seed, fresh keys and frame clock.

struct display_settings {
    bool fullscreen = false;
    int scale = 1;  // a window of 1, 2 or 3 times 640x480; full screen is 640x480
    // A library session's own: the window's scale is lowered to the largest
    // whose window fits the desktop as it was when the video started, and
    // full screen takes the desktop's size, the game scaled up by whole
    // pixels to fit between black borders.
    bool fit_desktop = false;
};

// Starts the video and opens the game's window; full screen warps the mouse
// pointer as it always has. Returns why the game cannot be shown, or an
// empty string.
std::string open_game_window(const display_settings& d);
// Between stages: sets the mode again only when d differs from the display
// in use, so the window stays the same one from song to song. When SDL
// refuses, the display in use is set back and the reason returned.
std::string change_display(const display_settings& d);
// The display in use: the scale is the one the window has.
const display_settings& current_display();
// The largest window scale, up to `wanted`, whose window fits the desktop
// (at least 1); `wanted` when the desktop's size is not known.
int fitting_scale(int wanted);
// A pointer position in the window as a pixel of the game's 640x480; false
// when it is outside them (on a border) or no window is open.
bool window_to_game(int x, int y, int& game_x, int& game_y);
void close_game_window();

// What the player chose in a library session's pause menu.
enum class pause_choice { carry_on, retry, leave, quit };

struct stage_request {
    std::string music_file;  // both files empty: the title demo
    std::string pattern_file;
    int offset_ms = 0;          // vaz::offset_ms_range: positive fires the bullets later
    bool offset_given = false;  // false: a replay takes the offset it was recorded with
    int align_ms = 0;  // vaz::align_ms_range: added to the offset when playing, never recorded
    int volume = full_volume;   // the music's (vaz::volume_range)
    int effects = no_effects;   // the sound effects' (vaz::effects_volume_range), none by default
    replay_options replay;      // a recording to make, or a replay to play back
    watch_options watch;        // the replay watched (game/watching.hpp)
    ghost_request ghost;        // another run of the stage raced beside the player's (game/ghost.hpp)
    bool gamepad_back_leaves = false;  // a joystick's button 2 leaves as Escape does
    // At the start of every frame, after its events are read and before its
    // updates, with the last frame still on the screen surface: tests drive
    // and watch a stage through it.
    std::function<void()> before_frame;

    // A library session's own; velmora asks for none of them.
    // The stage ends (stage_end::run_over) once a run's result screen has
    // shown for its wait before it takes keys, so the caller shows its own.
    bool end_after_run = false;
    // A run starts as soon as the title takes keys, as if Z were pressed
    // then (the press is recorded as any other).
    bool start_at_once = false;
    // When set, Escape or P while a run is in play pause it (the music too)
    // and call this with the paused frame on the screen surface: it draws
    // over it and reads the keys until the player chooses. Without it P
    // shows the game's pause label and Escape leaves; a joystick's back
    // button leaves either way (gamepad_back_leaves).
    std::function<pause_choice()> pause_menu;
};

enum class stage_end {
    left,         // Escape, or the back button when asked for
    quit,         // the window was closed
    replay_over,  // a replay ran its last update (watched: and was left)
    failed,       // the stage could not start: why says why
    run_over,     // end_after_run: a run reached its result screen
    retry,        // the pause menu's retry: the run left, to be played again
};

struct stage_outcome {
    stage_end end = stage_end::failed;
    std::string why;                // failed: one line naming the file
    bool recording_failed = false;  // the recording could not be written; why says so
    std::string effects_problem;    // why the effects did not play; the stage played without them
    // The runs that reached their result screen, when the stage recorded or
    // replayed: the same summaries the recording carries.
    std::vector<results::run_summary> finished_runs;
};

// A stage from its files to its end, in the window open_game_window opened.
// The title, the runs and the result screens are the game's as ever; the
// recording, if any, is complete when it returns. A run left before its
// result screen is not kept.
stage_outcome play_stage(const stage_request& r);

// The steps of play_stage, for velmora, which checks the files before it
// opens the window. load_stage returns why the stage cannot start, or an
// empty string; run_stage needs the window; finish_stage ends the recording
// and frees the music, also after a failed load or run.
std::string load_stage(const stage_request& r);
stage_outcome run_stage(const stage_request& r);
void finish_stage(stage_outcome& o);
