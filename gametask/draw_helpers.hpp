#pragma once
#include <cstdint>

#include "gametask/schedulers.hpp"
#include "shell/video.hpp"

// What the drawing bodies share: walking the live tasks of one update type,
// placing playfield objects on the screen, and the play counters.
namespace gametask {

// Calls f with the object of every live T of update_tasks, newest first.
template <class T, class F>
void for_each_live(F f) {
    for (vaz::tasksystem::node* n = update_tasks.begin<T>(); n != update_tasks.end<T>(); n = n->next)
        f(vaz::tasksystem::object_of<T>(n));
}

// Truncation toward zero. A position far outside the screen (or NaN, from a
// damaged pattern file) becomes one far enough out that nothing is drawn.
inline int truncate_position(float v) {
    constexpr int far_away = 1 << 20;
    return (v > -far_away && v < far_away) ? static_cast<int>(v) : far_away;
}

// Screen column of the left edge of a shape w pixels wide centred on
// playfield x; -0.5 lands where 0.5 does.
inline int screen_left(float x, int w) { return truncate_position(x) + playfield_left - w / 2; }
inline int screen_top(float y, int h) { return truncate_position(y) + playfield_top - h / 2; }

// The left-margin counters: hits, then score per fifteen hits (the score
// itself before the first hit) with two decimals.
void draw_play_counters(std::int32_t hits, std::int32_t score);

}  // namespace gametask
