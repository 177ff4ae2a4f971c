#include "gametask/bullet_b.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_b::body = &bullet_b_update;
const vaz::tasksystem::body_fn bullet_b::draw::body = &bullet_b_draw;

void bullet_b_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void bullet_b_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
