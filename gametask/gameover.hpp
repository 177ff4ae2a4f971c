#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The result screen.
struct gameover {
    std::int32_t delay;      // updates since game over, counts to 60

    gameover() : delay(0) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void gameover_update(vaz::tasksystem::node** cursor);
void gameover_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
