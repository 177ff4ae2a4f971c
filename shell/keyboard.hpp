#pragma once
#include <SDL.h>

#include "vaz/xbitarray.hpp"

// Key state as it stood before the last pump, one bit per SDL key symbol.
extern vaz::xbitarray<unsigned int> key_snapshot;
// SDL's own key state array (1 = down), taken once.
extern Uint8* key_state;

constexpr int key_count = SDLK_LAST;  // 323

struct key_edge {
    bool down;      // down now
    bool pressed;   // down now, up before the last pump
    bool released;  // up now, down before
};

key_edge query_key(int key);

// Copies the key state into key_snapshot, then pumps SDL's events.
void pump_input();

// After an update when several run in one frame: the keys as they stand
// become the snapshot, so a key pressed in this frame is pressed in exactly
// one update and held in the rest.
void settle_keys();
// Pumps SDL's events and keeps the snapshot: the frame ran no update, so
// the edges it saw are still to be seen.
void pump_input_keeping_edges();
