#include "gametask/myship.hpp"

#include "gametask/draw_helpers.hpp"
#include "gametask/rules.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/effects.hpp"
#include "shell/keyboard.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn myship::body = &myship_update;
const vaz::tasksystem::body_fn myship::draw::body = &myship_draw;
const vaz::tasksystem::body_fn myship::draw_grazecounter::body = &myship_draw_grazecounter;

namespace {

enum facing_code : std::int32_t { face_left = 0, face_right = 1, face_up = 2, face_down = 3 };

bool held(int key_a, int key_b) { return query_key(key_a).down || query_key(key_b).down; }

// One axis of the move. Once a movement has chosen its facing, a key joining
// it does not turn the ship, unless it is the only key left.
void move_axis(myship& s, float& coord, bool minus, bool plus, int held_count,
               std::int32_t face_minus, std::int32_t face_plus) {
    if (held_count >= 3) return;
    std::int32_t face;
    if (minus && !plus) {
        coord = coord - rules::ship_speed;
        face = face_minus;
    } else if (plus && !minus) {
        coord = coord + rules::ship_speed;
        face = face_plus;
    } else {
        return;
    }
    if (s.facing_locked == 0 || held_count == 1) {
        s.facing = face;
        s.facing_locked = 1;
    }
}

void clamp_to_field(float& coord) {
    if (coord > rules::field_size) {
        coord = rules::field_size;
    } else if (coord < 0.0f) {
        coord = 0.0f;
    }
}

// Sets off every normal incoming bullet in the catch box around the ship.
void catch_bullets(const myship& s) {
    const float left = s.x - rules::bomb_reach, right = s.x + rules::bomb_reach;
    const float top = s.y - rules::bomb_reach, bottom = s.y + rules::bomb_reach;
    for (node* n = update_tasks.begin<bullet_r>(); n != update_tasks.end<bullet_r>(); n = n->next) {
        bullet_r& b = vaz::tasksystem::object_of<bullet_r>(n);
        if (b.state != 0) continue;
        if (b.x >= left && b.x <= right && b.y >= top && b.y <= bottom) {
            b.state = 1;
            b.chain = 0;
        }
    }
}

}  // namespace

void myship_update(node** cursor) {
    myship& s = vaz::tasksystem::object_of<myship>(*cursor);

    const bool left = held(SDLK_LEFT, SDLK_a);
    const bool right = held(SDLK_RIGHT, SDLK_d);
    const bool up = held(SDLK_UP, SDLK_w);
    const bool down = held(SDLK_DOWN, SDLK_s);
    const int n = int(left) + int(right) + int(up) + int(down);

    // Horizontal first, so a diagonal start from rest faces sideways.
    move_axis(s, s.x, left, right, n, face_left, face_right);
    move_axis(s, s.y, up, down, n, face_up, face_down);
    if (n >= 3) s.facing_locked = 0;

    if (n == 0) {
        s.walk = 0;
        s.facing_locked = 0;
    } else {
        s.walk = (s.walk >= 8) ? 1 : s.walk + 1;
    }

    clamp_to_field(s.x);
    clamp_to_field(s.y);

    if (s.bomb > 0) {
        if (++s.bomb >= rules::bomb_end) {
            s.bomb = 0;
        } else {
            catch_bullets(s);
        }
    }
    if (s.bomb == 0 && query_key(SDLK_SPACE).pressed && s.gauge >= rules::bomb_cost) {
        s.gauge -= rules::bomb_cost;
        s.bomb = 1;
        cue_effect(effect::bomb);
    }
}

// Drawing ---------------------------------------------------------------

void myship_draw(node** cursor) {
    (void)cursor;
    for_each_live<myship>([](const myship& m) {
        const int step = m.walk == 0 ? 0 : (m.walk > 4 ? 2 : 1);
        blit(*ship_frames[m.facing][step], screen_left(m.x, 10), screen_top(m.y, 15));
        if (m.bomb & 1) blit(ship_halo, screen_left(m.x, 30), screen_top(m.y, 30));
    });
}

void myship_draw_grazecounter(node** cursor) {
    (void)cursor;
    static constexpr fill_colour white{0xffffff};
    static constexpr fill_colour black{0};
    constexpr int left = 600, top = 20, width = 20, height = 440;
    // One square per bomb stock, stacked up from the bottom beside the bar.
    auto draw_stock = [](int squares) {
        for (int i = 0; i < squares; ++i) fill_rect(570, 440 - 30 * i, 20, 20, white);
    };
    fill_rect(left, top, width, height, white);
    fill_rect(left + 1, top + 1, width - 2, height - 2, black);
    for_each_live<myship>([&](const myship& m) {
        const std::int32_t g = m.gauge;
        if (g == rules::gauge_max) {
            // The full bar stands for the sixteenth stock.
            fill_rect(left, top, width, height, white);
            draw_stock(15);
        } else {
            const int bar = (g % rules::bomb_cost) / 5;
            fill_rect(left, top + height - bar, width, bar, white);
            draw_stock(g / rules::bomb_cost);
        }
    });
}

}  // namespace gametask
