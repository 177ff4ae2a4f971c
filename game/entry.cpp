#include "game/entry.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "game/frame_clock.hpp"
#include "game/number_option.hpp"
#include "game/replay_session.hpp"
#include "game/stage.hpp"
#include "gametask/schedulers.hpp"
#include "shell/video.hpp"

namespace {

int fail(const std::string& what) {
    std::fprintf(stderr, "velmora: %s\n", what.c_str());
    return 1;
}

// Whether the command line sets the offset; the clock's options say what to.
bool offset_given(int argc, char** argv) {
    for (int i = 3; i < argc; ++i) {
        if (std::strncmp(argv[i], "-offset=", 8) == 0) return true;
    }
    return false;
}

}  // namespace

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
    clear_frame();
    replay_before_update();
    update_tasks.run();
    replay_after_update();
    draw_tasks.run();
}

int velmora_main(int argc, char** argv) {
    const clock_options clock_opts = read_clock_options(argc, argv);
    if (!clock_opts.ok) return fail(clock_opts.why);
    const number_option volume = read_volume_option(argc, argv);
    if (!volume.ok) return fail(volume.why);
    const number_option effects = read_effects_option(argc, argv);
    if (!effects.ok) return fail(effects.why);

    stage_request r;
    if (argc >= 3) {
        r.music_file = argv[1];
        r.pattern_file = argv[2];
    }
    r.offset_ms = clock_opts.offset_ms;
    r.offset_given = offset_given(argc, argv);
    r.volume = volume.value;
    r.effects = effects.value;
    r.replay = read_replay_options(argc, argv);

    // A bad file or a missing display is reported before the screen mode
    // changes, and without the abort that a failed SDL_Init would raise.
    if (const std::string why = load_stage(r); !why.empty()) return fail(why);
    if (const std::string why = open_game_window({choose_fullscreen(argc, argv), 1}); !why.empty()) return fail(why);
    stage_outcome o = run_stage(r);
    close_game_window();
    finish_stage(o);
    if (o.end == stage_end::failed) return fail(o.why);
    return o.recording_failed ? 1 : 0;
}
