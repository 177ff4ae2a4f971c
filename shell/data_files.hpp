#pragma once
#include <string>
#include <vector>

// Where the game's data files (the sprite sheet, the sound effects) are
// looked for, in order, for a file named like "data/p.bmp": relative to the
// working directory, beside the executable and beside its parent folder (a
// build folder inside the source tree), in the data folder of each install
// layout relative to the executable's parent (an installed tree that was
// moved, a package unpacked elsewhere), then in the installed data folder.
// exe_dir may be empty when it is unknown.
std::vector<std::string> data_file_locations(const std::string& exe_dir, const std::string& name);

// The first of paths naming a regular file; empty when none does.
std::string first_existing_file(const std::vector<std::string>& paths);

// The folder of the running executable; empty when it cannot be found out.
std::string executable_dir();
