#include "server/store.hpp"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "results/result_row.hpp"
#include "server/names.hpp"
#include "server/originals.hpp"

namespace server {
namespace {

const std::string now_us = "(extract(epoch FROM clock_timestamp()) * 1000000)::bigint";
const std::string order = std::string(results::best_order_sql) + ", session, run";

// "Row a comes before row m" in the board's order: best_order_sql's terms,
// then session and run, built from that one definition. With it the first
// term's bound (a's first column not past m's), so the index that holds the
// order is walked only up to m.
std::string before_sql(const std::string& a, const std::string& m) {
    struct term {
        std::string column;
        bool descending;
    };
    std::vector<term> terms;
    std::istringstream in(std::string(results::best_order_sql) + ", session ASC, run ASC");
    std::string part;
    while (std::getline(in, part, ',')) {
        std::istringstream words(part);
        std::string column, direction;
        words >> column >> direction;
        terms.push_back({column, direction == "DESC" || direction == "desc"});
    }
    std::string tie, rest;
    for (std::size_t i = terms.size(); i-- > 0;) {
        const term& t = terms[i];
        const std::string ahead = a + "." + t.column + (t.descending ? " > " : " < ") + m + "." + t.column;
        rest = rest.empty() ? ahead : "(" + ahead + " OR (" + a + "." + t.column + " = " + m + "." + t.column + " AND " + rest + "))";
    }
    const term& first = terms.front();
    return a + "." + first.column + (first.descending ? " >= " : " <= ") + m + "." + first.column + " AND " + rest;
}

const std::string board_where = "stage = $1 AND edition = $2 AND difficulty = $3";
const std::string board_columns = "player, hits, score, ratio, session, run, played_at";

// The levels of a board's buckets, as the schema keeps them: level L's
// bucket of a ratio is ratio_key(ratio) >> shifts[L], each level's buckets
// 64 to one of the level above.
constexpr int shifts[] = {52, 46, 40, 34};
const std::string levels_sql = "(VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift)";

// The players in buckets better than the reader's (key K), level by level:
// at level 0 every better bucket, below it the better ones among the
// children of the reader's bucket of the level above.
std::string above_sql() {
    const std::string k = "(SELECT k FROM mine)";
    std::string sum;
    for (int level = 0; level < 4; ++level) {
        sum += std::string(level ? " + " : "") + "(SELECT coalesce(sum(players), 0) FROM board_buckets WHERE " + board_where +
               " AND level = " + std::to_string(level) + " AND bucket > " + k + " >> " + std::to_string(shifts[level]);
        if (level) sum += " AND bucket < ((" + k + " >> " + std::to_string(shifts[level - 1]) + ") + 1) << 6";
        sum += ")";
    }
    return sum;
}

// A board's top $4 rows with their ranks and names, and its player count
// (the sum of its octaves): what every reader shares. One statement.
const std::string top_sql =
    "SELECT t.*, row_number() OVER (ORDER BY " + order + ") AS rank, (SELECT name FROM players WHERE id = t.player) AS name,"
    "   (SELECT coalesce(sum(players), 0) FROM board_buckets WHERE " + board_where + " AND level = 0)::bigint AS players"
    " FROM (SELECT " + board_columns + " FROM bests WHERE " + board_where + " ORDER BY " + order + " LIMIT $4) t"
    " ORDER BY rank";

// The board's bucket counts, level by level in ascending order, up to $4
// rows (one more than are kept: a board with more is counted in SQL).
const std::string buckets_sql =
    "SELECT level, bucket, players FROM board_buckets WHERE " + board_where + " ORDER BY level, bucket LIMIT $4";

// The row of the token's player ($4; known: a player holds it), its
// ratio's key and the rows ahead of it inside its finest bucket, counted
// along the order's index up to $5: what a place needs past the board's
// bucket counts when those are kept.
const std::string mine_sql =
    "WITH me AS (SELECT id FROM players WHERE token_hash = $4),"
    " mine AS (SELECT " + board_columns + ", ratio_key(ratio) AS k FROM bests WHERE " + board_where +
    "   AND player = (SELECT id FROM me)),"
    " ahead AS (SELECT count(*) AS n FROM (SELECT 1 FROM bests a, mine m WHERE a.stage = $1 AND a.edition = $2"
    "   AND a.difficulty = $3 AND " + before_sql("a", "m") + " AND a.ratio < ratio_of_key(((m.k >> 34) + 1) << 34)"
    "   LIMIT $5) walked)"
    " SELECT EXISTS (SELECT 1 FROM me) AS known, r.*, (SELECT name FROM players WHERE id = r.player) AS name"
    " FROM (SELECT 1) one LEFT JOIN (SELECT m.*, w.n AS ahead FROM mine m, ahead w) r ON true";

// The row of the token's player ($4; "me", known: a player holds it) with
// its place: one row, its columns null when the player has no row on the
// board. The place is the players of the better buckets plus the rows
// ahead inside the player's finest bucket, counted along the order's index
// up to a cap: past it the place is only known to lie in the rest of that
// bucket, and its middle is answered.
const std::string place_sql =
    "WITH me AS (SELECT id FROM players WHERE token_hash = $4),"
    " mine AS (SELECT " + board_columns + ", ratio_key(ratio) AS k FROM bests WHERE " + board_where +
    "   AND player = (SELECT id FROM me)),"
    " counts AS (SELECT (" + above_sql() + ")::bigint AS above,"
    "   (SELECT coalesce(sum(players), 0) FROM board_buckets WHERE " + board_where + " AND level = 3"
    "     AND bucket = (SELECT k FROM mine) >> 34)::bigint AS level),"
    // Exact while the place can be within the exact top ($5), else up to $6 rows.
    " cap AS (SELECT greatest($5 - above, $6) AS n FROM counts),"
    " ahead AS (SELECT count(*) AS n FROM (SELECT 1 FROM bests a, mine m WHERE a.stage = $1 AND a.edition = $2"
    "   AND a.difficulty = $3 AND " + before_sql("a", "m") + " AND a.ratio < ratio_of_key(((m.k >> 34) + 1) << 34)"
    "   LIMIT (SELECT n FROM cap)) walked),"
    " place AS (SELECT w.n >= c.n AS estimate, CASE WHEN w.n < c.n THEN h.above + w.n + 1"
    "   ELSE h.above + (c.n + 1 + greatest(h.level, c.n + 1)) / 2 END AS rank FROM counts h, cap c, ahead w)"
    " SELECT EXISTS (SELECT 1 FROM me) AS known, r.*, (SELECT name FROM players WHERE id = r.player) AS name"
    " FROM (SELECT 1) one LEFT JOIN (SELECT p.rank, p.estimate, " + board_columns + " FROM mine, place p) r ON true";

// The player's best on a board after a verified session, and the board's
// buckets moved with it in the same statement: the bests row's old ratio
// leaves its bucket at each level, the new one joins its own. Bucket rows
// are changed in (level, bucket) order so two writers on one board cannot
// deadlock.
const std::string record_best_sql =
    "WITH old AS (SELECT ratio FROM bests WHERE " + board_where + " AND player = $4),"
    " kept AS (INSERT INTO bests (stage, edition, difficulty, player, session, run, ratio, hits, score, played_at)"
    "   SELECT $1, $2, $3, $4, session, run, ratio, hits, score, played_at FROM ("
    "     SELECT session, run, ratio, hits, score, played_at FROM runs WHERE session = $5"
    "     UNION ALL"
    "     SELECT session, run, ratio, hits, score, played_at FROM bests WHERE " + board_where + " AND player = $4"
    "   ) candidates ORDER BY " + order + " LIMIT 1"
    "   ON CONFLICT (stage, edition, difficulty, player) DO UPDATE SET session = excluded.session,"
    "   run = excluded.run, ratio = excluded.ratio, hits = excluded.hits, score = excluded.score,"
    "   played_at = excluded.played_at RETURNING ratio),"
    " moves AS (SELECT l.level, ratio_key(x.ratio) >> l.shift AS bucket, x.players"
    "   FROM (SELECT ratio, 1 AS players FROM kept UNION ALL SELECT ratio, -1 FROM old) x CROSS JOIN " + levels_sql + ")"
    " INSERT INTO board_buckets (stage, edition, difficulty, level, bucket, players)"
    "   SELECT $1, $2, $3, level, bucket, sum(players) FROM moves GROUP BY level, bucket HAVING sum(players) <> 0"
    "   ORDER BY level, bucket"
    " ON CONFLICT (stage, edition, difficulty, level, bucket) DO UPDATE SET players = board_buckets.players + excluded.players"
    " RETURNING level, bucket, players";

const std::string session_look_sql =
    "SELECT p.id, s.id, s.player, s.status, EXISTS (SELECT 1 FROM stages WHERE hash = $3)"
    " FROM (SELECT 1) one LEFT JOIN players p ON p.token_hash = $1 LEFT JOIN sessions s ON s.replay = $2";

// The session whole in one statement, its play and address with it: a row
// written once, not updated after (each index of sessions would take the
// update again).
const std::string session_insert_sql =
    "WITH kept_replay AS (INSERT INTO replays (hash, bytes) VALUES ($3, $4) ON CONFLICT (hash) DO NOTHING),"
    " session AS (INSERT INTO sessions (player, stage, replay, edition, difficulty, updates, submitted_at, play, address)"
    "   VALUES ($1, $2, $3, $5, $6, $7, " + now_us + ", $13, $14) ON CONFLICT (replay) DO NOTHING RETURNING id, submitted_at),"
    " claimed AS (INSERT INTO runs (session, run, hits, score, ratio, updates, played_at, play, changes, change_count)"
    "   SELECT session.id, c.run, c.hits, c.score, c.ratio, c.updates, session.submitted_at, c.play, decode(c.changes, 'hex'), c.n"
    "   FROM session, unnest($8::integer[], $9::integer[], $10::integer[], $11::float8[], $12::bigint[], $15::text[],"
    "     $16::text[], $17::integer[]) AS c(run, hits, score, ratio, updates, play, changes, n))"
    " SELECT id FROM session";

// Places up to this one are exact; past it a place may be an estimate.
std::atomic<int> board_exact_top{10000};

std::string bytes_of(const pqxx::field& f) { return pqxx::binarystring(f).str(); }

nlohmann::json entry_json(const pqxx::row& r, std::int64_t rank) {
    return {{"rank", rank},     {"player", r["name"].as<std::string>()},
            {"player_id", r["player"].as<std::int64_t>()}, {"hits", r["hits"].as<std::int64_t>()},
            {"score", r["score"].as<std::int64_t>()},   {"ratio", r["ratio"].as<double>()},
            {"session", r["session"].as<std::int64_t>()}, {"run", r["run"].as<std::int64_t>()},
            {"at", utc_text(r["played_at"].as<std::int64_t>())}};
}

}  // namespace

// Newest first, each session with the spend of it and all newer: the
// newest whose running sum passes the budget is the last that must age out
// of the hour. $1 the token's hash, $2 the address, $3 and $4 the budgets.
static std::string budget_wait_sql() {
    const auto over = [](const std::string& key) {
        return "(SELECT max(spent_at) FROM (SELECT spent_at, sum(verify_cpu_ms) OVER (ORDER BY spent_at DESC, id DESC) AS newer"
               " FROM sessions WHERE " + key + " AND spent_at IS NOT NULL AND spent_at > (SELECT us FROM t) - " +
               std::to_string(3600ll * 1000000) + ") x WHERE newer > $";
    };
    return "WITH t AS (SELECT " + now_us + " AS us) SELECT (SELECT us FROM t),"
           " " + over("player = (SELECT id FROM players WHERE token_hash = $1)") + "3 AND $3 > 0),"
           " " + over("address = $2") + "4 AND $4 > 0)";
}

void prepare_statements(pqxx::connection& c) {
    // The board statement has one shape for every board and reader; making
    // it a plan of its own each time costs more than running it (about
    // 2 ms against under 1), and the API's other statements are lookups by
    // key whose plan is the same for any value.
    pqxx::nontransaction(c).exec("SET plan_cache_mode = force_generic_plan");
    c.prepare("board_top", top_sql);
    c.prepare("board_place", place_sql);
    c.prepare("board_buckets", buckets_sql);
    c.prepare("board_mine", mine_sql);
    c.prepare("session_look", session_look_sql);
    c.prepare("session_insert", session_insert_sql);
    c.prepare("budget_wait", budget_wait_sql());
    prepare_play_statements(c);
}

std::string utc_text(std::int64_t us) {
    const std::time_t seconds = static_cast<std::time_t>(us / 1000000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(us % 1000000));
    return text;
}

new_player add_player(pqxx::work& w, const std::string& name, const std::string& name_key, const std::string& token_hash) {
    const pqxx::result r = w.exec_params(
        "INSERT INTO players (name, name_key, token_hash) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING RETURNING id", name,
        name_key, pqxx::binarystring(token_hash.data(), token_hash.size()));
    if (!r.empty()) return {r[0][0].as<std::int64_t>(), false, {}};
    const pqxx::result holder =
        w.exec_params("SELECT name FROM players WHERE name_key = $1 OR lower(name) = lower($2) ORDER BY id LIMIT 1", name_key, name);
    return {0, true, holder.empty() ? std::string() : holder[0][0].as<std::string>()};
}

void key_old_names(pqxx::connection& c) {
    pqxx::work w(c);
    for (const pqxx::row& r : w.exec("SELECT id, name FROM players WHERE name_key IS NULL ORDER BY id")) {
        // A name kept before the rules that it breaks keeps no key.
        const name_check n = check_name(r[1].as<std::string>());
        if (!n.ok) continue;
        const std::string& key = n.key;
        w.exec_params("UPDATE players SET name_key = $2 WHERE id = $1 AND NOT EXISTS (SELECT 1 FROM players WHERE name_key = $2)",
                      r[0].as<std::int64_t>(), key);
    }
    w.commit();
}

stored_session add_session(pqxx::work& w, const std::string& token_hash, const submission& s, const std::string& address) {
    stored_session out;
    const pqxx::row look = w.exec_prepared1("session_look", pqxx::binarystring(token_hash.data(), token_hash.size()), s.replay_hash, s.stage_hash);
    if (look[0].is_null()) return out;
    out.player_known = true;
    const auto player = look[0].as<std::int64_t>();
    const auto existing = [&](const pqxx::row& r, int at) {
        out.id = r[at].as<std::int64_t>();
        out.other_player = r[at + 1].as<std::int64_t>() != player;
        out.status = r[at + 2].as<std::string>();
        return out;
    };
    if (!look[1].is_null()) return existing(look, 1);
    play_verdict verdict = check_play(w, player, s);
    if (verdict.refused) {
        out.refused = std::move(verdict.refused);
        out.original = verdict.original;
        return out;
    }
    if (verdict.session != 0) {
        out.id = verdict.session;
        out.status = verdict.status;
        return out;
    }

    // Bytes travel only when the stage is new, which most submissions' is not.
    if (!look[4].as<bool>()) {
        const std::string length = s.length_ms ? std::to_string(*s.length_ms) : std::string();
        const char* length_or_null = s.length_ms ? length.c_str() : nullptr;
        w.exec_params(
            "INSERT INTO stages (hash, bytes, events, title, artist, album, length_ms, fingerprint, edition, difficulty)"
            " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) ON CONFLICT (hash) DO NOTHING",
            s.stage_hash, pqxx::binarystring(s.stage.data(), s.stage.size()), s.events, s.title, s.artist, s.album,
            length_or_null, s.fingerprint, s.edition, s.difficulty);
    } else if (!verdict.labels_known) {
        keep_labels(w, s);
    }
    std::string runs, hits, scores, ratios, updates;
    for (const claimed_run& c : s.runs) {
        const char* comma = runs.empty() ? "" : ",";
        runs += comma + std::to_string(c.run);
        hits += comma + std::to_string(c.hits);
        scores += comma + std::to_string(c.score);
        ratios += comma + pqxx::to_string(c.ratio);
        updates += comma + std::to_string(c.updates);
    }
    const play_columns play = play_columns_of(s);
    const pqxx::result r = w.exec_prepared("session_insert", player, s.stage_hash, s.replay_hash, pqxx::binarystring(s.replay.data(), s.replay.size()), s.edition, s.difficulty,
        static_cast<std::int64_t>(s.updates), "{" + runs + "}", "{" + hits + "}", "{" + scores + "}", "{" + ratios + "}",
        "{" + updates + "}", play.session, address, play.runs, play.changes, play.counts);
    if (r.empty()) {
        // Another request stored the same replay between the look and the insert.
        const pqxx::row again = w.exec_params1("SELECT id, player, status FROM sessions WHERE replay = $1", s.replay_hash);
        return existing(again, 0);
    }
    out.id = r[0][0].as<std::int64_t>();
    out.status = "pending";
    out.fresh = true;
    return out;
}

namespace {

constexpr std::int64_t hour_us = 3600ll * 1000000;
constexpr int address_lock_class = 0x76706c61;  // "vpla": per-address player counts

// Seconds from now_us until the moment at_us is an hour old; at least 1.
int seconds_until_aged(std::int64_t at_us, std::int64_t now) {
    const std::int64_t left = at_us + hour_us - now;
    return static_cast<int>(std::max<std::int64_t>(1, (left + 999999) / 1000000));
}

}  // namespace

int verification_budget_wait(pqxx::work& w, const std::string& token_hash, const std::string& address,
                             std::int64_t player_budget_ms, std::int64_t address_budget_ms) {
    const pqxx::row r = w.exec_prepared1("budget_wait",
        pqxx::binarystring(token_hash.data(), token_hash.size()), address, player_budget_ms, address_budget_ms);
    const auto now = r[0].as<std::int64_t>();
    int wait = 0;
    for (int i : {1, 2})
        if (!r[i].is_null()) wait = std::max(wait, seconds_until_aged(r[i].as<std::int64_t>(), now));
    return wait;
}

std::string note_submission(pqxx::work& w, std::int64_t session, const std::string& address) {
    const std::string again = "CASE WHEN status = 'unverified' THEN ";
    return w.exec_params1(
        "UPDATE sessions SET address = coalesce(address, $2), status = " + again + "'pending' ELSE status END,"
        " reason = " + again + "'' ELSE reason END, attempts = " + again + "0 ELSE attempts END,"
        " next_attempt_at = " + again + "0 ELSE next_attempt_at END, verified_at = " + again + "NULL ELSE verified_at END"
        " WHERE id = $1 RETURNING status", session, address)[0].as<std::string>();
}

int new_player_wait(pqxx::work& w, const std::string& address, int per_hour) {
    if (per_hour <= 0) return 0;
    w.exec_params("SELECT pg_advisory_xact_lock($1, hashtext($2))", address_lock_class, address);
    // The per_hour-th newest of the hour: the address may make another once it is an hour old.
    const pqxx::result r = w.exec_params(
        "SELECT (extract(epoch FROM created_at) * 1000000)::bigint, " + now_us +
        " FROM players WHERE address = $1 AND created_at > now() - interval '1 hour'"
        " ORDER BY created_at DESC OFFSET $2 LIMIT 1", address, per_hour - 1);
    if (r.empty()) return 0;
    return seconds_until_aged(r[0][0].as<std::int64_t>(), r[0][1].as<std::int64_t>());
}

void note_player_address(pqxx::work& w, std::int64_t player, const std::string& address) {
    w.exec_params("UPDATE players SET address = $2 WHERE id = $1", player, address);
}

nlohmann::json session_json(pqxx::transaction_base& w, std::int64_t id) {
    const pqxx::result r = w.exec_params(
        "SELECT s.id, p.name, s.status, s.reason, s.stage, s.edition, s.difficulty, s.submitted_at, s.updates"
        " FROM sessions s JOIN players p ON p.id = s.player WHERE s.id = $1", id);
    if (r.empty()) return nullptr;
    const pqxx::row row = r[0];
    nlohmann::json runs = nlohmann::json::array();
    for (const pqxx::row& x : w.exec_params("SELECT run, hits, score, ratio, updates FROM runs WHERE session = $1 ORDER BY run", id)) {
        runs.push_back({{"run", x[0].as<std::int64_t>()}, {"hits", x[1].as<std::int64_t>()}, {"score", x[2].as<std::int64_t>()},
                        {"ratio", x[3].as<double>()}, {"updates", x[4].as<std::int64_t>()}});
    }
    return {{"session", row[0].as<std::int64_t>()}, {"player", row[1].as<std::string>()},
            {"status", row[2].as<std::string>()}, {"reason", row[3].as<std::string>()},
            {"stage", row[4].as<std::string>()},  {"edition", row[5].as<std::string>()},
            {"difficulty", row[6].as<std::string>()}, {"submitted_at", utc_text(row[7].as<std::int64_t>())},
            {"updates", row[8].as<std::int64_t>()}, {"runs", runs}};
}

board_top board_top_rows(pqxx::transaction_base& t, const std::string& stage, const std::string& edition,
                         const std::string& difficulty, int limit) {
    board_top out;
    for (const pqxx::row& r : t.exec_prepared("board_top", stage, edition, difficulty, limit)) {
        out.players = r["players"].as<std::int64_t>();
        out.entries.push_back(entry_json(r, r["rank"].as<std::int64_t>()).dump());
    }
    const pqxx::result buckets = t.exec_prepared("board_buckets", stage, edition, difficulty, board_kept_buckets + 1);
    if (buckets.size() > board_kept_buckets) return out;
    out.counted = true;
    for (const pqxx::row& r : buckets) {
        const int level = r[0].as<int>();
        if (level < 0 || level > 3) throw std::runtime_error("a board bucket of level " + std::to_string(level));
        bucket_level& l = out.levels[level];
        if (l.before.empty()) l.before.push_back(0);
        l.buckets.push_back(r[1].as<std::int64_t>());
        l.before.push_back(l.before.back() + r[2].as<std::int64_t>());
    }
    // The count from the same rows as the places: the two statements may
    // fall either side of a write.
    out.players = out.levels[0].before.empty() ? 0 : out.levels[0].before.back();
    return out;
}

namespace {

// The players of the level's buckets after `from` and before `to`.
std::int64_t players_between(const bucket_level& l, std::int64_t from, std::int64_t to) {
    if (l.buckets.empty() || to <= from) return 0;
    const auto lo = std::upper_bound(l.buckets.begin(), l.buckets.end(), from) - l.buckets.begin();
    const auto hi = std::lower_bound(l.buckets.begin(), l.buckets.end(), to) - l.buckets.begin();
    return hi > lo ? l.before[static_cast<std::size_t>(hi)] - l.before[static_cast<std::size_t>(lo)] : 0;
}

}  // namespace

bucket_counts count_buckets(const board_top& top, std::int64_t k) {
    // As above_sql: every better bucket at level 0, below it the better
    // children of the reader's bucket of the level above.
    bucket_counts c;
    c.above = players_between(top.levels[0], k >> shifts[0], std::numeric_limits<std::int64_t>::max());
    for (int level = 1; level < 4; ++level)
        c.above += players_between(top.levels[level], k >> shifts[level], ((k >> shifts[level - 1]) + 1) << 6);
    const std::int64_t own = k >> shifts[3];
    c.level = players_between(top.levels[3], own - 1, own + 1);
    return c;
}

std::optional<nlohmann::json> board_place(pqxx::transaction_base& t, const std::string& stage, const std::string& edition,
                                          const std::string& difficulty, const std::string& token_hash, const board_top* kept) {
    const int exact = board_exact_top.load();
    // Past the exact top a walk of a tenth of it bounds a read's cost.
    const int walk = std::max(1, exact / 10);
    const pqxx::binarystring token(token_hash.data(), token_hash.size());
    if (kept && kept->counted) {
        // The kept counts give the players of the better buckets; the walk
        // inside the reader's own is read now, as far as a place past the
        // exact top needs. A longer walk is needed only for a place that
        // may be within the exact top behind a tie of more than `walk`.
        const pqxx::row r = t.exec_prepared1("board_mine", stage, edition, difficulty, token, walk);
        if (!r["known"].as<bool>()) return std::nullopt;
        if (r["player"].is_null()) return nlohmann::json(nullptr);
        const bucket_counts c = count_buckets(*kept, r["k"].as<std::int64_t>());
        const std::int64_t cap = std::max<std::int64_t>(exact - c.above, walk), ahead = r["ahead"].as<std::int64_t>();
        if (ahead < walk || cap == walk) {
            nlohmann::json you = entry_json(r, ahead < cap ? c.above + ahead + 1 : c.above + (cap + 1 + std::max(c.level, cap + 1)) / 2);
            you["rank_estimate"] = ahead >= cap;
            return you;
        }
    }
    const pqxx::row r = t.exec_prepared1("board_place", stage, edition, difficulty, token, exact, walk);
    if (!r["known"].as<bool>()) return std::nullopt;
    if (r["rank"].is_null()) return nlohmann::json(nullptr);
    nlohmann::json you = entry_json(r, r["rank"].as<std::int64_t>());
    you["rank_estimate"] = r["estimate"].as<bool>();
    return you;
}

std::string board_text(const board_top& top, int limit, const nlohmann::json& you) {
    // The keys in the order nlohmann::json writes them, so the text is what
    // dumping the whole object would give.
    std::string text = "{\"entries\":[";
    const std::size_t n = std::min(top.entries.size(), static_cast<std::size_t>(std::max(0, limit)));
    for (std::size_t i = 0; i < n; ++i) {
        if (i) text += ',';
        text += top.entries[i];
    }
    return text + "],\"players\":" + std::to_string(top.players) + ",\"you\":" + you.dump() + "}";
}

void set_board_exact_top(int places) { board_exact_top = std::max(1, places); }

void record_best(pqxx::work& w, std::int64_t session, const std::string& stage, const std::string& edition,
                 const std::string& difficulty, std::int64_t player) {
    // Two workers' verdicts for one player take turns.
    w.exec_params("SELECT pg_advisory_xact_lock($1)", player);
    for (const pqxx::row& r : w.exec_params(record_best_sql, stage, edition, difficulty, player, session)) {
        const auto players = r[2].as<std::int64_t>();
        // Below 0 the counts had already lost a row: nothing is kept.
        if (players < 0)
            throw std::runtime_error("the board's count of bucket " + r[1].as<std::string>() + " at level " +
                                     r[0].as<std::string>() + " would fall below 0");
        if (players == 0)
            w.exec_params("DELETE FROM board_buckets WHERE " + board_where + " AND level = $4 AND bucket = $5 AND players = 0",
                          stage, edition, difficulty, r[0].as<int>(), r[1].as<std::int64_t>());
    }
}

std::optional<std::string> replay_bytes(pqxx::transaction_base& w, std::int64_t session) {
    const pqxx::result r =
        w.exec_params("SELECT r.bytes FROM sessions s JOIN replays r ON r.hash = s.replay WHERE s.id = $1", session);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

std::optional<std::string> stage_bytes(pqxx::transaction_base& w, const std::string& hash) {
    const pqxx::result r = w.exec_params("SELECT bytes FROM stages WHERE hash = $1", hash);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

}  // namespace server
