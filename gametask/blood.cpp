#include "gametask/blood.hpp"

#include "game/schedulers.hpp"
#include "gametask/rng.hpp"

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

void blood_update(node** cursor) {
    (void)cursor;  // TODO(logic)
}

// Drawing ---------------------------------------------------------------

void blood_draw(node** cursor) {
    (void)cursor;  // TODO(draw)
}

}  // namespace gametask
