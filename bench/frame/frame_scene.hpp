#pragma once
// A game frame outside the game's main loop, for measuring it.

namespace frame_scene {

// Opens the one game window (windowed, 640x480) and gives the sprite sheet
// its colour key; spawns the drawing layer. Call once per process. Returns
// false, with a message on standard error, when the window or the sheet is
// missing.
bool open();

// Empties every update pool, then fills the scene of a busy moment of play: a
// run in progress with its ship and face, and all five pools of 1024 full,
// with tracers and incoming bullets on the move, a chain reaction going on
// among the incoming bullets (every chain state present, some bursting), exit
// marks at every stage of their count, blood and sparks in flight.
void fill_crowded();

// Spawns into every free slot of the five big pools what fill_crowded
// would, leaving the live tasks as they are: the pools are full again.
void top_up();

// Live tasks of each of the five big pools, in the order exit marks,
// incoming bullets, tracers, blood, sparks.
struct pool_counts {
    int echo, incoming, tracers, blood, sparks;
};
pool_counts live_per_pool();

// Empties every update pool and starts the title demo.
void start_demo();

// Seconds spent in each step of a frame.
struct step_times {
    double clear = 0, border = 0, updates = 0, drawing = 0, flip = 0, input = 0;
};

// The work of one frame of the game's loop, without its wait: clear, border,
// update walk, draw walk, flip, key snapshot and event poll. With times, adds
// each step's duration to it.
void run_frame(step_times* times = nullptr);

// Live update tasks of the five 1024-capacity types.
int live_bullets_and_effects();

}  // namespace frame_scene
