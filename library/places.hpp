#pragma once
#include <memory>
#include <string>

#include "library/song_library.hpp"

namespace library {

// The song library's file in the user's data folder; empty without a home.
std::string library_path();

// Replays are the player's, kept with the library rather than in the cache.
std::string replays_dir();

// Stages and runs downloaded from a scoreboard server, each named by what
// the server names it (a stage by its hash: HASH.pat).
std::string downloads_dir();

// The song library, made with its folder when missing, or nothing with the
// reason in `problem`: songs still get prepared and played without it.
std::unique_ptr<song_library> open_library(std::string& problem);

}  // namespace library
