#include "gametask/outi.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn outi::body = &vaz::tasksystem::idle;
const vaz::tasksystem::body_fn outi::draw::body = &outi_draw;

// Drawing ---------------------------------------------------------------

void outi_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
