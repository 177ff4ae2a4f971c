#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "game/options.hpp"
#include "results/replay_file.hpp"

// Recording a session's keys (-record=FILE) and playing a recording back
// (-replay=FILE); both options come after the two file names.
//
// A recording holds every update from the first one after start-up, title
// frames included: a later run depends on what earlier ones left behind
// (bullets still in flight, the random generator's state), so only the whole
// session from its seed replays exactly. It is written when a run's result
// screen appears, so a crash or a kill from then on keeps the run, and again
// when the run ends (its result screen left, or the game quit while the
// result screen shows); it then holds the session up to that moment. The
// updates of a run quit before its result screen are not kept. A replay feeds every update the
// recorded keys, lets only Escape and P through from the keyboard, and ends
// the game after its last update. A recording also lists each finished
// run (where it started, reached its result screen and left it, its hits and
// score) and the offset it was played with; a replay takes that offset
// unless -offset= is given, and says so when a run goes otherwise than
// recorded.

// After the stage's files are loaded, before the window opens: reads the
// replay and checks that it was recorded on this pattern file, checks that a
// recording can be written, and seeds the random generator. Returns why the
// stage cannot go on, or an empty string. A replay sets offset_ms to the
// recorded offset unless offset_given. Whatever an earlier stage's session
// left is forgotten first.
std::string begin_replay_session(const replay_options& o, const std::string& music_file,
                                 const std::string& pattern_file, bool offset_given, int& offset_ms);

// Right before each run of the update tasks: a replay puts the recorded keys
// in place, a recording notes the keys the update sees.
void replay_before_update();

// Whether the player holds a key down now. During a replay the updates see
// the recorded keys, so the frame loop asks here for P, which also works
// while paused, when no update runs.
bool live_key_down(int key);

// Right after each run of the update tasks: notices a result screen reached
// and left. A pause must skip this and replay_before_update together, so
// that updates, not frames, are recorded and replayed.
void replay_after_update();

// Whether a replay has run its last update: the stage ends after this frame.
bool replay_over();

// Watching a replay. The updates run so far in this session, and the ones
// a replay holds (0 when not replaying).
std::uint32_t session_updates_run();
std::uint32_t replay_update_count();
// The updates before the first of the run in play (or on its result
// screen); none when no run is.
std::optional<std::uint32_t> session_run_start();
// Brings a replay to the state after `update` (at most its last but one, so
// the stage does not end at once) by walking its recorded updates without
// drawing, sounding or saying anything: on from where it stands, or from
// its seed when the update lies behind. The effects cued meanwhile are
// dropped. Returns the update it stands after.
std::uint32_t replay_jump_to(std::uint32_t update);

struct session_summary {
    bool write_failed = false;  // a recording could not be written (it was said on standard error)
    std::string write_error;    // then: the last such message
    std::vector<results::run_summary> finished;  // the runs that reached their result screen
};

// After the frame loop: ends a run quit on its result screen, writes the
// recording and gives the keys back. Only a session that records or replays
// keeps track of its runs.
session_summary end_replay_session();
// After a stage that never reached its frame loop: gives the keys back, writes nothing.
void abandon_replay_session();
