#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// Fires one pattern group's events as tracers from the ship.
struct bullet_ctor {
    std::int32_t group;       // index into pattern_groups (set by the spawner)
    std::int32_t clock;       // frame tick: updates completed so far
    std::int32_t next_event;  // index of the next event not yet fired

    bullet_ctor() : clock(0), next_event(0) {}

    static const vaz::tasksystem::body_fn body;

};

void bullet_ctor_update(vaz::tasksystem::node** cursor);

}  // namespace gametask
