#include "gametask/contact_check.hpp"

#include "gametask/rules.hpp"
#include "gametask/task_access.hpp"
#include "shell/effects.hpp"

namespace gametask {

using vaz::tasksystem::node;
using vaz::tasksystem::object_of;

namespace {

bool hits(const myship& s, const bullet_r& b) {
    const float left = b.x - rules::hit_reach, right = b.x + rules::hit_reach;
    const float top = b.y - rules::hit_reach, bottom = b.y + rules::hit_reach;
    return s.x >= left && right >= s.x && s.y >= top && bottom >= s.y;
}

bool grazes(const myship& s, const bullet_r& b) {
    const float left = s.x - rules::graze_reach, right = s.x + rules::graze_reach;
    const float top = s.y - rules::graze_reach, bottom = s.y + rules::graze_reach;
    return b.x >= left && right >= b.x && b.y >= top && bottom >= b.y;
}

void take_hit(myship& ship, game& run) {
    for (int i = 0; i < rules::blood_per_hit; ++i) {
        node* n = update_tasks.spawn<blood>();
        if (!n) break;
        blood& drop = object_of<blood>(n);
        drop.x = ship.x;
        drop.y = ship.y;
    }
    ++run.hits;
    cue_effect(effect::hit);
}

// The hurt face replaces the smile, or lasts another full spell if already showing.
void show_hurt_face() {
    if (bombed* face = first_live<bombed>()) {
        face->frames = 0;
        return;
    }
    kill_first_live<smile>();
    update_tasks.spawn<bombed>();
}

void take_graze(myship& ship, game& run, const bullet_r& b) {
    ++run.score;
    cue_effect(effect::graze);
    if (++ship.gauge > rules::gauge_max) ship.gauge = rules::gauge_max;
    if (node* n = update_tasks.spawn<spark>()) {
        spark& s = object_of<spark>(n);
        s.x = b.x;
        s.y = b.y;
    }
}

}  // namespace

void contact_check(myship& ship, game& run) {
    for (node* n = update_tasks.begin<bullet_r>(); n != update_tasks.end<bullet_r>(); n = n->next) {
        const bullet_r& b = object_of<bullet_r>(n);
        // Most bullets are far from the ship. A hit is always a graze as well
        // (1 pixel against 15, far beyond the rounding of coordinates that can
        // hit a ship on the field), so the wider box is looked at first.
        if (!grazes(ship, b)) continue;
        if (hits(ship, b)) {
            take_hit(ship, run);
            node* before = n->prev;
            update_tasks.kill<bullet_r>(n);
            n = before;
            show_hurt_face();
        } else {
            take_graze(ship, run, b);
        }
    }
}

}  // namespace gametask
