#include "gametask/titleready.hpp"

#include "audiolayer/playback.hpp"
#include "gametask/draw_helpers.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn titleready::body = &titleready_update;
const vaz::tasksystem::body_fn titleready::draw::body = &titleready_draw;

namespace {

// The first updates never look at the keys, so the key that left the result
// screen cannot start the next run at once.
constexpr std::int32_t blind_updates = 3;

constexpr int start_keys[] = {SDLK_SPACE, SDLK_z, SDLK_RETURN, SDLK_UP, SDLK_DOWN, SDLK_LEFT,
                              SDLK_RIGHT, SDLK_a, SDLK_d, SDLK_w, SDLK_s};

bool start_key_pressed() {
    for (int key : start_keys)
        if (query_key(key).pressed) return true;
    return false;
}

// Everything a run needs fresh; bullets and effects from an earlier run carry on.
void start_run() {
    update_tasks.spawn<game>();
    update_tasks.spawn<myship>();
    update_tasks.spawn<smile>();  // a smile left by an old hurt face then serves
    for (int g = 0; g < pattern_group_count; ++g) {
        if (node* n = update_tasks.spawn<bullet_ctor>()) vaz::tasksystem::object_of<bullet_ctor>(n).group = g;
    }
    // The constructors first count in the next update, so the music and the
    // pattern clocks start together.
    audiolayer::playback::channel_set_position(music_stream, 0);
    audiolayer::playback::channel_play(music_stream, false);
}

}  // namespace

void titleready_update(node** cursor) {
    titleready& title = vaz::tasksystem::object_of<titleready>(*cursor);
    if (title.frames < blind_updates) {
        ++title.frames;
        return;
    }
    if (!start_key_pressed()) return;
    start_run();
    end_own_task<titleready>(cursor);
}

// Drawing ---------------------------------------------------------------

void titleready_draw(node** cursor) {
    (void)cursor;
    for_each_live<titleready>([](const titleready&) {
        draw_play_counters(0, 0);
        blit(smile_image, 10, 70);
        blit(title_image, 295, 220);
        blit(title_label, 305, 270);
    });
}

}  // namespace gametask
