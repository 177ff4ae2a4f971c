#pragma once
#include <string>

#include "results/replay_file.hpp"

namespace playcommand {

// What watching a replay file needs. A replay names its stage by the hash
// of the stage's bytes, so the stage is the cached one with those bytes;
// the cache names a stage by its song's hash, and the song library says
// where that song was last prepared or played from.
struct watch_target {
    std::string why;  // empty when found; else one line naming the replay
    bool stage_missing = false;  // the replay was read, but its stage is in no cache
    results::replay replay;
    std::string stage_path;
    std::string song_path;
};

// Nothing is written: the stage cache and the song library are only read.
watch_target find_watch_target(const std::string& replay_file, const std::string& stage_dir,
                               const std::string& library_path);

}  // namespace playcommand
