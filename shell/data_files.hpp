#pragma once
#include <string>
#include <vector>

// Where the game's data files (the sprite sheet, the sound effects) are
// looked for, in order, for a file named like "data/p.bmp": relative to the
// working directory, beside the executable (a build folder holds its data
// there, as an install does) and beside its parent folder, in the data
// folder of each install layout relative to the executable's parent (an
// installed tree that was moved, a package unpacked elsewhere), then in the
// installed data folder. exe_dir may be empty when it is unknown.
std::vector<std::string> data_file_locations(const std::string& exe_dir, const std::string& name);

// The first of paths naming a regular file; empty when none does.
std::string first_existing_file(const std::vector<std::string>& paths);

// The running game's data file: the first of its locations from the
// program's own folder (vaz::executable_dir) that holds it; empty when none does.
std::string find_data_file(const std::string& name);
