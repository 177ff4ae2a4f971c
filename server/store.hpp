#pragma once
#include <cstdint>
#include <map>
#include <vector>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <pqxx/pqxx>

#include "server/board_cache.hpp"
#include "server/pages.hpp"
#include "server/statements.hpp"
#include "server/submission.hpp"

// What the API stores and answers, in SQL with bound parameters only; each
// call runs inside the caller's transaction.
namespace server {

struct new_player {
    std::int64_t id = 0;
    bool name_taken = false;
    std::string taken_by;  // the name that holds it (another case or a look-alike), when known
};
// Keeps the player with its token's hash and its name's key (check_name);
// name_taken when the name in any case, or a name with the same key, is.
new_player add_player(pqxx::work& w, const std::string& name, const std::string& name_key, const std::string& token_hash);

// Gives players kept before names had keys theirs, oldest first; a player
// whose name reads as an older one's keeps none (the older one holds it).
void key_old_names(pqxx::connection& c);

struct stored_session {
    bool player_known = false;  // a player holds the token; nothing was stored otherwise
    std::int64_t id = 0;
    std::string status;
    bool other_player = false;  // the replay is another player's session; nothing was stored
    std::optional<refusal> refused;  // a copy, other labels or a restricted player; nothing was stored
    std::int64_t original = 0;       // the session a refused copy repeats
    bool fresh = false;              // stored now, not found
};
// Stores a checked submission for the player holding this token's hash:
// its stage and replay once by hash, the session pending and its claimed
// runs. The same replay sent again by its player gives its session back,
// and so does the same play in another file (originals.hpp).
// A new session is written whole, with its play and the sending address, in
// one statement, so a submission costs few round trips.
stored_session add_session(pqxx::work& w, const std::string& token_hash, const submission& s, const std::string& address);

// Verification budgets (milliseconds of the re-plays' CPU in the last hour;
// 0: no limit). The seconds until the spend of the player holding this
// token's hash and of this address is back within its budget, as the
// hour's oldest spend ages out; 0 when both are within (or no player holds
// the token).
int verification_budget_wait(pqxx::work& w, const std::string& token_hash, const std::string& address,
                             std::int64_t player_budget_ms, std::int64_t address_budget_ms);
// A session sent (again) from address: keeps the address it was first sent
// from, and one that could not be verified is pending again with its
// attempts counted from none. Its status after; one statement.
std::string note_submission(pqxx::work& w, std::int64_t session, const std::string& address);

// The seconds until this address may make another player when it may make
// per_hour an hour (0: no limit); 0 when it may now. Holds a lock on the
// address until the transaction ends, so its requests take turns.
int new_player_wait(pqxx::work& w, const std::string& address, int per_hour);
void note_player_address(pqxx::work& w, std::int64_t player, const std::string& address);

// {"session", "player", "status", "reason", "stage", "edition", "difficulty", "submitted_at", "runs": [...]}, or null.
// The reason is "" unless token_hash is the hash of the session's player's token.
nlohmann::json session_json(pqxx::transaction_base& t, std::int64_t id, const std::string& token_hash);

// The bucket rows a board may have for its counts to be kept with its top.
constexpr std::size_t board_kept_buckets = 250000;

// A board's top `limit` rows in the game's best-run order, each entry's
// JSON text with its rank, its player count and, up to
// board_kept_buckets, its bucket counts. Two statements.
board_top board_top_rows(pqxx::transaction_base& t, const std::string& stage, const std::string& edition,
                         const std::string& difficulty, int limit);

// From a board's kept counts, for a ratio's key k: the players of the
// buckets better than k's, and the players of k's finest bucket.
struct bucket_counts {
    std::int64_t above = 0, level = 0;
};
bucket_counts count_buckets(const board_top& top, std::int64_t k);

// The entry of the player holding token_hash with its place and
// "rank_estimate" (whether the place is an estimate: only ever past the
// exact top); null when the player has no row on the board; nothing when no
// player holds the token. With the board's kept counts (kept, when not
// null) the statement reads only the player's row and the walk inside its
// bucket; else it counts the buckets too.
std::optional<nlohmann::json> board_place(pqxx::transaction_base& t, const std::string& stage, const std::string& edition,
                                          const std::string& difficulty, const std::string& token_hash, const board_top* kept);

// {"entries": [the first `limit` of top], "players": count, "recording_board": hash (when
// another stage is the board of this stage's recording), "you": you} as text.
std::string board_text(const board_top& top, int limit, const nlohmann::json& you);

// Places on a board up to this one are exact (10,000 unless set); past it
// a place may be the middle of the range it is known to lie in.
void set_board_exact_top(int places);

// Keeps the better of the player's best on the board and the verified
// session's runs, and the board's counts of players per bucket of ratio with
// it. Takes the player's lock for the rest of the transaction.
void record_best(pqxx::work& w, std::int64_t session, const std::string& stage, const std::string& edition,
                 const std::string& difficulty, std::int64_t player);

std::optional<std::string> replay_bytes(pqxx::transaction_base& t, std::int64_t session);
std::optional<std::string> stage_bytes(pqxx::transaction_base& t, const std::string& hash);
// The envelope kept with the stage; nothing when the stage or its envelope is unknown.
std::optional<std::string> stage_envelope(pqxx::transaction_base& t, const std::string& hash);

// After a verified session: its stage becomes its recording's board for
// these labels when the recording has none yet (kept once chosen).
void choose_recording_board(pqxx::work& w, const std::string& stage, const std::string& edition, const std::string& difficulty);

// The pages' reads. A board page's song and each listed session's watch
// count (a session gone is absent), nothing for an unknown stage; a
// session's page, nothing when it is unknown, hidden or its player
// restricted (host left empty).
struct board_extras {
    std::string title, artist;
    std::map<std::int64_t, std::int64_t> watches;
};
std::optional<board_extras> board_extras_of(pqxx::transaction_base& t, const std::string& stage,
                                            const std::vector<std::int64_t>& sessions);
std::optional<session_page_data> session_page_of(pqxx::transaction_base& t, std::int64_t id);

// A download of the session's replay by the player of token_hash, else by
// the address: counted once per viewer and day, the viewer kept as its
// keyed hash under secret (watch_secret). Whether it counted.
bool note_watch(pqxx::work& w, std::int64_t session, const std::string& token_hash, const std::string& address,
                const std::string& secret);
// The database's secret for watch viewers (made by the schema).
std::string watch_secret(pqxx::transaction_base& t);

// Who watched what is kept this many days, then pruned; the counts stay.
constexpr int watch_rows_days = 30;
// Deletes at most `batch` watch rows older than `days` in one statement:
// how many it deleted (fewer than batch: none of that age is left).
int prune_watches(pqxx::connection& c, int days, int batch);

// Microseconds since 1970 as "YYYY-MM-DDTHH:MM:SS.ffffffZ".
std::string utc_text(std::int64_t microseconds);

}  // namespace server
