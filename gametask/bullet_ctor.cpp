#include "gametask/bullet_ctor.hpp"

#include <cmath>

#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/pattern_store.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_ctor::body = &bullet_ctor_update;

namespace {

void launch(const bullet_pattern_element& e, float from_x, float from_y) {
    node* n = update_tasks.spawn<bullet_b>();
    if (!n) return;
    bullet_b& b = vaz::tasksystem::object_of<bullet_b>(n);
    b.x = from_x;
    b.y = from_y;
    b.vx = static_cast<float>(std::cos(static_cast<double>(e.angle))) * e.speed;
    b.vy = static_cast<float>(std::sin(static_cast<double>(e.angle))) * e.speed;
}

}  // namespace

// Fires every event that is due or overdue: a group whose times go backwards
// or start below zero still runs out instead of stalling the end of play.
void bullet_ctor_update(node** cursor) {
    bullet_ctor& c = vaz::tasksystem::object_of<bullet_ctor>(*cursor);
    const pattern_group& events = pattern_groups[c.group];

    // The ship is always live while constructors run; the centre, where it
    // starts, is only a guard.
    const myship* ship = first_live<myship>();
    const float from_x = ship ? ship->x : rules::field_centre;
    const float from_y = ship ? ship->y : rules::field_centre;

    while (static_cast<std::uint32_t>(c.next_event) != events.count) {
        const bullet_pattern_element& e = events[static_cast<std::uint32_t>(c.next_event)];
        if (e.time > c.clock) {
            ++c.clock;
            return;
        }
        launch(e, from_x, from_y);
        ++c.next_event;  // used up even when the tracer pool was full
    }

    update_tasks.spawn<outi>();  // with two groups the second finds the marker live
    end_own_task<bullet_ctor>(cursor);
}

}  // namespace gametask
