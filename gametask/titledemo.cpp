#include "gametask/titledemo.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn titledemo::body = &titledemo_update;
const vaz::tasksystem::body_fn titledemo::draw::body = &titledemo_draw;

void titledemo_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void titledemo_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
