#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The hurt face, shown for 120 updates after the last hit.
struct bombed {
    std::int32_t frames;     // updates since the last hit

    bombed() : frames(0) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void bombed_update(vaz::tasksystem::node** cursor);
void bombed_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
