#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The tracer: flies out to the playfield edge and turns into an incoming bullet.
struct bullet_b {
    float x, y;              // position, playfield pixels
    float vx, vy;            // velocity, pixels per update

    // Sets nothing: the spawner writes all four fields.
    bullet_b() {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void bullet_b_update(vaz::tasksystem::node** cursor);
void bullet_b_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
