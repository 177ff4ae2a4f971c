#pragma once
#include <string>
#include <vector>

#include "library/song_library.hpp"
#include "online/account.hpp"
#include "online/client.hpp"
#include "stagecache/stage_cache.hpp"

// A song's world board and what is said beside it, looked up the same way
// for velmora_play --board and the library screen's panels.
namespace online {

// Where a lookup stopped; `why` then says it in the step's own words.
enum class board_failure { none, no_server, song, not_prepared, stage, server };

struct board_summary {
    board_failure failed = board_failure::none;
    std::string why;    // when failed: "no server", the song's or the stage's problem, "not prepared yet", the server's answer
    std::string stage;  // the hash of the song's stage, the board's name; "" until found
    board got;          // the rows, the asking player's place and how many players
    std::vector<version> versions;  // other stages of this recording (with a library that has its fingerprint)
    std::string state;  // the latest session's online state: queued, pending, verified, rejected: REASON
    bool ok() const { return failed == board_failure::none; }
};

struct board_question {
    std::string song;  // the audio file
    library::stage_choice choice;
    // A song whose stage the cache lacks is looked up by its recording (its
    // fingerprint, from one decode; nothing is prepared or recorded);
    // otherwise such a song is "not prepared yet".
    bool by_recording = false;
    int rows = 10;
};

// With a song library, a song it knows is not read again (library::song_hash_of),
// and the last session's state and the recording's other versions come with
// the board; without one nothing is read from or written to it.
board_summary look_up_board(const account& who, const board_question& q, const stagecache::stage_cache& cache,
                            library::song_library* songs, const limits& l = {});

}  // namespace online
