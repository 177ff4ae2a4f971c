#include "libraryscreen/arguments.hpp"

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "libraryscreen/drawing.hpp"

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
        } else {
            say("unknown argument \"" + arg + "\"; usage: " + program + " [--edition NAME] [--difficulty NAME] [--fullscreen]");
            a.ok = false;
        }
    }
    return a;
}

}  // namespace libraryscreen
