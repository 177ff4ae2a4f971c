#pragma once
#include <string>

namespace libraryscreen {

// The program's command line.
struct arguments {
    bool ok = true;
    std::string edition, difficulty;
    bool fullscreen = false;
};

// Each unknown argument is said with the usage, and ok is then false.
arguments read_arguments(int argc, char** argv);

}  // namespace libraryscreen
