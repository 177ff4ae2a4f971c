#include "gametask/gameover.hpp"

#include "audiolayer/playback.hpp"
#include "gametask/draw_helpers.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/keyboard.hpp"
#include "shell/music.hpp"
#include "shell/sprites.hpp"

namespace gametask {

using vaz::tasksystem::node;

const vaz::tasksystem::body_fn gameover::body = &gameover_update;
const vaz::tasksystem::body_fn gameover::draw::body = &gameover_draw;

namespace {

constexpr std::int32_t key_wait_updates = 60;

bool leave_key_pressed() {
    return query_key(SDLK_SPACE).pressed || query_key(SDLK_z).pressed || query_key(SDLK_RETURN).pressed;
}

}  // namespace

// Keys are ignored for the first 60 updates, so a key hammered at the end of
// play does not skip the result. A hurt face still showing is left to run
// out; it brings the smile back during the title.
void gameover_update(node** cursor) {
    gameover& result = vaz::tasksystem::object_of<gameover>(*cursor);
    if (result.delay >= 0 && result.delay < key_wait_updates) {
        ++result.delay;
        return;
    }
    if (!leave_key_pressed()) return;

    kill_first_live<myship>();
    kill_first_live<smile>();
    kill_first_live<outi>();
    kill_first_live<game>();
    end_own_task<gameover>(cursor);
    audiolayer::playback::channel_stop(music_stream);
    update_tasks.spawn<titleready>();
}

// Drawing ---------------------------------------------------------------

void gameover_draw(node** cursor) {
    (void)cursor;
    for_each_live<gameover>([](const gameover&) { blit(gameover_image, 285, 230); });
}

}  // namespace gametask
