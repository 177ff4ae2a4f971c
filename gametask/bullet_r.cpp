#include "gametask/bullet_r.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/effects.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn bullet_r::body = &bullet_r_update;
const vaz::tasksystem::body_fn bullet_r::draw::body = &bullet_r_draw;

namespace {

// Where a bullet left the field, truncated and held to the field's limits.
std::int32_t exit_coordinate(float v) {
    const std::int32_t t = rules::truncate_saturated(v);
    const auto limit = static_cast<std::int32_t>(rules::field_size);
    if (t > limit) return limit;
    if (t < 0) return 0;
    return t;
}

// Sets off every normal bullet in the box around the bursting one. Each link
// of a chain scores one more than the link that set it off.
void burst(node* self, const bullet_r& b) {
    const float left = b.x - rules::burst_reach, right = b.x + rules::burst_reach;
    const float top = b.y - rules::burst_reach, bottom = b.y + rules::burst_reach;
    game* run = first_live<game>();
    for (node* n = update_tasks.begin<bullet_r>(); n != update_tasks.end<bullet_r>(); n = n->next) {
        if (n == self) continue;
        bullet_r& o = vaz::tasksystem::object_of<bullet_r>(n);
        if (o.state != 0) continue;
        if (o.x >= left && o.x <= right && o.y >= top && o.y <= bottom) {
            o.state = 1;
            o.chain = b.chain + 1;
            if (run) run->score += o.chain;
        }
    }
}

}  // namespace

void bullet_r_update(node** cursor) {
    bullet_r& b = vaz::tasksystem::object_of<bullet_r>(*cursor);
    b.x = b.x + b.vx;
    b.y = b.y + b.vy;
    if (!rules::inside_field(b.x, b.y)) {
        if (node* n = update_tasks.spawn<bullet_echo>()) {
            bullet_echo& mark = vaz::tasksystem::object_of<bullet_echo>(n);
            mark.x = exit_coordinate(b.x);
            mark.y = exit_coordinate(b.y);
        }
        end_own_task<bullet_r>(cursor);
        return;
    }

    if (b.state == 0) return;
    ++b.state;
    if (b.state > rules::burst_end) {
        b.state = rules::spent_start;
        return;
    }
    if (b.state <= rules::fuse_end) return;
    if (b.state == rules::fuse_end + 1) cue_effect(effect::chain_burst);
    burst(*cursor, b);
}

// Drawing ---------------------------------------------------------------

void bullet_r_draw(node** cursor) {
    (void)cursor;
    static constexpr fill_colour dark_red{0x800000};
    // Two passes, so that no halo ever covers a bullet. An odd state (negative
    // ones too) makes the halo blink while the chain runs.
    for_each_live<bullet_r>([](const bullet_r& b) {
        if (b.state & 1) blit(bullet_halo, screen_left(b.x, 20), screen_top(b.y, 20));
    });
    for_each_live<bullet_r>([](const bullet_r& b) { fill_rect(screen_left(b.x, 3), screen_top(b.y, 3), 3, 3, dark_red); });
}

}  // namespace gametask
