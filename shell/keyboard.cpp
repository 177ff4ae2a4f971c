#include "shell/keyboard.hpp"

#include "shell/gamepad.hpp"

bool key_down(int key) { return key_state[key] == 1 || pad_keys[key] == 1; }

key_edge query_key(int key) {
    const bool now = key_down(key);
    const bool before = key_snapshot.get(key);
    return key_edge{now, now && !before, before && !now};
}

void settle_keys() {
    vaz::xbasic_bitarray<void>& snapshot = key_snapshot;
    for (int k = 0; k < key_count; ++k) snapshot.set(k, key_down(k));
}

void pump_input() {
    settle_keys();
    SDL_PumpEvents();
    read_gamepads();
}

void pump_input_keeping_edges() {
    SDL_PumpEvents();
    read_gamepads();
}
