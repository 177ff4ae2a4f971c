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

// Where the incoming bullets stand, by square of the field, so that a burst
// looks only at the bullets in the squares its box touches instead of at all
// of them. It serves the bursts of one update walk: built at the walk's first
// burst from the bullets as they stand then, and kept in step as the rest of
// the walk moves and ends them (nothing else moves, spawns or ends an
// incoming bullet while the walk is among them). A bullet update that does
// not follow the one before it in the walk (the first of the next walk, or a
// body called on its own) forgets it. What a burst sets off does not depend
// on the order it finds the bullets in, so the squares' order changes nothing.
class burst_grid {
public:
    // Before each update: forgets the squares unless the walk goes on as the last update left it.
    void arrive(const node* self) {
        if (self != expected_) built_ = false;
    }
    // After each update: the node the walk updates next.
    void expect(const node* next) { expected_ = next; }

    void moved(const node* n, const bullet_r& b) {
        if (!built_) return;
        const int slot = static_cast<int>(n - nodes_);
        const int cell = cell_of(b.x, b.y);
        if (cell == cell_[slot]) return;
        unlink(slot);
        link(slot, cell);
    }

    void ended(const node* n) {
        if (built_) unlink(static_cast<int>(n - nodes_));
    }

    // Calls f with every live incoming bullet in the squares the box
    // [left, right] x [top, bottom] touches; the box test is f's.
    template <class F>
    void each_near(float left, float right, float top, float bottom, F f) {
        if (!built_) build();
        const int x0 = column(left), x1 = column(right), y0 = column(top), y1 = column(bottom);
        for (int cy = y0; cy <= y1; ++cy) {
            for (int cx = x0; cx <= x1; ++cx) {
                for (int slot = head_[cy * side + cx]; slot >= 0; slot = next_[slot]) f(nodes_ + slot);
            }
        }
    }

private:
    static constexpr int pool = update_scheduler::capacity<bullet_r>();
    static constexpr float square = 22.0f;  // pixels; at least a burst's box, which so touches 2 x 2 squares at most
    static constexpr int side = static_cast<int>(rules::field_size / square);
    static_assert(square >= 2 * rules::burst_reach && side * square == rules::field_size);

    // Never decreasing in v (a product with a positive constant never is), so
    // the squares of a box's edges bound every bullet inside it; beyond the
    // field, and NaN, in the edge squares.
    static int column(float v) {
        if (!(v >= 0.0f)) return 0;
        if (v >= rules::field_size) return side - 1;
        const int c = static_cast<int>(v * (1.0f / square));
        return c < side ? c : side - 1;
    }
    static int cell_of(float x, float y) { return column(y) * side + column(x); }

    void build() {
        for (int& h : head_) h = -1;
        nodes_ = update_tasks.pool_nodes<bullet_r>();
        for (node* n = update_tasks.begin<bullet_r>(); n != update_tasks.end<bullet_r>(); n = n->next) {
            const int slot = static_cast<int>(n - nodes_);
            const bullet_r& b = vaz::tasksystem::object_of<bullet_r>(n);
            link(slot, cell_of(b.x, b.y));
        }
        built_ = true;
    }

    void link(int slot, int cell) {
        cell_[slot] = cell;
        prev_[slot] = -1;
        next_[slot] = head_[cell];
        if (head_[cell] >= 0) prev_[head_[cell]] = slot;
        head_[cell] = slot;
    }

    void unlink(int slot) {
        if (prev_[slot] >= 0) {
            next_[prev_[slot]] = next_[slot];
        } else {
            head_[cell_[slot]] = next_[slot];
        }
        if (next_[slot] >= 0) prev_[next_[slot]] = prev_[slot];
    }

    bool built_ = false;
    const node* expected_ = nullptr;
    int head_[side * side] = {};
    int cell_[pool] = {};
    int next_[pool] = {};
    int prev_[pool] = {};
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

void update(node** cursor) {
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
    grid.moved(*cursor, b);

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

}  // namespace

void bullet_r_update(node** cursor) {
    grid.arrive(*cursor);
    update(cursor);
    grid.expect((*cursor)->next);
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
