#include "gametask/game.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn game::body = &game_update;
const vaz::tasksystem::body_fn game::draw::body = &game_draw;

void game_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void game_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
