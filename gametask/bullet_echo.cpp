#include "gametask/bullet_echo.hpp"

#include <array>
#include <cmath>

#include "gametask/draw_helpers.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/sprites.hpp"
#include "vaz/single_pi.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_echo::body = &bullet_echo_update;
const vaz::tasksystem::body_fn bullet_echo::draw::body = &bullet_echo_draw;

void bullet_echo_update(node** cursor) {
    bullet_echo& mark = vaz::tasksystem::object_of<bullet_echo>(*cursor);
    if (mark.countdown == 0) {
        end_own_task<bullet_echo>(cursor);
        return;
    }
    --mark.countdown;
}

// Drawing ---------------------------------------------------------------

namespace {

// Corner offsets of an exit mark's square from its centre: a square of
// half-diagonal countdown/2, turned by (40 - countdown)/40 of a revolution.
struct echo_corners {
    int dx[4];
    int dy[4];
};

echo_corners compute_echo_corners(std::int32_t n) {
    const float pi = vaz::single_pi();
    const float two_pi = 2.0f * pi;
    const float corner_angles[4] = {0.0f, pi / 2.0f, pi, (two_pi * 3.0f) / 4.0f};
    const float turned = static_cast<float>(static_cast<double>(two_pi * static_cast<float>(rules::exit_mark_updates - n)) /
                                            static_cast<double>(rules::exit_mark_updates));
    const float radius = static_cast<float>(n / 2);
    echo_corners c{};
    for (int k = 0; k < 4; ++k) {
        const float a = corner_angles[k] + turned;
        c.dx[k] = static_cast<int>(static_cast<float>(std::cos(static_cast<double>(a))) * radius);
        c.dy[k] = static_cast<int>(static_cast<float>(std::sin(static_cast<double>(a))) * radius);
    }
    return c;
}

// The shape depends on the countdown alone, so the trigonometry runs once per
// countdown value rather than eight times per mark and frame.
const echo_corners& corners_for(std::int32_t n) {
    static const auto table = [] {
        std::array<echo_corners, rules::exit_mark_updates + 1> t{};
        for (std::int32_t i = 0; i <= rules::exit_mark_updates; ++i) t[static_cast<std::size_t>(i)] = compute_echo_corners(i);
        return t;
    }();
    if (n >= 0 && n <= rules::exit_mark_updates) return table[static_cast<std::size_t>(n)];
    static echo_corners other;
    other = compute_echo_corners(n);
    return other;
}

}  // namespace

void bullet_echo_draw(node** cursor) {
    (void)cursor;
    static constexpr line_colour dark_red{0x800000};
    for_each_live<bullet_echo>([](const bullet_echo& e) {
        const echo_corners& c = corners_for(e.countdown);
        int cx[4], cy[4];
        for (int k = 0; k < 4; ++k) {
            cx[k] = c.dx[k] + e.x + playfield_left;
            cy[k] = c.dy[k] + e.y + playfield_top;
        }
        draw_line(dark_red, cx[0], cy[0], cx[1], cy[1]);
        draw_line(dark_red, cx[1], cy[1], cx[2], cy[2]);
        draw_line(dark_red, cx[2], cy[2], cx[3], cy[3]);
        draw_line(dark_red, cx[0], cy[0], cx[3], cy[3]);
    });
}

}  // namespace gametask
