#pragma once
#include <string>

#include "online/client.hpp"

// The run raced as a ghost (--ghost best|top|FILE): the player's own best
// of the stage, the board's first run downloaded, or a replay file; always
// checked to have been played on the stage it will race on.
namespace playcommand {

struct stage_named {
    std::string path;      // the stage file
    std::string song_hash;  // its song's, as the song library writes it
    std::string edition, difficulty;
    std::string song;  // how messages name the song
};

struct ghost_choice {
    std::string why;   // empty when found; else one line
    std::string file;  // the replay to race
    std::string name;  // how the game names it: "your best", "Mira #1"; "" for the file's name
    int run = 1;       // which of the replay's finished runs, from 1
};

// `which` is "best", "top" or a replay file. `library_path` is the song
// library's, `download_dir` where a board's run is kept; `server` and
// `token` the scoreboard's ("" when offline).
ghost_choice choose_ghost(const std::string& which, const stage_named& stage, const std::string& library_path,
                          const std::string& download_dir, const std::string& server, const std::string& token);

// A cached stage's edition and difficulty from its file name
// ("HASH-dynamics-easy-v1.pat", hard when it names none); false when the
// name is not a stage cache entry's.
bool stage_of_cache_name(const std::string& path, stage_named& out);

}  // namespace playcommand
