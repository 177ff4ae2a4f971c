#include "gametask/blood.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/rng.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

blood::blood() {
    const std::uint32_t m = rng() % 256;
    const double sign = (rng() % 2 == 1) ? 1.0 : -1.0;
    vx = static_cast<float>(sign * (m * 5.0 * (1.0 / 256)));
    const std::uint32_t k = rng() % 256;
    falling = 0;
    vy = static_cast<float>(k * -5.0 * (1.0 / 256) - 5.0);
}

const vaz::tasksystem::body_fn blood::body = &blood_update;
const vaz::tasksystem::body_fn blood::draw::body = &blood_draw;

// A drop rises, slowing by 1.1 per update, then falls from 0.5, gaining 10 %
// per update, until it is below the screen or off to either side. The rise
// has no limit: drops thrown from the top may fly above the screen.
void blood_update(node** cursor) {
    constexpr float drag = 1.1f;
    constexpr float turning_speed = -0.1f;
    constexpr float first_fall_speed = 0.5f;
    constexpr std::int32_t left_limit = -105, right_limit = 650, bottom_limit = 480;

    blood& b = vaz::tasksystem::object_of<blood>(*cursor);
    b.x = b.x + b.vx;
    b.y = b.y + b.vy;
    if (b.falling == 0) {
        b.vy = b.vy / drag;
        if (b.vy > turning_speed) {
            b.falling = 1;
            b.vy = first_fall_speed;
        }
    } else {
        b.vy = b.vy * drag;
    }

    const std::int32_t x = rules::truncate_saturated(b.x);
    const std::int32_t y = rules::truncate_saturated(b.y);
    if (x < left_limit || x > right_limit || y > bottom_limit) end_own_task<blood>(cursor);
}

// Drawing ---------------------------------------------------------------

void blood_draw(node** cursor) {
    (void)cursor;
    for_each_live<blood>([](const blood& b) { blit(blood_image, screen_left(b.x, 5), screen_top(b.y, 5)); });
}

}  // namespace gametask
