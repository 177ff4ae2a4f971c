#include "gametask/outi.hpp"

#include "game/schedulers.hpp"
#include "game/sprites.hpp"
#include "gametask/draw_helpers.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn outi::body = &vaz::tasksystem::idle;
const vaz::tasksystem::body_fn outi::draw::body = &outi_draw;

// Drawing ---------------------------------------------------------------

void outi_draw(node** cursor) {
    (void)cursor;
    for_each_live<outi>([](const outi&) { blit(outi_image, 2, 90); });
}

}  // namespace gametask
