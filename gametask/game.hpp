#pragma once
#include <cstdint>

#include "vaz/tasksystem/node.hpp"

namespace gametask {

// A run in play and on its result screen.
struct game {
    std::int32_t hits;       // times the ship was hit in this run
    std::int32_t score;      // graze points plus chain points
    bool finished;           // end of play detected, gameover spawned

    game() : hits(0), score(0), finished(false) {}

    static const vaz::tasksystem::body_fn body;

    struct draw {
        static const vaz::tasksystem::body_fn body;
    };
};

void game_update(vaz::tasksystem::node** cursor);
void game_draw(vaz::tasksystem::node** cursor);

}  // namespace gametask
