#include "game/entry.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

#include "audiolayer/playback.hpp"
#include "game/frame_clock.hpp"
#include "game/options.hpp"
#include "game/replay_session.hpp"
#include "game/startup.hpp"
#include "gametask/game.hpp"
#include "gametask/schedulers.hpp"
#include "gametask/task_access.hpp"
#include "shell/frame_pacing.hpp"
#include "shell/gamepad.hpp"
#include "shell/keyboard.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {

// P pauses a run in play; the result screen and the title have nothing to pause.
bool run_in_play() {
    const gametask::game* g = gametask::first_live<gametask::game>();
    return g && !g->finished;
}

// The black clear and the playfield border every frame starts with.
void clear_screen() {
    SDL_Rect whole{0, 0, static_cast<Uint16>(window->width), static_cast<Uint16>(window->height)};
    SDL_FillRect(window->surface_ptr, &whole, 0);
    draw_playfield_border();
}

void draw_pause_label() { blit(pause_label, 325 - pause_label.rect.w / 2, 240 - pause_label.rect.h / 2); }

}  // namespace

void play_frame() {
    clear_screen();
    replay_before_update();
    update_tasks.run();
    replay_after_update();
    draw_tasks.run();
}

int velmora_main(int argc, char** argv) {
    const game_options options = read_game_options(argc, argv);
    if (!options.ok) {
        std::fprintf(stderr, "velmora: %s\n", options.why.c_str());
        return 1;
    }
    // The output starts at full volume, which leaves the samples untouched.
    if (options.volume != full_volume) audiolayer::playback::set_volume(options.volume);
    spawn_drawing_layer();

    const bool fullscreen = options.fullscreen;
    int offset_ms = options.offset_ms;
    // A bad file or a missing display is reported before the screen mode
    // changes, and without the abort that a failed SDL_Init would raise.
    if (const int status = open_stage_files(options); status != 0) return status;
    if (const int status = begin_replay_session(options, offset_ms); status != 0) return status;
    if (const std::string why = start_video(fullscreen); !why.empty()) {
        std::fprintf(stderr, "velmora: %s\n", why.c_str());
        return 1;
    }
    window = new vaz::xcppsdl<void>(fullscreen ? SDL_FULLSCREEN : 0);
    if (!window->surface_ptr) {
        std::fprintf(stderr, "velmora: cannot set the 640x480 32-bit video mode: %s\n", SDL_GetError());
        delete window;
        window = nullptr;
        return 1;
    }
    if (fullscreen) SDL_WarpMouse(40, 375);
    // A replay's keys come from its recording; a live joystick must not add to them.
    if (!options.replay_given) open_gamepads();

    if (const int status = start_stage(options); status != 0) {
        delete window;
        window = nullptr;
        return status;
    }

    frame_clock clock(offset_ms);
    bool pause_key_was_down = false;
    pump_input();
    if (poll_events()) {
        do {
            clear_screen();
            // Its own edge, apart from the snapshot: a frame that runs no
            // update keeps the snapshot, and P must count once.
            const bool pause_key_down = live_key_down(SDLK_p);
            if (pause_key_down && !pause_key_was_down) {
                if (clock.paused()) {
                    clock.resume();
                } else if (run_in_play()) {
                    clock.pause();
                }
            }
            pause_key_was_down = pause_key_down;
            const std::int64_t updates = clock.updates_due();
            for (std::int64_t i = 0; i < updates; ++i) {
                replay_before_update();
                update_tasks.run();
                replay_after_update();
                if (i + 1 < updates) settle_keys();
                if (!clock.after_update()) break;
            }
            draw_tasks.run();
            if (clock.paused()) draw_pause_label();
            SDL_Flip(window->surface_ptr);
            clock.wait();
            if (updates > 0 || clock.paused()) {
                pump_input();
            } else {
                pump_input_keeping_edges();
            }
        } while (poll_events());
    }

    delete window;
    window = nullptr;
    return end_replay_session();
}
