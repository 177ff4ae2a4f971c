#pragma once
#include "gametask/all.hpp"
#include "vaz/tasksystem/taskmain.hpp"

// The game's two schedulers. Line position is both type index and run order:
// the update line fixes what each frame's logic sees, the draw line is the
// stacking order on screen.
namespace schedulers {
using vaz::tasksystem::sst::line;
using vaz::tasksystem::sst::task;
namespace gt = gametask;

using update_line = line<
    task<gt::bullet_echo, 1024>,
    task<gt::bullet_r, 1024>,
    task<gt::bullet_b, 1024>,
    task<gt::myship, 1>,
    task<gt::bullet_ctor, 2>,
    task<gt::blood, 1024>,
    task<gt::spark, 1024>,
    task<gt::smile, 1>,
    task<gt::bombed, 1>,
    task<gt::outi, 1>,
    task<gt::game, 1>,
    task<gt::gameover, 1>,
    task<gt::titledemo, 1>,
    task<gt::titleready, 1>>;

using draw_line = line<
    task<gt::outi::draw, 1>,
    task<gt::game::draw, 1>,
    task<gt::spark::draw, 1>,
    task<gt::bullet_b::draw, 1>,
    task<gt::bullet_r::draw, 1>,
    task<gt::myship::draw, 1>,
    task<gt::bullet_echo::draw, 1>,
    task<gt::smile::draw, 1>,
    task<gt::bombed::draw, 1>,
    task<gt::myship::draw_grazecounter, 1>,
    task<gt::blood::draw, 1>,
    task<gt::gameover::draw, 1>,
    task<gt::titledemo::draw, 1>,
    task<gt::titleready::draw, 1>>;
}  // namespace schedulers

using update_scheduler = vaz::tasksystem::taskmain<schedulers::update_line>;
using draw_scheduler = vaz::tasksystem::taskmain<schedulers::draw_line>;

extern update_scheduler update_tasks;
extern draw_scheduler draw_tasks;

// Spawns one task of every drawing type, in draw line order.
void spawn_drawing_layer();
