#include "gametask/myship.hpp"

#include "game/schedulers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn myship::body = &myship_update;
const vaz::tasksystem::body_fn myship::draw::body = &myship_draw;
const vaz::tasksystem::body_fn myship::draw_grazecounter::body = &myship_draw_grazecounter;

void myship_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void myship_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

void myship_draw_grazecounter(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
