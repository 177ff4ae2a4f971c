#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// A blood particle thrown up from the ship on a hit.
struct blood {
    float x, y;              // position (set by the spawner: the ship's centre)
    float vx, vy;            // velocity, random at construction
    std::int32_t falling;    // 0 rising, 1 falling

    blood();                 // draws three numbers from rng

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void blood_update(vaz::tasksystem::node** cursor);
void blood_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
