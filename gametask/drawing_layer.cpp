#include "gametask/schedulers.hpp"

void spawn_drawing_layer() {
    namespace gt = gametask;
    draw_tasks.spawn<gt::outi::draw>();
    draw_tasks.spawn<gt::game::draw>();
    draw_tasks.spawn<gt::spark::draw>();
    draw_tasks.spawn<gt::bullet_b::draw>();
    draw_tasks.spawn<gt::bullet_r::draw>();
    draw_tasks.spawn<gt::myship::draw>();
    draw_tasks.spawn<gt::bullet_echo::draw>();
    draw_tasks.spawn<gt::smile::draw>();
    draw_tasks.spawn<gt::bombed::draw>();
    draw_tasks.spawn<gt::myship::draw_grazecounter>();
    draw_tasks.spawn<gt::blood::draw>();
    draw_tasks.spawn<gt::gameover::draw>();
    draw_tasks.spawn<gt::titledemo::draw>();
    draw_tasks.spawn<gt::titleready::draw>();
}
