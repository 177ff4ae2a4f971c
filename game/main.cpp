#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "game/entry.hpp"
#include "game/options.hpp"

namespace {

// --help and --version, each only as the one argument, answer before the
// static objects start: those open the audio device and load the sprite
// sheet, and a question about the command line needs neither. glibc hands
// argc and argv to functions in .init_array; priority 101 runs this one
// before every static constructor.
__attribute__((constructor(101))) void answer_help_and_version(int argc, char** argv, char**) {
    if (argc != 2 || !argv || !argv[1]) return;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("velmora %s\n", VELMORA_VERSION);
        std::exit(0);
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        const std::string text =
            "usage: velmora MUSIC PATTERN [-window|-fullscreen]... [OPTION]...\n"
            "       velmora                  (the self-running title demo)\n"
            "Plays MUSIC and fires the bullets of PATTERN, a pattern file that velmora_bc\n"
            "wrote from the same music. Full screen unless the last option is -window.\n"
            "  -offset=MS     fire the bullets MS milliseconds later (" + vaz::offset_ms_range.span() + "; 0)\n"
            "  -align=MS      MUSIC comes MS milliseconds later than the file PATTERN was\n"
            "                 made from: added to the offset, never kept in a replay\n"
            "                 (" + vaz::align_ms_range.span() + "; 0)\n"
            "  -volume=N      the music's volume, " + vaz::volume_range.span() + " (" + std::to_string(full_volume) +
            ")\n"
            "  -effects=N     play the sound effects at N, " + vaz::effects_volume_range.span() + " (" +
            std::to_string(no_effects) + ": none)\n"
            "  -record=FILE   record the session's keys into FILE, a replay\n"
            "  -replay=FILE   play the replay FILE back; only Escape and P are read\n"
            "  -watch         watch the replay: [ or - slower, ] or + faster (0.25x to 8x),\n"
            "                 Space or P pause, . one update while paused, Left and Right\n"
            "                 5 seconds back and forward; the music plays at 1x only\n"
            "  -speed=X       watch at X times the recorded pace (0.25 to 8)\n"
            "  -at=SECONDS    watch from that moment of the replay (60, 1:01.5)\n"
            "  -link=URL      the watched run's velmora:// link: L shows it at the moment\n"
            "                 watched and copies it with xclip or xsel when there\n"
            "  -ghost=FILE    race the first run of the replay FILE, of the same stage: its\n"
            "                 ship moves beside yours, the top right says how you stand\n"
            "  -ghost-name=TEXT  the name the top right gives the ghost (FILE's name)\n"
            "  -ghost-run=N   race FILE's finished run N instead of its first\n"
            "Keys: arrows or W A S D move, Space bombs, Space, Z or Return start a run and\n"
            "leave the result screen, P pauses and resumes a run, Escape quits.\n";
        std::fputs(text.c_str(), stdout);
        std::exit(0);
    }
}

}  // namespace

int main(int argc, char** argv) { return velmora_main(argc, argv); }
