#include "game/entry.hpp"

#include <cstdio>
#include <string>

#include "game/ghost.hpp"
#include "game/options.hpp"
#include "game/replay_session.hpp"
#include "game/stage.hpp"
#include "gametask/schedulers.hpp"
#include "shell/video.hpp"

namespace {

int fail(const std::string& what) {
    std::fprintf(stderr, "velmora: %s\n", what.c_str());
    return 1;
}

}  // namespace

void play_frame() {
    clear_frame();
    replay_before_update();
    update_tasks.run();
    replay_after_update();
    draw_tasks.run();
    draw_ghost();
}

int velmora_main(int argc, char** argv) {
    const game_options options = read_game_options(argc, argv);
    if (!options.ok) return fail(options.why);

    stage_request r;
    if (!options.demo) {
        r.music_file = options.music_file;
        r.pattern_file = options.pattern_file;
    }
    r.offset_ms = options.offset_ms;
    r.offset_given = options.offset_given;
    r.align_ms = options.align_ms;
    r.volume = options.volume;
    r.effects = options.effects;
    r.replay = options.replay;
    r.watch = options.watch;
    r.ghost = options.ghost;

    // A bad file or a missing display is reported before the screen mode
    // changes, and without the abort that a failed SDL_Init would raise.
    if (const std::string why = load_stage(r); !why.empty()) return fail(why);
    if (const std::string why = open_game_window({options.fullscreen, 1}); !why.empty()) return fail(why);
    stage_outcome o = run_stage(r);
    close_game_window();
    finish_stage(o);
    if (o.end == stage_end::failed) return fail(o.why);
    return o.recording_failed ? 1 : 0;
}
