#include "gametask/bullet_echo.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_echo::body = &bullet_echo_update;
const vaz::tasksystem::body_fn bullet_echo::draw::body = &bullet_echo_draw;

void bullet_echo_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void bullet_echo_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
