#include "gametask/bullet_ctor.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_ctor::body = &bullet_ctor_update;
const vaz::tasksystem::body_fn bullet_ctor::draw::body = &bullet_ctor_draw;

void bullet_ctor_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void bullet_ctor_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
