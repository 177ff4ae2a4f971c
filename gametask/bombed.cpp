#include "gametask/bombed.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bombed::body = &bombed_update;
const vaz::tasksystem::body_fn bombed::draw::body = &bombed_draw;

void bombed_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void bombed_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
