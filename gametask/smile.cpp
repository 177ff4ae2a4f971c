#include "gametask/smile.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn smile::body = &vaz::tasksystem::idle;
const vaz::tasksystem::body_fn smile::draw::body = &smile_draw;

// Drawing ---------------------------------------------------------------

void smile_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
