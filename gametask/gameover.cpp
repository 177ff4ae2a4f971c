#include "gametask/gameover.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn gameover::body = &gameover_update;
const vaz::tasksystem::body_fn gameover::draw::body = &gameover_draw;

void gameover_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void gameover_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
