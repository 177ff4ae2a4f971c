#pragma once
#include <string>

#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/screen_state.hpp"

namespace libraryscreen {

struct chosen_song {
    std::string path, title, artist;
};

// Finds the song's stage, preparing it with a bar when the cache does not
// have it; false (with the status set) when it cannot be had.
bool get_stage(screen_state& s, const chosen_song& song, prepared_stage& out);

}  // namespace libraryscreen
