#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A ghost: the ship of another run on the same stage, moving beside the
// player's as it moved then, and a line saying how the two runs stand. The
// ghost's replay is played again before the stage starts, headless, with the
// update walk velmora_verify uses, and what its first finished run did is
// kept update by update; the stage then only reads that record. The live
// run's logic never sees the ghost: its recording is the same bytes with or
// without one.

// The replay to race, which of its finished runs (a kept best may follow
// others of its session), and how the line names it ("Mira #1", "your
// best"); without a name, the file's.
struct ghost_request {
    std::string replay_file;  // empty: no ghost
    std::string name;
    int run = 1;  // counted from 1
};

// The ghost's run after one of its updates.
struct ghost_frame {
    float x = 0, y = 0;  // the ship's centre, playfield pixels
    std::int32_t hits = 0, score = 0;
    std::int8_t facing = 3, step = 0;  // the ship's picture, as the game draws it
    bool ship = false;                 // a ship was there
};

struct ghost_track {
    std::string name;
    // frames[k]: after the k-th update of the run, 0 being the first a run
    // task lived in, up to its leaving the result screen.
    std::vector<ghost_frame> frames;
    std::size_t result_frame = 0;  // the first on its result screen
    std::int32_t final_hits = 0, final_score = 0;  // as the run ended
};

// Plays g's replay again on the stage in pattern_file and keeps its
// finished run g.run. Returns why it cannot be a ghost (one line naming the file),
// or an empty string: unreadable, not a replay, played on another stage,
// without that finished run, or not playing as it claims. Touches the game's
// logic state (task pools, keys, the random generator's seed, the pattern
// store); the caller starts its stage afresh afterwards, or uses
// prepare_ghost_for_stage.
std::string prepare_ghost(const ghost_request& g, const std::string& pattern_file, ghost_track& out);

// For a stage whose files are loaded and whose logic has not run yet:
// prepare_ghost, then the logic put back as it stood (fresh pools, the
// generator's state, no keys, the same stage loaded, the music untouched),
// so the stage plays as without a ghost. A ghost prepared for the same
// replay and stage bytes is reused. On success the ghost races the stage's
// runs until end_ghost.
std::string prepare_ghost_for_stage(const ghost_request& g, const std::string& pattern_file);
void end_ghost();

// After every update of the stage: follows the live run (its updates since
// it started, its hits and score) and works out the line.
void ghost_after_update();
// After the stage's own drawing: the translucent ship and the line, top right.
void draw_ghost();

// "-3 hits, +1,240 vs Mira #1": the player's hits and score less the
// ghost's, each with its sign.
std::string ghost_difference_text(std::int32_t hits, std::int32_t score, const std::string& name);

// The line as last worked out (it stays after the run); empty without a ghost.
const std::string& ghost_line();
// Where the ghost's ship is drawn now; false when it is not drawn.
bool ghost_ship_now(float& x, float& y);
