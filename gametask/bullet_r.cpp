#include "gametask/bullet_r.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_r::body = &bullet_r_update;
const vaz::tasksystem::body_fn bullet_r::draw::body = &bullet_r_draw;

void bullet_r_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void bullet_r_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
