#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library/song_library.hpp"
#include "online/account.hpp"
#include "online/client.hpp"

// One board per recording, whatever the file: when the board of a song's
// recording (for its edition and difficulty) is on a stage made from another
// copy, that stage is downloaded, checked by its hash and kept in the cache,
// the player's file is aligned to the file it was made from, and the song
// library records the outcome (library::board_stage_row), which
// library::stage_for_play turns into the stage the game plays.
namespace online {

// The recording's board for this edition and difficulty when it is on
// another stage than `own_stage`; nothing when the song's own stage holds
// it or there is none yet.
std::optional<version> other_board(const std::vector<version>& boards, library::stage_choice choice,
                                   const std::string& own_stage);

struct board_stage_question {
    std::string song_hash;  // hex, as the song library names it
    std::string song_path;  // the player's file, for its envelope when none is kept
    std::string own_stage;       // the hash of the song's own stage
    std::string own_stage_file;  // and its file in the stage cache
    library::stage_choice choice;
};

struct board_stage_outcome {
    bool asked = false;  // the server answered about the recording
    // The row the song plays by: measured now, or kept from before when the
    // server could not be asked. Nothing: the song's own stage, as offline.
    std::optional<library::board_stage_row> row;
    std::string why;  // what could not be done (no server, unreachable, a download), for a log line
};

// Offline or without a server: nothing asked and nothing changed. A row
// already measured for the same board stage is kept, not measured again.
board_stage_outcome refresh_board_stage(const account& who, library::song_library& songs,
                                        const board_stage_question& q, const limits& l = {});

// The stage named `stage_hash` in `file`: kept when the file already holds
// it, else downloaded, checked against the hash the server names it by, and
// written under a temporary name and renamed. "" or why not.
std::string keep_stage(const client& c, const std::string& stage_hash, const std::string& file);

// Where a downloaded board stage is kept: $XDG_CACHE_HOME/velmora/boards/HASH.pat.
std::string board_stage_file(const std::string& stage_hash);

}  // namespace online
