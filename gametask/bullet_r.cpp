#include "gametask/bullet_r.hpp"

#include <cmath>

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

// Where the incoming bullets stood when a walk's first burst came, by square
// of the field, so that a burst looks only at the bullets in the squares near
// its box instead of at all of them. Until the walk leaves the incoming
// bullets, nothing else spawns or moves one and each moves at most once more
// (its own update, by its velocity), so a burst looks as much further as the
// fastest of them moves, and a bullet that leaves the field is struck off.
// The squares serve the walk they were filled in; a burst outside a walk (a
// body called on its own) fills them anew. What a burst sets off does not
// depend on the order it finds the bullets in, so the squares' order changes
// nothing.
class burst_grid {
public:
    void ended(const node* n) {
        if (built_ && walk_ == update_tasks.walks()) cell_[n - nodes_] = struck_off;
    }

    // Calls f with every live incoming bullet that can be in the box
    // [left, right] x [top, bottom] now, and some others; the box test is f's.
    template <class F>
    void each_near(float left, float right, float top, float bottom, F f) {
        if (!built_ || !update_tasks.walking() || walk_ != update_tasks.walks()) build();
        const int x0 = column(left - reach_x_), x1 = column(right + reach_x_);
        const int y0 = column(top - reach_y_), y1 = column(bottom + reach_y_);
        for (int cy = y0; cy <= y1; ++cy) {
            for (int cx = x0; cx <= x1; ++cx) {
                const int cell = cy * side + cx;
                for (int slot = head_[cell]; slot >= 0; slot = next_[slot]) {
                    if (cell_[slot] == cell) f(nodes_ + slot);
                }
            }
        }
    }

private:
    static constexpr int pool = update_scheduler::capacity<bullet_r>();
    static constexpr float square = 22.0f;  // pixels; at least a burst's box, which so touches 2 x 2 squares at most
    static constexpr int side = static_cast<int>(rules::field_size / square);
    static_assert(square >= 2 * rules::burst_reach && side * square == rules::field_size);
    static constexpr int struck_off = -1;
    // Beyond a move's velocity: the rounding of the addition, far below a pixel on the field.
    static constexpr float rounding = 1.0f;

    // Never decreasing in v (a product with a positive constant never is), so
    // the squares of a box's edges bound every bullet inside it; beyond the
    // field, and NaN, in the edge squares.
    static int column(float v) {
        const float c = v * (1.0f / square);
        if (!(c >= 0.0f)) return 0;
        if (c >= static_cast<float>(side - 1)) return side - 1;
        return static_cast<int>(c);
    }

    void build() {
        for (int& h : head_) h = -1;
        nodes_ = update_tasks.pool_nodes<bullet_r>();
        float fastest_x = 0.0f, fastest_y = 0.0f;
        for (node* n = update_tasks.begin<bullet_r>(); n != update_tasks.end<bullet_r>(); n = n->next) {
            const int slot = static_cast<int>(n - nodes_);
            const bullet_r& b = vaz::tasksystem::object_of<bullet_r>(n);
            const int cell = column(b.y) * side + column(b.x);
            cell_[slot] = cell;
            next_[slot] = head_[cell];
            head_[cell] = slot;
            // A NaN velocity takes its bullet off the field at its next move.
            if (std::fabs(b.vx) > fastest_x) fastest_x = std::fabs(b.vx);
            if (std::fabs(b.vy) > fastest_y) fastest_y = std::fabs(b.vy);
        }
        reach_x_ = fastest_x + rounding;
        reach_y_ = fastest_y + rounding;
        built_ = true;
        walk_ = update_tasks.walks();
    }

    bool built_ = false;
    std::uint64_t walk_ = 0;  // the walk they were filled in
    float reach_x_ = 0.0f, reach_y_ = 0.0f;  // how far a bullet may have moved since the squares were filled
    int head_[side * side] = {};
    int cell_[pool] = {};  // the square a bullet's node was filed in, or struck_off
    int next_[pool] = {};
    node* nodes_ = nullptr;  // the pool's first node: a node's slot is its distance from it
};

burst_grid grid;

// Sets off every normal bullet in the box around the bursting one. Each link
// of a chain scores one more than the link that set it off.
void burst(node* self, const bullet_r& b) {
    const float left = b.x - rules::burst_reach, right = b.x + rules::burst_reach;
    const float top = b.y - rules::burst_reach, bottom = b.y + rules::burst_reach;
    game* run = first_live<game>();
    grid.each_near(left, right, top, bottom, [&](node* n) {
        if (n == self) return;
        bullet_r& o = vaz::tasksystem::object_of<bullet_r>(n);
        if (o.state != 0) return;
        if (o.x >= left && o.x <= right && o.y >= top && o.y <= bottom) {
            o.state = 1;
            o.chain = b.chain + 1;
            if (run) run->score += o.chain;
        }
    });
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
        grid.ended(*cursor);
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
