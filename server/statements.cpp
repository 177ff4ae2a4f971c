#include "server/statements.hpp"

#include <sstream>
#include <vector>

#include "results/result_row.hpp"

namespace server {

const int bucket_shifts[4] = {52, 46, 40, 34};

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
const int (&shifts)[4] = bucket_shifts;
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
    // A session hidden or a player restricted while it waited stays off the board.
    "       AND NOT EXISTS (SELECT 1 FROM sessions WHERE id = $5 AND hidden)"
    "       AND NOT EXISTS (SELECT 1 FROM players WHERE id = $4 AND restricted)"
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
    "SELECT p.id, s.id, s.player, s.status, EXISTS (SELECT 1 FROM stages WHERE hash = $3), p.restricted, p.restricted_reason"
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

// Newest first, each session with the spend of it and all newer: the
// newest whose running sum passes the budget is the last that must age out
// of the hour. $1 the token's hash, $2 the address, $3 and $4 the budgets.
std::string budget_wait_sql() {
    const auto over = [](const std::string& key) {
        return "(SELECT max(spent_at) FROM (SELECT spent_at, sum(verify_cpu_ms) OVER (ORDER BY spent_at DESC, id DESC) AS newer"
               " FROM sessions WHERE " + key + " AND spent_at IS NOT NULL AND spent_at > (SELECT us FROM t) - " +
               std::to_string(3600ll * 1000000) + ") x WHERE newer > $";
    };
    return "WITH t AS (SELECT " + now_us + " AS us) SELECT (SELECT us FROM t),"
           " " + over("player = (SELECT id FROM players WHERE token_hash = $1)") + "3 AND $3 > 0),"
           " " + over("address = $2") + "4 AND $4 > 0)";
}

// A session sent again: keeps the address it was first sent from, and
// one that could not be verified is pending again with its attempts
// counted from none.
std::string submission_note_sql() {
    const std::string again = "CASE WHEN status = 'unverified' THEN ";
    return "UPDATE sessions SET address = coalesce(address, $2), status = " + again + "'pending' ELSE status END,"
           " reason = " + again + "'' ELSE reason END, attempts = " + again + "0 ELSE attempts END,"
           " next_attempt_at = " + again + "0 ELSE next_attempt_at END, verified_at = " + again + "NULL ELSE verified_at END"
           " WHERE id = $1 RETURNING status";
}

// The board's buckets moved by the ratios `rows` (a CTE of ratio) with
// `sign`, in (level, bucket) order as record_best_sql moves them.
std::string bucket_moves_sql(const std::string& rows, int sign) {
    return " moves AS (SELECT l.level, ratio_key(x.ratio) >> l.shift AS bucket FROM " + rows + " x CROSS JOIN " + levels_sql + ")"
           " INSERT INTO board_buckets (stage, edition, difficulty, level, bucket, players)"
           "   SELECT $1, $2, $3, level, bucket, " + std::to_string(sign) + " FROM moves ORDER BY level, bucket"
           " ON CONFLICT (stage, edition, difficulty, level, bucket) DO UPDATE SET players = board_buckets.players + excluded.players"
           " RETURNING level, bucket, players";
}

// The player's best off the board ($1, $2, $3; player $4), its buckets with it.
const std::string best_remove_sql =
    "WITH gone AS (DELETE FROM bests WHERE " + board_where + " AND player = $4 RETURNING ratio)," + bucket_moves_sql("gone", -1);

// The player's best from their runs that may stand on the board: verified
// (or verified and being verified again), not hidden, the player not
// restricted. Run after best_remove.
const std::string best_restore_sql =
    "WITH kept AS (INSERT INTO bests (stage, edition, difficulty, player, session, run, ratio, hits, score, played_at)"
    "   SELECT $1, $2, $3, $4, session, run, ratio, hits, score, played_at FROM ("
    "     SELECT r.session, r.run, r.ratio, r.hits, r.score, r.played_at FROM runs r JOIN sessions s ON s.id = r.session"
    "     WHERE s.player = $4 AND s.stage = $1 AND s.edition = $2 AND s.difficulty = $3"
    "       AND (s.status = 'verified' OR s.recheck) AND NOT s.hidden"
    "       AND NOT EXISTS (SELECT 1 FROM players WHERE id = $4 AND restricted)) c"
    "   ORDER BY " + order + " LIMIT 1 RETURNING ratio)," + bucket_moves_sql("kept", 1);

}  // namespace

