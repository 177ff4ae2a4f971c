#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "library/song_library.hpp"

namespace library {

// A play session's name: the song, the edition, the difficulty (left out
// for hard, as sessions were named before difficulties were chosen), the
// time and this process, unique among the sessions of one user, so two
// difficulties never share a recording or a replay. Its recording is
// replays/NAME.session while the game runs; a replay kept from it is
// replays/NAME.vrp.
std::string session_name(const std::string& song_hash, stage_choice choice, std::int64_t now, pid_t pid);

struct session_outcome {
    std::vector<result_row> runs;   // this session's finished runs, in order
    std::optional<result_row> best;  // the song's best in the edition afterwards, on the stage played
    bool new_best = false;                       // a run of this session is that stage's best now
    bool stored = false;                         // the runs are in the library
    std::vector<std::string> problems;           // each a message line, without the program name
};

// After the game, however it ended: reads the session's recording (the game
// writes it whole at every result screen, so it holds every finished run),
// stores its runs in the library in one transaction, keeps the replay as the
// song's best when it holds a better run than the stored best (cut after
// that run, written beside and then named in the library; the replay it
// replaces is deleted only after that committed), and removes the recording.
// A missing recording means no run was finished. A replay name the library
// gives back that is not a plain name in the replays folder is reported and
// left alone. Without a library, or when it fails, the runs are still read
// and reported, and the recording stays for a later program to keep
// (keep_abandoned_sessions).
session_outcome keep_session(song_library* library, const std::string& replays_dir,
                             const std::string& session, const std::string& song_hash, stage_choice choice,
                             std::int64_t now);

// Keeps the sessions whose program ended before it could (killed, or the
// machine went down): every recording in replays_dir but `own` whose process
// is gone, and the temporaries such a process left. Returns how many
// finished runs were stored; problems get a line each.
// `before_keep` sees each one's recording first (to queue it for the
// scoreboard server), with the session's name, song hash, edition and difficulty.
using abandoned_hook = std::function<void(const std::string& recording, const std::string& session,
                                          const std::string& song_hash, stage_choice choice)>;
std::size_t keep_abandoned_sessions(song_library* library, const std::string& replays_dir,
                                    const std::string& own, std::int64_t now, std::vector<std::string>& problems,
                                    const abandoned_hook& before_keep = {});

}  // namespace library
