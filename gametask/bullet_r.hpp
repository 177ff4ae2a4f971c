#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The incoming bullet: hits, grazes and carries the chain state.
struct bullet_r {
    float x, y;              // position, playfield pixels (set by the spawner)
    float vx, vy;            // velocity, pixels per update (set by the spawner)
    std::int32_t state;      // chain state: 0 normal, 1..10 triggered, -80..-1 spent
    std::int32_t chain;      // chain depth: 0 when the bomb triggered it

    bullet_r() : state(0), chain(0) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void bullet_r_update(vaz::tasksystem::node** cursor);
void bullet_r_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
