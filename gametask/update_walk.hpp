#pragma once
#include <SDL.h>

#include <cstdint>
#include <vector>

#include "results/replay_file.hpp"

// The game's logic apart from its window, sound and clock: the state a stage
// starts from, the keys as a replay holds them, and the runs the updates
// show. The frame loop (game/) and the headless re-play (replaycheck/) walk
// the updates through these same calls, so a re-play counts runs exactly as
// the game does.
namespace gametask {

// As a freshly started game finds it: no update task live, every pool handing
// out its nodes in their first order, no pattern loaded, no key held or
// remembered (joysticks included), the generator seeded with seed. The
// drawing tasks are the caller's.
void reset_logic(std::uint32_t seed);
// The same with the loaded pattern kept: a stage played again from its start.
void restart_logic(std::uint32_t seed);

// The first flow task of a stage: the self-running title demo, or the title
// waiting for a start key.
void spawn_first_flow_task(bool demo);

// The replay's keys as the coming update sees them: down now in the low bits,
// as the snapshot holds them above.
std::uint32_t key_word_seen();

// Puts a key word in place for the coming update: now into keys (the array
// key_state points to), before into the snapshot. Other keys are left alone.
void put_key_word(std::uint32_t word, Uint8* keys);

// A session's runs as its updates show them: where each started, reached its
// result screen and left it, with the hits and score last shown.
class run_watch {
public:
    enum class change { none, result_reached, result_left };

    // After each update; update counts the session's updates, this one included.
    change after_update(std::uint32_t update);
    // The session ends after update: a run still on its result screen ends
    // there. True when one did.
    bool end_session(std::uint32_t update);

    const std::vector<results::run_summary>& finished() const { return finished_; }
    bool on_result() const { return on_result_; }
    // While a game task lives: the updates before its run's first.
    bool in_run() const { return in_run_; }
    std::uint32_t run_start() const { return run_start_; }

private:
    void reach_result(std::uint32_t update);
    void leave_result(std::uint32_t update);

    bool in_run_ = false;  // a game task lives
    bool on_result_ = false;
    std::uint32_t run_start_ = 0;
    std::int32_t shown_hits_ = 0;
    std::int32_t shown_score_ = 0;
    std::vector<results::run_summary> finished_;
};

}  // namespace gametask
