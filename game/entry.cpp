#include "game/entry.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "game/replay_session.hpp"
#include "game/startup.hpp"
#include "gametask/schedulers.hpp"
#include "shell/frame_pacing.hpp"
#include "shell/keyboard.hpp"
#include "shell/video.hpp"

bool choose_fullscreen(int argc, char** argv) {
    bool fullscreen = true;
    if (argc < 3) return fullscreen;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "-window") == 0) {
            fullscreen = false;
        } else if (std::strcmp(argv[i], "-fullscreen") == 0) {
            fullscreen = true;
        }
    }
    return fullscreen;
}

void play_frame() {
    SDL_Rect whole{0, 0, static_cast<Uint16>(window->width), static_cast<Uint16>(window->height)};
    SDL_FillRect(window->surface_ptr, &whole, 0);
    draw_playfield_border();
    replay_before_update();
    update_tasks.run();
    replay_after_update();
    draw_tasks.run();
}

int velmora_main(int argc, char** argv) {
    spawn_drawing_layer();

    const bool fullscreen = choose_fullscreen(argc, argv);
    // A bad file or a missing display is reported before the screen mode
    // changes, and without the abort that a failed SDL_Init would raise.
    if (const int status = open_stage_files(argc, argv); status != 0) return status;
    if (const int status = begin_replay_session(argc, argv); status != 0) return status;
    if (const std::string why = start_video(); !why.empty()) {
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

    if (const int status = start_stage(argc, argv); status != 0) {
        delete window;
        window = nullptr;
        return status;
    }

    pump_input();
    if (poll_events()) {
        do {
            play_frame();
            SDL_Flip(window->surface_ptr);
            frame_wait();
            pump_input();
        } while (poll_events());
    }

    delete window;
    window = nullptr;
    return end_replay_session();
}
