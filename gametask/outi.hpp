#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The marker that the pattern is finished.
struct outi {
    outi() {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void outi_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
