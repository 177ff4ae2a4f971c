#pragma once
#include <cstdint>

#include "gametask/rules.hpp"
#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The exit mark an incoming bullet leaves where it leaves the playfield.
struct bullet_echo {
    std::int32_t x;          // exit point, playfield pixels, 0..440 (set by the spawner)
    std::int32_t y;
    std::int32_t countdown;  // updates left

    bullet_echo() : countdown(rules::exit_mark_updates) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void bullet_echo_update(vaz::tasksystem::node** cursor);
void bullet_echo_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
