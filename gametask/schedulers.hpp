#pragma once
#include "gametask/all.hpp"
#include "vaz/tasksystem/taskmain.hpp"

// The game's two schedulers. Line position is both type index and run order:
// the update line fixes what each frame's logic sees, the draw line is the
// stacking order on screen. The asserts under each line hold its order still:
// moving a type changes what the game does or shows.
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
static_assert(update_line::position<gt::bullet_echo>() == 0);
static_assert(update_line::position<gt::bullet_r>() == 1);
static_assert(update_line::position<gt::bullet_b>() == 2);
static_assert(update_line::position<gt::myship>() == 3);
static_assert(update_line::position<gt::bullet_ctor>() == 4);
static_assert(update_line::position<gt::blood>() == 5);
static_assert(update_line::position<gt::spark>() == 6);
static_assert(update_line::position<gt::smile>() == 7);
static_assert(update_line::position<gt::bombed>() == 8);
static_assert(update_line::position<gt::outi>() == 9);
static_assert(update_line::position<gt::game>() == 10);
static_assert(update_line::position<gt::gameover>() == 11);
static_assert(update_line::position<gt::titledemo>() == 12);
static_assert(update_line::position<gt::titleready>() == 13);

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
static_assert(draw_line::position<gt::outi::draw>() == 0);
static_assert(draw_line::position<gt::game::draw>() == 1);
static_assert(draw_line::position<gt::spark::draw>() == 2);
static_assert(draw_line::position<gt::bullet_b::draw>() == 3);
static_assert(draw_line::position<gt::bullet_r::draw>() == 4);
static_assert(draw_line::position<gt::myship::draw>() == 5);
static_assert(draw_line::position<gt::bullet_echo::draw>() == 6);
static_assert(draw_line::position<gt::smile::draw>() == 7);
static_assert(draw_line::position<gt::bombed::draw>() == 8);
static_assert(draw_line::position<gt::myship::draw_grazecounter>() == 9);
static_assert(draw_line::position<gt::blood::draw>() == 10);
static_assert(draw_line::position<gt::gameover::draw>() == 11);
static_assert(draw_line::position<gt::titledemo::draw>() == 12);
static_assert(draw_line::position<gt::titleready::draw>() == 13);
}  // namespace schedulers

using update_scheduler = vaz::tasksystem::taskmain<schedulers::update_line>;
using draw_scheduler = vaz::tasksystem::taskmain<schedulers::draw_line>;

extern update_scheduler update_tasks;
extern draw_scheduler draw_tasks;

// Spawns one task of every drawing type, in draw line order.
void spawn_drawing_layer();
