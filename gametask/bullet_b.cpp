#include "gametask/bullet_b.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_b::body = &bullet_b_update;
const vaz::tasksystem::body_fn bullet_b::draw::body = &bullet_b_draw;

void bullet_b_update(node** cursor) {
    bullet_b& b = vaz::tasksystem::object_of<bullet_b>(*cursor);
    b.x = b.x + b.vx;
    b.y = b.y + b.vy;
    if (rules::inside_field(b.x, b.y)) return;

    // The incoming bullet starts from the tracer's last inside position and
    // retraces its path; with a full pool the bullet is lost.
    if (node* n = update_tasks.spawn<bullet_r>()) {
        bullet_r& r = vaz::tasksystem::object_of<bullet_r>(n);
        r.x = b.x - b.vx;
        r.y = b.y - b.vy;
        r.vx = -b.vx;
        r.vy = -b.vy;
    }
    end_own_task<bullet_b>(cursor);
}

// Drawing ---------------------------------------------------------------

void bullet_b_draw(node** cursor) {
    (void)cursor;
    static constexpr fill_colour dark_blue{0x000080};
    for_each_live<bullet_b>([](const bullet_b& b) { fill_rect(screen_left(b.x, 3), screen_top(b.y, 3), 3, 3, dark_blue); });
}

}  // namespace gametask
