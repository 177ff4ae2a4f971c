#pragma once
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "library/song_library.hpp"
#include "online/account.hpp"
#include "online/client.hpp"
#include "playcommand/options.hpp"

// velmora_play's scoreboard commands: --online, --offline, --submit and
// --board, the state of each best for --list, and sending a session's runs
// after the game without waiting for the server.
namespace playcommand {

// Each prints its report to `out` and its problems through `say`; 0 or 1.
int go_online(const play_options& o, std::FILE* out);
int go_offline(std::FILE* out);
int submit_now(std::FILE* out, bool all = false);
int print_board(const play_options& o, std::FILE* out);

// A board as --board prints it: rank, player, hits, score, ratio, and the
// asking player's place when outside the rows shown.
std::string format_board(const online::board& b, const std::string& you);

// For --list with a server set: each best's state there, by online_key.
std::map<std::string, std::string> best_states(library::song_library& library, const std::string& server);

}  // namespace playcommand
