#pragma once
#include <string>

// A replay about to be raced as a ghost, checked before any window opens:
// it is a replay, it was played on the very stage it will race on, and it
// holds the finished run asked for. Every front end that offers ghosts
// (velmora_play --ghost, the library screen) checks with this one.
namespace results {

// "" when `replay_file`'s run `run` (from 1) can race on `stage_file`; else
// one line. `stage_words` names the stage for the player ("\"Song\" in the
// dynamics edition at hard").
std::string check_ghost_replay(const std::string& replay_file, int run, const std::string& stage_file,
                               const std::string& stage_words);

}  // namespace results
