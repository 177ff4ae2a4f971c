#include "gametask/bombed.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bombed::body = &bombed_update;
const vaz::tasksystem::body_fn bombed::draw::body = &bombed_draw;

void bombed_update(node** cursor) {
    bombed& face = vaz::tasksystem::object_of<bombed>(*cursor);
    if (++face.frames < rules::hurt_face_updates) return;
    update_tasks.spawn<smile>();  // yields nothing when a smile is already live
    end_own_task<bombed>(cursor);
}

// Drawing ---------------------------------------------------------------

void bombed_draw(node** cursor) {
    (void)cursor;
    for_each_live<bombed>([](const bombed&) { blit(bombed_image, 10, 70); });
}

}  // namespace gametask
