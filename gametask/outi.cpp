#include "gametask/outi.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/schedulers.hpp"
#include "shell/sprites.hpp"

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
