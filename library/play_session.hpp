#pragma once
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library/sessions.hpp"
#include "library/song_library.hpp"

// One play of a song, from the recording the game is given to the runs kept,
// and the best run's replay found again: the one workflow velmora_play and
// the library screen both run, each only printing or drawing what it says.
namespace library {

// A temporary stage older than this was left by a killed preparation: a day
// is far longer than any song takes to prepare.
constexpr long stale_after_seconds = 24 * 60 * 60;

// The session as the game is started on it.
struct session_start {
    std::string name;       // "" when results cannot be kept
    std::string recording;  // the file the game records into; "" when results cannot be kept
    std::string why_not;    // then the reason, as a message line
};

// Names the session and makes the replays folder.
session_start begin_session(const std::string& song_hash, stage_choice choice, std::int64_t now, pid_t pid);

// After the game, however it ended.
struct session_end {
    session_outcome kept;               // this session's runs (none when it could not record)
    std::size_t recovered = 0;          // finished runs of abandoned sessions stored now
    std::vector<std::string> problems;  // each a message line, without the program name
};

// A session for the scoreboard server as well: the server's address and the
// stage it was played on, copied with the recording (submissions.hpp).
struct submit_to {
    std::string server;
    std::string stage_path;
};

// Keeps the session's runs and its best run's replay (keep_session), then
// recovers sessions that ended before they could (recover_sessions). With
// `submit`, a session with a finished run is first queued for its server.
session_end end_session(song_library* library, const session_start& start, const std::string& song_hash,
                        stage_choice choice, std::int64_t now, const submit_to* submit = nullptr);

// At a program's start and after each session: keeps every session whose
// process is gone (killed, or the machine went down) but `own`, and removes
// the game's temporary recordings such a process left. Returns how many
// finished runs were stored.
// With `submit_server`, each one with a finished run is queued for that
// scoreboard server too, with its stage from the stage cache.
std::size_t recover_sessions(song_library* library, const std::string& own, std::int64_t now,
                             std::vector<std::string>& problems, const std::string& submit_server = {});

// A song's best run on the stage it plays now and its replay's file,
// checked: a replay the library names that is not a plain file name in the
// replays folder is refused, so no row makes a program open a file elsewhere.
struct best_replay {
    std::optional<result_row> best;  // the best run, when there is one
    std::string file;                // its replay's path; "" when it cannot be watched
    std::string why_not;             // then the reason, naming neither song nor program
};
best_replay find_best_replay(song_library& library, const std::string& song_hash, stage_choice choice);

// Runs played before a server was set: every kept best run, one per stage
// played (its replay in the replays folder, the stage it was played on still
// in the stage cache or, another version's, in the downloads folder) whose
// session was never queued, queued once for `server` with that stage. A best
// whose stage is no longer kept (made again in another format version)
// cannot be verified and is skipped, said in `skipped`.
struct backlog {
    std::size_t queued = 0;
    std::vector<std::string> skipped;  // each a message line
};
backlog queue_kept_bests(song_library& library, const std::string& server, std::int64_t now);

// The song is about to be played from `path`: its play recorded, and the file
// (scanned into the music tables when they do not know it yet) linked to its
// hash, so its runs show beside it in the lists.
void record_play(song_library& library, const std::string& path, const std::string& song_hash, std::int64_t now);

// The stage a song plays: its own, or its recording's board's with how much
// later the music comes in the player's file (the game's -align=).
struct stage_to_play {
    std::string stage_file;
    int align_ms = 0;
    bool board = false;  // the board's stage
    std::string note;    // why the own stage plays although a board was found; "" otherwise
};
// The board's stage when the library holds a clear row for it whose file is
// still there and whose alignment the game takes; else `own_stage`, with the
// row's reason (or the trouble with it) in note.
stage_to_play stage_for_play(song_library& library, const std::string& song_hash, stage_choice choice,
                             const std::string& own_stage);

}  // namespace library
