#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "musicindex/songs.hpp"
#include "playcommand/run_link.hpp"
#include "userfiles/settings.hpp"

namespace playcommand {

// set_volume: --volume without a song, which only saves it.
// add, folders, forget, scan: the player's music folders; search: its songs.
// library: no song at all, the game's own library screen.
// go_online, go_offline, submit, board: the scoreboard server.
// watch: a replay file, at any speed from any moment.
enum class command { play, replay, prepare, list, help, version, calibrate, set_volume, add, folders, forget, scan, search, library,
                     go_online, go_offline, submit, board, watch };

struct play_options {
    command what = command::play;
    // The stage: --edition and --difficulty when given, else the saved
    // settings' (follow_saved_stage), else the settings' defaults. Every
    // edition has the three difficulties, as velmora_bc's --difficulty; hard
    // is the edition's full density.
    converter::edition edition = *converter::edition_from_name(userfiles::default_edition);
    converter::difficulty difficulty = *converter::difficulty_from_name(userfiles::default_difficulty);
    bool edition_given = false, difficulty_given = false;
    bool fullscreen = false;
    unsigned jobs = 0;               // threads for preparing; 0 means one per core
    std::optional<int> offset_ms;    // --offset: for this run only, in place of the saved one
    std::optional<int> volume;       // --volume: saved, and used from this run on
    std::vector<std::string> songs;  // to play (the first) or replay, files and folders to prepare, folders to add or forget
    std::string search;              // --search: the typed text
    std::optional<musicindex::sort_order> sort;  // --sort, for --list and --search
    std::string server;              // --online URL
    std::string player;              // --player NAME
    bool all = false;                // --submit --all: the kept best runs never sent as well
    std::optional<int> watch_speed;          // --speed, in hundredths (results/watch_pace.hpp)
    std::optional<std::int64_t> watch_at_ms;  // --at
    std::string ghost;                        // --ghost best|top|FILE, for playing a song or --watch
    std::optional<run_link> link;             // a run on a server to watch, given as its link
    bool at_from_link = false;                // watch_at_ms is the link's t=, not --at
};

struct parsed_options {
    bool ok = false;
    play_options options;
    std::string error;  // what is wrong with the command line, when not ok
};

// Options may come before, between and after the songs; "--" ends them.
// Both "--edition zetaflux" and "--edition=zetaflux" are taken; the editions
// are those of converter/editions.def.
parsed_options parse_options(int argc, const char* const* argv);

// The saved edition and difficulty where the command line named none; a
// saved name that is not one of the converter's is said in `warnings` and
// the default kept.
void follow_saved_stage(play_options& o, const userfiles::settings& saved, std::vector<std::string>& warnings);

std::string usage_text();
using converter::edition_from_name;
using converter::edition_name;

}  // namespace playcommand
