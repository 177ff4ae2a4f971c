#include "libraryscreen/arguments.hpp"

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "libraryscreen/drawing.hpp"
#include "vaz/limits.hpp"

namespace libraryscreen {

arguments read_arguments(int argc, char** argv) {
    arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--edition" && i + 1 < argc && converter::edition_from_name(argv[i + 1])) {
            a.edition = argv[++i];
        } else if (arg == "--difficulty" && i + 1 < argc && converter::difficulty_from_name(argv[i + 1])) {
            a.difficulty = argv[++i];
        } else if (arg == "--fullscreen") {
            a.fullscreen = true;
        } else if ((arg == "--song" || arg == "--play") && i + 1 < argc && argv[i + 1][0] && a.song.empty()) {
            a.play = arg == "--play";
            a.song = argv[++i];
        } else if (int ms = 0; arg == "--offset" && i + 1 < argc &&
                               vaz::parse_whole_number(argv[i + 1], vaz::offset_ms_range, ms)) {
            a.offset_ms = ms;
            ++i;
        } else if ((arg == "--ghost" || arg == "--ghost-name") && i + 1 < argc) {
            (arg == "--ghost" ? a.ghost.replay_file : a.ghost.name) = argv[++i];
        } else if (int run = 0; arg == "--ghost-run" && i + 1 < argc &&
                                vaz::parse_whole_number(argv[i + 1], vaz::whole_range{1, 1 << 20}, run)) {
            a.ghost.run = run;
            ++i;
        } else {
            say("unknown argument \"" + arg + "\"; usage: " + program +
                " [--edition NAME] [--difficulty NAME] [--fullscreen] [--offset MS] [--song FILE | --play FILE] [--ghost FILE [--ghost-name NAME] [--ghost-run N]]");
            a.ok = false;
        }
    }
    return a;
}

}  // namespace libraryscreen
