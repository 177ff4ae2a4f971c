#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The self-running title demo.
struct titledemo {
    std::int32_t countdown;  // updates left until the next burst

    titledemo() : countdown(0) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void titledemo_update(vaz::tasksystem::node** cursor);
void titledemo_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
