#pragma once
#include <cstdint>
#include <vector>

#include <pqxx/pqxx>

#include "server/board_cache.hpp"

// A player's best on a board worked out again from their runs that may
// stand there (verified, not hidden, the player not restricted), with the
// board's buckets, after a session is hidden or restored, a player
// restricted or let back, or a session fails when verified again. Each call
// runs in the caller's transaction, which should hold the player's lock.
namespace server {

// Takes the player's lock (the one a worker's verdict takes) until the transaction ends.
void lock_player(pqxx::work& w, std::int64_t player);
// Locks every session of the player, then the player: a verdict under way
// (which holds its session's row, then takes the player's lock) ends first.
void lock_player_and_sessions(pqxx::work& w, std::int64_t player);

void refresh_best(pqxx::work& w, std::int64_t player, const board_id& board);

// Every board the player has a best on or a verified session of.
std::vector<board_id> player_boards(pqxx::work& w, std::int64_t player);

// The player's best off the board, nothing put back.
void remove_best(pqxx::work& w, std::int64_t player, const board_id& board);

}  // namespace server
