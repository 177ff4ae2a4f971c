#include "gametask/titledemo.hpp"

#include <cmath>

#include "gametask/draw_helpers.hpp"
#include "gametask/rng.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "shell/sprites.hpp"
#include "vaz/single_pi.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn titledemo::body = &titledemo_update;
const vaz::tasksystem::body_fn titledemo::draw::body = &titledemo_draw;

namespace {

constexpr int burst_size = 16;

// Member i of a burst leaves at i/16 of a turn, turned further by a random
// share of an eighth of a turn. A full pool skips the member without a draw.
void launch_burst_member(int i) {
    node* n = update_tasks.spawn<bullet_b>();
    if (!n) return;
    const std::uint32_t r = rng() % 100;
    const double two_pi = vaz::single_pi() + vaz::single_pi();
    const auto angle = static_cast<float>(r * (two_pi * 0.125) / 100 + i * two_pi * 0.0625);
    bullet_b& b = vaz::tasksystem::object_of<bullet_b>(n);
    b.x = rules::field_centre;
    b.y = rules::field_centre;
    b.vx = static_cast<float>(std::cos(static_cast<double>(angle)));
    b.vy = static_cast<float>(std::sin(static_cast<double>(angle)));
}

}  // namespace

void titledemo_update(node** cursor) {
    titledemo& demo = vaz::tasksystem::object_of<titledemo>(*cursor);
    if (demo.countdown != 0) {
        --demo.countdown;
        return;
    }
    for (int i = 0; i < burst_size; ++i) launch_burst_member(i);
    demo.countdown = static_cast<std::int32_t>(rng() % 60) + 10;
}

// Drawing ---------------------------------------------------------------

void titledemo_draw(node** cursor) {
    (void)cursor;
    for_each_live<titledemo>([](const titledemo&) { blit(title_image, 295, 220); });
}

}  // namespace gametask
