#include "gametask/schedulers.hpp"

namespace {

// One task of every type of the line, spawned in line order.
template <class... Entries>
void spawn_one_of_each(vaz::tasksystem::sst::line<Entries...>) {
    (draw_tasks.spawn<typename Entries::type>(), ...);
}

}  // namespace

void spawn_drawing_layer() { spawn_one_of_each(schedulers::draw_line{}); }
