#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The smiling face, shown while no hit is recent.
struct smile {
    smile() {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void smile_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
