#pragma once
#include <optional>
#include <string>

#include "game/ghost.hpp"

namespace libraryscreen {

// The program's command line.
struct arguments {
    bool ok = true;
    std::string edition, difficulty;
    bool fullscreen = false;
    // --song FILE: listed and highlighted; --play FILE: that, and played at once.
    std::string song;
    bool play = false;
    std::optional<int> offset_ms;  // --offset MS, for this start only
    ghost_request ghost;           // --ghost FILE [--ghost-name NAME] [--ghost-run N]: raced in the song played
};

// Each unknown argument is said with the usage, and ok is then false.
arguments read_arguments(int argc, char** argv);

}  // namespace libraryscreen
