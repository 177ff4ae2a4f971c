#include "gametask/spark.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/rng.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/sprites.hpp"
#include "vaz/single_pi.hpp"

#include <cmath>

namespace gametask {

using vaz::tasksystem::node;

spark::spark() {
    age = 0;
    lifetime = static_cast<std::int32_t>(rng() % 25) + 5;
    const std::uint32_t a = rng() % 256;
    const float two_pi = vaz::single_pi() + vaz::single_pi();
    const float angle = static_cast<float>(a * static_cast<double>(two_pi) * (1.0 / 256));
    vx = static_cast<float>(2.0 * static_cast<float>(std::cos(static_cast<double>(angle))));
    vy = static_cast<float>(2.0 * static_cast<float>(std::sin(static_cast<double>(angle))));
}

const vaz::tasksystem::body_fn spark::body = &spark_update;
const vaz::tasksystem::body_fn spark::draw::body = &spark_draw;

void spark_update(node** cursor) {
    spark& s = vaz::tasksystem::object_of<spark>(*cursor);
    s.x = s.x + s.vx;
    ++s.age;
    s.y = s.y + s.vy;
    if (s.age > s.lifetime) end_own_task<spark>(cursor);
}

// Drawing ---------------------------------------------------------------

void spark_draw(node** cursor) {
    (void)cursor;
    static constexpr fill_colour grey{0x7f7f7f};
    for_each_live<spark>([](const spark& s) { fill_rect(screen_left(s.x, 2), screen_top(s.y, 2), 2, 2, grey); });
}

}  // namespace gametask
