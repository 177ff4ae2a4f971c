#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// A spark flying out of a grazing bullet.
struct spark {
    float x, y;              // position (set by the spawner: the grazing bullet)
    float vx, vy;            // velocity: random direction, speed 2
    std::int32_t age;        // updates lived
    std::int32_t lifetime;   // updates to live, 5..29

    spark();                 // draws two numbers from rng

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void spark_update(vaz::tasksystem::node** cursor);
void spark_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
