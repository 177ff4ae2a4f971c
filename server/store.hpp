#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <pqxx/pqxx>

#include "server/submission.hpp"

// What the API stores and answers, in SQL with bound parameters only; each
// call runs inside the caller's transaction.
namespace server {

struct new_player {
    std::int64_t id = 0;
    bool name_taken = false;
};
// Keeps the player with its token's hash; name_taken when the name (in any case) is.
new_player add_player(pqxx::work& w, const std::string& name, const std::string& token_hash);

// The player holding this token's hash.
std::optional<std::int64_t> player_of(pqxx::work& w, const std::string& token_hash);

struct stored_session {
    std::int64_t id = 0;
    std::string status;
    bool other_player = false;  // the replay is another player's session; nothing was stored
};
// Stores a checked submission: its stage and replay once by hash, the
// session pending and its claimed runs. The same replay sent again by its
// player gives its session back.
stored_session add_session(pqxx::work& w, std::int64_t player, const submission& s);

// {"session", "player", "status", "reason", "stage", "edition", "difficulty", "submitted_at", "runs": [...]}, or null.
nlohmann::json session_json(pqxx::work& w, std::int64_t id);

// {"entries": [...], "you": entry or null, "players": count} in the game's best-run order.
nlohmann::json board_json(pqxx::work& w, const std::string& stage, const std::string& edition,
                          const std::string& difficulty, int limit, std::optional<std::int64_t> player);

std::optional<std::string> replay_bytes(pqxx::work& w, std::int64_t session);
std::optional<std::string> stage_bytes(pqxx::work& w, const std::string& hash);

// Microseconds since 1970 as "YYYY-MM-DDTHH:MM:SS.ffffffZ".
std::string utc_text(std::int64_t microseconds);

}  // namespace server
