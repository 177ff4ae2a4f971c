#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The title screen, waiting for a start key.
struct titleready {
    std::int32_t frames;     // updates seen, counts to 3

    titleready() : frames(0) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void titleready_update(vaz::tasksystem::node** cursor);
void titleready_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
