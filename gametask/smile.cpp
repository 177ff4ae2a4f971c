#include "gametask/smile.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/schedulers.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn smile::body = &vaz::tasksystem::idle;
const vaz::tasksystem::body_fn smile::draw::body = &smile_draw;

// Drawing ---------------------------------------------------------------

void smile_draw(node** cursor) {
    (void)cursor;
    for_each_live<smile>([](const smile&) { blit(smile_image, 10, 70); });
}

}  // namespace gametask
