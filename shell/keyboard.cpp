#include "shell/keyboard.hpp"

key_edge query_key(int key) {
    const bool now = key_state[key] == 1;
    const bool before = key_snapshot.get(key);
    return key_edge{now, now && !before, before && !now};
}

void settle_keys() {
    vaz::xbasic_bitarray<void>& snapshot = key_snapshot;
    for (int k = 0; k < key_count; ++k) snapshot.set(k, key_state[k] == 1);
}

void pump_input() {
    settle_keys();
    SDL_PumpEvents();
}

void pump_input_keeping_edges() { SDL_PumpEvents(); }
