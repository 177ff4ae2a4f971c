#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// The player's ship.
struct myship {
    float x, y;                  // centre, playfield pixels
    std::int32_t walk;           // walking step: 0 idle, else 1..8
    std::int32_t facing_locked;  // 1 once the facing is chosen for the current movement
    std::int32_t facing;         // 0 left, 1 right, 2 up, 3 down
    std::int32_t gauge;          // graze gauge, 0..35200; one bomb stock per 2200
    std::int32_t bomb;           // bomb timer: 0 none, 1..39 running

    myship() : x(220.0f), y(220.0f), walk(0), facing_locked(0), facing(3), gauge(0), bomb(0) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
    struct draw_grazecounter {
        static const vaz::tasksystem::body_fn body;
    };
};

void myship_update(vaz::tasksystem::node** cursor);
void myship_draw(vaz::tasksystem::node** cursor);
void myship_draw_grazecounter(vaz::tasksystem::node** cursor);

}  // namespace gametask
