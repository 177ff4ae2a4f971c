#include "server/board_edits.hpp"

#include <stdexcept>
#include <string>

#include "server/statements.hpp"

namespace server {
namespace {

// Drops emptied bucket rows; a count below 0 means the counts had already
// lost a row, and nothing of the transaction is kept.
void settle_buckets(pqxx::work& w, const board_id& b, const pqxx::result& moved) {
    for (const pqxx::row& r : moved) {
        const auto players = r[2].as<std::int64_t>();
        if (players < 0)
            throw std::runtime_error("the board's count of bucket " + r[1].as<std::string>() + " at level " +
                                     r[0].as<std::string>() + " would fall below 0");
        if (players == 0) run(w, sql::bucket_empty_delete, b.stage, b.edition, b.difficulty, r[0].as<int>(), r[1].as<std::int64_t>());
    }
}

}  // namespace

void lock_player(pqxx::work& w, std::int64_t player) { run(w, sql::player_lock, player); }

void lock_player_and_sessions(pqxx::work& w, std::int64_t player) {
    run(w, sql::player_sessions_lock, player);
    lock_player(w, player);
}

void remove_best(pqxx::work& w, std::int64_t player, const board_id& b) {
    settle_buckets(w, b, run(w, sql::best_remove, b.stage, b.edition, b.difficulty, player));
}

void refresh_best(pqxx::work& w, std::int64_t player, const board_id& b) {
    remove_best(w, player, b);
    settle_buckets(w, b, run(w, sql::best_restore, b.stage, b.edition, b.difficulty, player));
}

std::vector<board_id> player_boards(pqxx::work& w, std::int64_t player) {
    std::vector<board_id> out;
    for (const pqxx::row& r : run(w, sql::player_boards, player))
        out.push_back({r[0].as<std::string>(), r[1].as<std::string>(), r[2].as<std::string>()});
    return out;
}

}  // namespace server