namespace sql {

// A lost database is told from the statement time-out; the board
// statements have one shape for every board and reader, and making each a
// plan of its own every time costs more than running it (about 2 ms
// against under 1), and the API's other statements are lookups by key whose
// plan is the same for any value.
const statement session_settings{"session_settings", "SET statement_timeout = 15000"};
const statement plan_settings{"plan_settings", "SET plan_cache_mode = force_generic_plan"};
const statement health{"health", "SELECT 1"};
// The verification queue for the metrics: its depth and its oldest's age in microseconds.
const statement queue_depth{"queue_depth",
    "SELECT count(*), coalesce(" + now_us + " - min(submitted_at), 0) FROM sessions WHERE status = 'pending'"};

const statement player_insert{"player_insert",
    "INSERT INTO players (name, name_key, token_hash) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING RETURNING id"};
const statement name_holder{"name_holder",
    "SELECT name FROM players WHERE name_key = $1 OR lower(name) = lower($2) ORDER BY id LIMIT 1"};
const statement unkeyed_names{"unkeyed_names", "SELECT id, name FROM players WHERE name_key IS NULL ORDER BY id"};
// A batch of (id, key) pairs, ids ascending and keys distinct within the
// batch: a key another player already holds is left unset.
const statement name_keys_set{"name_keys_set",
    "UPDATE players p SET name_key = k.key FROM unnest($1::bigint[], $2::text[]) AS k(id, key)"
    " WHERE p.id = k.id AND NOT EXISTS (SELECT 1 FROM players q WHERE q.name_key = k.key)"};
const statement address_lock{"address_lock", "SELECT pg_advisory_xact_lock($1, hashtext($2))"};
// The per_hour-th newest of the hour ($2 = per_hour - 1): the address may make another once it is an hour old.
const statement address_players{"address_players",
    "SELECT (extract(epoch FROM created_at) * 1000000)::bigint, " + now_us +
    " FROM players WHERE address = $1 AND created_at > now() - interval '1 hour'"
    " ORDER BY created_at DESC OFFSET $2 LIMIT 1"};
const statement player_address_set{"player_address_set", "UPDATE players SET address = $2 WHERE id = $1"};

const statement session_look{"session_look", session_look_sql, true};
const statement stage_insert{"stage_insert",
    "INSERT INTO stages (hash, bytes, events, title, artist, album, length_ms, fingerprint, edition, difficulty)"
    " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) ON CONFLICT (hash) DO NOTHING"};
const statement session_insert{"session_insert", session_insert_sql, true};
const statement session_of_replay{"session_of_replay", "SELECT id, player, status FROM sessions WHERE replay = $1"};
const statement budget_wait{"budget_wait", budget_wait_sql(), true};
const statement submission_note{"submission_note", submission_note_sql()};
// The reason only for the session's own player (the token's hash $2).
const statement session_read{"session_read",
    "SELECT s.id, p.name, s.status, CASE WHEN p.token_hash = $2 THEN s.reason ELSE '' END, s.stage, s.edition,"
    " s.difficulty, s.submitted_at, s.updates, s.watches FROM sessions s JOIN players p ON p.id = s.player WHERE s.id = $1"};
const statement session_runs{"session_runs", "SELECT run, hits, score, ratio, updates FROM runs WHERE session = $1 ORDER BY run"};
const statement replay_bytes{"replay_bytes", "SELECT r.bytes FROM sessions s JOIN replays r ON r.hash = s.replay WHERE s.id = $1"};
const statement stage_bytes{"stage_bytes", "SELECT bytes FROM stages WHERE hash = $1"};

// Its own statement: what the statements after it read is then what the
// previous holder committed.
const statement stage_lock{"stage_lock", "SELECT pg_advisory_xact_lock($1, hashtext($2))"};
// The stage's labels, a session of the same play, and another player's
// run of the same play as one of these: one round trip. Each play is
// looked up by its index on its own; ordered by the runs' key itself the
// plan would walk every run in order to find none.
const statement play_look{"play_look",
    "SELECT st.edition, st.difficulty, same.id, same.player, same.status, copy.session, copy.play, loose.hash IS NOT NULL"
    " FROM (SELECT 1) one"
    " LEFT JOIN stages st ON st.hash = $1 AND st.edition IS NOT NULL"
    // A stage kept before recordings that could be linked to one now.
    " LEFT JOIN stages loose ON loose.hash = $1 AND loose.recording IS NULL AND loose.fingerprint <> ''"
    "   AND loose.length_ms IS NOT NULL"
    " LEFT JOIN sessions same ON same.play = $2"
    " LEFT JOIN LATERAL (SELECT c.session, c.play FROM unnest($3::text[]) AS p(play)"
    "   CROSS JOIN LATERAL (SELECT r.session, r.run, r.play FROM runs r JOIN sessions x ON x.id = r.session"
    "     WHERE r.play = p.play AND x.player <> $4 ORDER BY r.session + 0, r.run + 0 LIMIT 1) c"
    "   ORDER BY c.session, c.run LIMIT 1) copy ON true",
    true};
// Near copies: other players' verified runs on the board whose change counts let one of the runs match them.
const statement near_copies{"near_copies",
    "SELECT r.session, r.change_count, r.changes FROM sessions x JOIN runs r ON r.session = x.id"
    " WHERE x.stage = $1 AND x.edition = $2 AND x.difficulty = $3 AND x.status = 'verified' AND x.player <> $4"
    " AND r.change_count BETWEEN $5 AND $6 ORDER BY r.session, r.run"};
const statement labels_keep{"labels_keep",
    "UPDATE stages SET edition = $2, difficulty = $3 WHERE hash = $1 AND edition IS NULL"};

// Recordings. A lock per span of lengths ($2: length / span), taken for two
// neighbouring spans in ascending order, so any two stages that could be
// one recording's take one lock in common and link one after the other.
const statement length_lock{"length_lock", "SELECT pg_advisory_xact_lock($1, $2::integer)"};
// The stages of lengths near the one linked, those in a recording first (the lowest first).
const statement link_candidates{"link_candidates",
    "SELECT hash, fingerprint, recording FROM stages WHERE fingerprint <> '' AND length_ms BETWEEN $1 AND $2"
    " AND hash <> $3 ORDER BY recording NULLS LAST, hash LIMIT $4"};
const statement stage_song{"stage_song", "SELECT fingerprint, length_ms FROM stages WHERE hash = $1"};
const statement recording_insert{"recording_insert", "INSERT INTO recordings DEFAULT VALUES RETURNING id"};
const statement recording_link{"recording_link",
    "UPDATE stages SET recording = $1 WHERE hash = ANY($2::text[]) AND recording IS NULL"};
// The recording's boards it has none of yet, from its stages' verified
// sessions, the first verified first: for stages kept before recordings.
const statement recording_boards_fill{"recording_boards_fill",
    "INSERT INTO recording_boards (recording, edition, difficulty, stage)"
    " SELECT DISTINCT ON (s.edition, s.difficulty) $1, s.edition, s.difficulty, s.stage"
    " FROM stages st JOIN sessions s ON s.stage = st.hash"
    " WHERE st.recording = $1 AND (s.status = 'verified' OR s.recheck)"
    " ORDER BY s.edition, s.difficulty, s.verified_at, s.id ON CONFLICT DO NOTHING"};
// A verified session's stage becomes its recording's board for its labels
// unless one is chosen; the board's key makes a second verdict at once wait and keep the first.
const statement recording_board_choose{"recording_board_choose",
    "INSERT INTO recording_boards (recording, edition, difficulty, stage)"
    " SELECT recording, $2, $3, hash FROM stages WHERE hash = $1 AND recording IS NOT NULL ON CONFLICT DO NOTHING"};
const statement envelope_keep{"envelope_keep", "UPDATE stages SET envelope = $2 WHERE hash = $1 AND envelope IS NULL"};
const statement stage_envelope{"stage_envelope", "SELECT envelope FROM stages WHERE hash = $1 AND envelope IS NOT NULL"};

// A job tried again waits for its time and then comes after the new ones.
const statement job_claim{"job_claim",
    "SELECT s.id, s.player, s.stage, s.edition, s.difficulty, st.bytes, r.bytes, s.attempts, s.recheck"
    " FROM sessions s JOIN stages st ON st.hash = s.stage JOIN replays r ON r.hash = s.replay"
    " WHERE s.status = 'pending' AND s.next_attempt_at <= " + now_us +
    " ORDER BY s.next_attempt_at, s.submitted_at, s.id LIMIT 1 FOR UPDATE OF s SKIP LOCKED"};
const statement session_unverified{"session_unverified",
    "UPDATE sessions SET status = 'unverified', reason = $2, fault = $2, attempts = $3, verified_at = now(),"
    " verify_cpu_ms = verify_cpu_ms + $4, spent_at = " + now_us + " WHERE id = $1"};
const statement session_retry{"session_retry",
    "UPDATE sessions SET attempts = $3, fault = $2, next_attempt_at = " + now_us + " + $5,"
    " verify_cpu_ms = verify_cpu_ms + $4, spent_at = " + now_us + " WHERE id = $1"};
const statement session_judged{"session_judged",
    "UPDATE sessions SET status = $2, reason = $3, verified_at = now(), verify_cpu_ms = verify_cpu_ms + $4,"
    " spent_at = " + now_us + ", logic_version = $5 WHERE id = $1"};
// Two workers' verdicts for one player take turns.
const statement player_lock{"player_lock", "SELECT pg_advisory_xact_lock($1)"};
const statement record_best{"record_best", record_best_sql};
const statement bucket_empty_delete{"bucket_empty_delete",
    "DELETE FROM board_buckets WHERE " + board_where + " AND level = $4 AND bucket = $5 AND players = 0"};

// A session verified again costs its player nothing: the board's keepers
// asked for it. Verified, it records the logic that verified it; rejected,
// it is hidden with the reason and kept. One that cannot be played again
// stays verified by the logic it had, the fault kept.
const statement session_rechecked{"session_rechecked",
    "UPDATE sessions SET status = $2, reason = $3, recheck = false, attempts = 0, verified_at = now(),"
    " logic_version = CASE WHEN $2 = 'verified' THEN $4 ELSE logic_version END,"
    " hidden = hidden OR $2 = 'rejected',"
    // A keeper's reason for hiding it first stays.
    " hidden_reason = CASE WHEN $2 = 'rejected' AND NOT hidden THEN $3 ELSE hidden_reason END"
    " WHERE id = $1"};
const statement recheck_retry{"recheck_retry",
    "UPDATE sessions SET attempts = $3, fault = $2, next_attempt_at = " + now_us + " + $4 WHERE id = $1"};
const statement recheck_fault{"recheck_fault",
    "UPDATE sessions SET status = 'verified', recheck = false, attempts = 0, fault = $2 WHERE id = $1"};
// Queued behind every new submission (theirs wait at 0): verified, visible
// sessions of the stage ($1, or all), those of another logic than $3
// (or all, $2). The best stays on its board meanwhile.
const statement recheck_queue{"recheck_queue",
    "UPDATE sessions SET status = 'pending', recheck = true, attempts = 0, fault = '', next_attempt_at = " + now_us +
    " WHERE status = 'verified' AND NOT hidden AND ($1::text IS NULL OR stage = $1)"
    " AND ($2 OR logic_version IS DISTINCT FROM $3::integer)"};

// A keeper may connect as another role than the server's (as postgres, on
// Debian's peer authentication): the commands, and any schema step, then
// act as the role owning the tables, when this one may take it.
const statement owner_role{"owner_role",
    "SELECT set_config('role', tableowner, false) FROM pg_tables WHERE schemaname = current_schema()"
    " AND tablename = 'players' AND tableowner <> current_user AND pg_has_role(current_user, tableowner, 'MEMBER')"};
const statement admin_player{"admin_player",
    "SELECT id, name, restricted, restricted_reason FROM players WHERE lower(name) = lower($1)"};
// The session's row, then the player's lock: the order a worker's verdict
// takes them in, so a keeper's change waits for a verdict under way and
// never deadlocks with it.
const statement admin_session{"admin_session",
    "SELECT id, player, stage, edition, difficulty, status, hidden FROM sessions WHERE id = $1 FOR UPDATE"};
const statement player_sessions_lock{"player_sessions_lock",
    "SELECT id FROM sessions WHERE player = $1 ORDER BY id FOR UPDATE"};
const statement admin_runs{"admin_runs",
    "SELECT s.id, p.name, s.stage, s.edition, s.difficulty, s.status, s.hidden,"
    " CASE WHEN s.hidden THEN s.hidden_reason ELSE s.reason END, s.logic_version, p.restricted,"
    " (SELECT string_agg(r.run || ':' || r.hits || '/' || r.score, ' ' ORDER BY r.run) FROM runs r WHERE r.session = s.id)"
    " FROM sessions s JOIN players p ON p.id = s.player"
    " WHERE ($1::bigint IS NULL OR s.player = $1) AND ($2::text IS NULL OR s.stage = $2)"
    " AND ($3::text IS NULL OR s.edition = $3) AND ($4::text IS NULL OR s.difficulty = $4) ORDER BY s.id"};
const statement session_hide{"session_hide", "UPDATE sessions SET hidden = $2, hidden_reason = $3 WHERE id = $1"};
const statement player_restrict{"player_restrict",
    "UPDATE players SET restricted = $2, restricted_reason = $3 WHERE id = $1"};
// Every board the player stands on or could: their bests and their verified sessions'.
const statement player_boards{"player_boards",
    "SELECT stage, edition, difficulty FROM bests WHERE player = $1"
    " UNION SELECT stage, edition, difficulty FROM sessions WHERE player = $1 AND (status = 'verified' OR recheck)"
    " ORDER BY 1, 2, 3"};
const statement best_remove{"best_remove", best_remove_sql};
const statement best_restore{"best_restore", best_restore_sql};
const statement name_holder_other{"name_holder_other",
    "SELECT name FROM players WHERE (name_key = $1 OR lower(name) = lower($2)) AND id <> $3 ORDER BY id LIMIT 1"};
const statement player_rename{"player_rename", "UPDATE players SET name = $2, name_key = $3 WHERE id = $1"};
const statement player_runs_delete{"player_runs_delete",
    "DELETE FROM runs WHERE session IN (SELECT id FROM sessions WHERE player = $1)"};
// A replay is one session's (sessions.replay is unique): it leaves with it.
const statement player_sessions_delete{"player_sessions_delete",
    "WITH gone AS (DELETE FROM sessions WHERE player = $1 RETURNING replay)"
    " DELETE FROM replays WHERE hash IN (SELECT replay FROM gone)"};
const statement player_delete{"player_delete", "DELETE FROM players WHERE id = $1"};
// What the audit said of a deleted player beyond their id (a former name, a note) goes.
const statement audit_scrub{"audit_scrub", "UPDATE audit SET detail = '' WHERE player = $1"};
const statement audit_insert{"audit_insert",
    "INSERT INTO audit (by_name, action, player, session, detail, reason) VALUES ($1, $2, $3, $4, $5, $6) RETURNING id"};
const statement audit_list{"audit_list",
    "SELECT a.id, to_char(a.at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), a.by_name, a.action, a.player, p.name,"
    " a.session, a.detail, a.reason FROM audit a LEFT JOIN players p ON p.id = a.player"
    " WHERE ($1::bigint IS NULL OR a.player = $1) ORDER BY a.id DESC LIMIT $2"};

const statement board_top{"board_top", top_sql, true};
const statement board_buckets{"board_buckets", buckets_sql, true};
const statement board_mine{"board_mine", mine_sql, true};
const statement board_place{"board_place", place_sql, true};
// A board's players are the sum of its coarsest buckets, not a count of its rows.
const statement recordings_near{"recordings_near",
    "SELECT s.hash, b.edition, b.difficulty, s.title, s.artist, s.length_ms, s.fingerprint, sum(b.players)::bigint AS players,"
    " s.recording"
    " FROM stages s JOIN board_buckets b ON b.stage = s.hash AND b.level = 0"
    " WHERE s.fingerprint <> '' AND s.length_ms BETWEEN $1 AND $2"
    " GROUP BY s.hash, b.edition, b.difficulty ORDER BY players DESC, s.hash LIMIT $3"};
// The boards of these recordings, with their players and whether their stage's envelope is kept.
const statement recording_boards_of{"recording_boards_of",
    "SELECT rb.stage, rb.edition, rb.difficulty, st.title, st.artist, st.length_ms,"
    " (SELECT coalesce(sum(b.players), 0) FROM board_buckets b WHERE b.stage = rb.stage AND b.edition = rb.edition"
    "   AND b.difficulty = rb.difficulty AND b.level = 0)::bigint, st.envelope IS NOT NULL"
    " FROM recording_boards rb JOIN stages st ON st.hash = rb.stage WHERE rb.recording = ANY($1::bigint[])"
    " ORDER BY rb.recording, rb.edition, rb.difficulty"};
// The board of the stage's recording for these labels when it is another stage's.
const statement board_of_recording{"board_of_recording",
    "SELECT rb.stage FROM stages st JOIN recording_boards rb ON rb.recording = st.recording AND rb.edition = $2"
    " AND rb.difficulty = $3 WHERE st.hash = $1 AND rb.stage <> $1"};

// A board page's song and its rows' watch counts in one round trip: no
// row for an unknown stage, one with a null id for a board of no rows.
const statement board_page_extras{"board_page_extras",
    "SELECT st.title, st.artist, s.id, s.watches FROM stages st LEFT JOIN sessions s ON s.id = ANY($2::bigint[])"
    " WHERE st.hash = $1",
    true};
// A public page: a hidden session or a restricted player's is none.
const statement session_page{"session_page",
    "SELECT p.name, s.status, s.stage, s.edition, s.difficulty, s.submitted_at, s.watches, st.title, st.artist"
    " FROM sessions s JOIN players p ON p.id = s.player JOIN stages st ON st.hash = s.stage"
    " WHERE s.id = $1 AND NOT s.hidden AND NOT p.restricted"};
// A viewer is a known player, else an address, kept only as a keyed hash
// ($2, keyed_hash of "player ID" or "address A"); each counts once a day (UTC).
const statement watch_viewer{"watch_viewer", "SELECT id FROM players WHERE token_hash = $1"};
const statement watch_note{"watch_note",
    "WITH fresh AS (INSERT INTO watches (session, day, viewer)"
    "   SELECT s.id, (now() AT TIME ZONE 'UTC')::date, $2 FROM sessions s WHERE s.id = $1"
    "   ON CONFLICT DO NOTHING RETURNING session)"
    " UPDATE sessions SET watches = watches + 1 WHERE id IN (SELECT session FROM fresh)"};
const statement watch_secret{"watch_secret", "SELECT secret FROM server_secrets WHERE name = 'watch_viewer'"};
// Up to $2 rows of days more than $1 days ago (the counts stay on the sessions).
const statement watch_prune{"watch_prune",
    "DELETE FROM watches WHERE (session, day, viewer) IN (SELECT session, day, viewer FROM watches"
    " WHERE day < (now() AT TIME ZONE 'UTC')::date - $1::integer LIMIT $2)"};

}  // namespace sql

void prepare_statements(pqxx::connection& c) {
    pqxx::nontransaction n(c);
    run(n, sql::plan_settings);
    for (const statement* s : {&sql::board_top, &sql::board_buckets, &sql::board_mine, &sql::board_place, &sql::session_look,
                               &sql::session_insert, &sql::budget_wait, &sql::play_look,
                               &sql::board_page_extras})
        c.prepare(s->name, s->text);
}

void throw_named(const statement& s, const pqxx::sql_error& e) {
    throw pqxx::sql_error(std::string("statement ") + s.name + ": " + e.what(), e.query(),
                          e.sqlstate().empty() ? nullptr : e.sqlstate().c_str());
}

}  // namespace server
