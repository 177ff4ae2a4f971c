#include "gametask/titleready.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn titleready::body = &titleready_update;
const vaz::tasksystem::body_fn titleready::draw::body = &titleready_draw;

void titleready_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void titleready_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
