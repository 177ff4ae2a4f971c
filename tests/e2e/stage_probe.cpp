// stage_probe MUSIC PATTERN DISPLAY...: one window, one stage per DISPLAY
// (1, 2 or 3 for a window of that scale, full for full screen), played one
// after another as a library session plays them; each stage's start and end
// is one line on standard output ("stage 2 at 2", "stage 2 left"). Closing
// the window ends the session. For the stages case, which checks the window
// from outside.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "game/stage.hpp"

namespace {

const char* end_name(stage_end e) {
    switch (e) {
    case stage_end::left:
        return "left";
    case stage_end::quit:
        return "quit";
    case stage_end::replay_over:
        return "replay over";
    case stage_end::run_over:
        return "run over";
    case stage_end::retry:
        return "retry";
    case stage_end::failed:
        break;
    }
    return "failed";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: stage_probe MUSIC PATTERN 1|2|3|full...\n");
        return 2;
    }
    std::vector<display_settings> displays;
    for (int i = 3; i < argc; ++i) {
        const bool full = std::strcmp(argv[i], "full") == 0;
        displays.push_back({full, full ? 1 : std::atoi(argv[i])});
    }
    if (const std::string why = open_game_window(displays[0]); !why.empty()) {
        std::fprintf(stderr, "stage_probe: %s\n", why.c_str());
        return 1;
    }
    int status = 0;
    for (std::size_t i = 0; i < displays.size(); ++i) {
        if (const std::string why = change_display(displays[i]); !why.empty()) {
            std::fprintf(stderr, "stage_probe: %s\n", why.c_str());
            status = 1;
            break;
        }
        std::printf("stage %zu at %s\n", i + 1, argv[3 + i]);
        std::fflush(stdout);
        stage_request r;
        r.music_file = argv[1];
        r.pattern_file = argv[2];
        r.gamepad_back_leaves = true;
        const stage_outcome o = play_stage(r);
        std::printf("stage %zu %s\n", i + 1, end_name(o.end));
        std::fflush(stdout);
        if (o.end == stage_end::failed) {
            std::fprintf(stderr, "stage_probe: %s\n", o.why.c_str());
            status = 1;
            break;
        }
        if (o.end == stage_end::quit) break;
    }
    close_game_window();
    return status;
}
