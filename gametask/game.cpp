#include "gametask/game.hpp"

#include "gametask/contact_check.hpp"
#include "gametask/draw_helpers.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn game::body = &game_update;
const vaz::tasksystem::body_fn game::draw::body = &game_draw;

// Play ends once every group is fired and no incoming bullet is left; tracers
// still flying out do not hold it back. Contacts keep counting on the result
// screen.
void game_update(node** cursor) {
    game& run = vaz::tasksystem::object_of<game>(*cursor);
    if (!run.finished && !any_live<bullet_ctor>() && !any_live<bullet_r>()) {
        run.finished = true;
        update_tasks.spawn<gameover>();
    }
    for (node* n = update_tasks.begin<myship>(); n != update_tasks.end<myship>(); n = n->next)
        contact_check(vaz::tasksystem::object_of<myship>(n), run);
}

// Drawing ---------------------------------------------------------------

void game_draw(node** cursor) {
    (void)cursor;
    for_each_live<game>([](const game& g) { draw_play_counters(g.hits, g.score); });
}

}  // namespace gametask
