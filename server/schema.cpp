#include "server/schema.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "server/log.hpp"

namespace server {
namespace {

// Two 32-bit keys, a space apart from the one-key locks the workers take per player.
constexpr int lock_class = 0x76656c6d;  // "velm"
constexpr int lock_schema = 1;

// Times are microseconds since 1970 (bigint), so the best-run order's
// "played_at" compares the same in SQL and in C++.
std::vector<std::string> steps() {
    return {
        // 1: players, stages and replays once by hash, sessions with their
        // claimed runs, and each player's best per board.
        R"(
CREATE TABLE players (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name text NOT NULL,
    token_hash bytea NOT NULL UNIQUE,
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE UNIQUE INDEX players_name ON players (lower(name));
CREATE TABLE stages (
    hash text PRIMARY KEY,
    bytes bytea NOT NULL,
    events bigint NOT NULL,
    title text NOT NULL DEFAULT '',
    artist text NOT NULL DEFAULT '',
    album text NOT NULL DEFAULT '',
    length_ms bigint,
    fingerprint text NOT NULL DEFAULT '',
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE replays (
    hash text PRIMARY KEY,
    bytes bytea NOT NULL
);
CREATE TABLE sessions (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    player bigint NOT NULL REFERENCES players,
    stage text NOT NULL REFERENCES stages,
    replay text NOT NULL UNIQUE REFERENCES replays,
    edition text NOT NULL,
    difficulty text NOT NULL,
    updates bigint NOT NULL,
    status text NOT NULL DEFAULT 'pending' CHECK (status IN ('pending', 'verified', 'rejected')),
    reason text NOT NULL DEFAULT '',
    submitted_at bigint NOT NULL,
    verified_at timestamptz
);
CREATE INDEX sessions_pending ON sessions (submitted_at, id) WHERE status = 'pending';
CREATE INDEX sessions_player ON sessions (player);
CREATE TABLE runs (
    session bigint NOT NULL REFERENCES sessions,
    run integer NOT NULL,
    hits integer NOT NULL,
    score integer NOT NULL,
    ratio double precision NOT NULL,
    updates bigint NOT NULL,
    played_at bigint NOT NULL,
    PRIMARY KEY (session, run)
);
CREATE TABLE bests (
    stage text NOT NULL,
    edition text NOT NULL,
    difficulty text NOT NULL,
    player bigint NOT NULL REFERENCES players,
    session bigint NOT NULL,
    run integer NOT NULL,
    ratio double precision NOT NULL,
    hits integer NOT NULL,
    score integer NOT NULL,
    played_at bigint NOT NULL,
    PRIMARY KEY (stage, edition, difficulty, player),
    FOREIGN KEY (session, run) REFERENCES runs
);
-- The best-run order as it stands: a step once applied never changes, so
-- another order would be a step of its own.
CREATE INDEX bests_order ON bests (stage, edition, difficulty, ratio DESC, hits ASC, played_at ASC, session, run)
    INCLUDE (player, score);
)",
        // 2: each name's key (its case-folded look-alike skeleton), one player a key.
        R"(
ALTER TABLE players ADD COLUMN name_key text;
CREATE UNIQUE INDEX players_name_key ON players (name_key);
)",
        // 3: what each session and run played, to know a copy whatever its
        // file's header says (rows from before stay NULL: known by their
        // replay's bytes only), and the labels each stage was first sent
        // under, taken for existing stages from their earliest session.
        R"(
ALTER TABLE sessions ADD COLUMN play text;
CREATE UNIQUE INDEX sessions_play ON sessions (play);
CREATE INDEX sessions_stage_verified ON sessions (stage, edition, difficulty) WHERE status = 'verified';
ALTER TABLE runs ADD COLUMN play text, ADD COLUMN changes bytea, ADD COLUMN change_count integer;
CREATE INDEX runs_play ON runs (play);
ALTER TABLE stages ADD COLUMN edition text, ADD COLUMN difficulty text;
UPDATE stages SET edition = first.edition, difficulty = first.difficulty
  FROM (SELECT DISTINCT ON (stage) stage, edition, difficulty FROM sessions ORDER BY stage, id) first
  WHERE first.stage = stages.hash;
)",
        // 4: a re-play that failed without judging the replay is tried again
        // later (attempts, next_attempt_at, fault) and, past the last try,
        // the session is 'unverified'; each session's verification CPU
        // (spent_at: microseconds) and submitting address, and each
        // player's, for the budgets that make a flood cost its sender.
        R"(
ALTER TABLE sessions DROP CONSTRAINT sessions_status_check;
ALTER TABLE sessions ADD CONSTRAINT sessions_status_check
    CHECK (status IN ('pending', 'verified', 'rejected', 'unverified'));
ALTER TABLE sessions
    ADD COLUMN attempts integer NOT NULL DEFAULT 0,
    ADD COLUMN next_attempt_at bigint NOT NULL DEFAULT 0,
    ADD COLUMN fault text NOT NULL DEFAULT '',
    ADD COLUMN verify_cpu_ms bigint NOT NULL DEFAULT 0,
    ADD COLUMN spent_at bigint,
    ADD COLUMN address text;
DROP INDEX sessions_pending;
CREATE INDEX sessions_pending ON sessions (next_attempt_at, submitted_at, id) WHERE status = 'pending';
CREATE INDEX sessions_player_spend ON sessions (player, spent_at) INCLUDE (verify_cpu_ms) WHERE spent_at IS NOT NULL;
CREATE INDEX sessions_address_spend ON sessions (address, spent_at) INCLUDE (verify_cpu_ms) WHERE spent_at IS NOT NULL;
ALTER TABLE players ADD COLUMN address text;
CREATE INDEX players_address ON players (address, created_at) WHERE address IS NOT NULL;
)",
        // 5: each board's players counted per bucket of ratio at four levels,
        // so a place is the players of the better buckets plus a short walk
        // of the order's index inside the player's finest bucket. A ratio's
        // key is its bits (order-preserving for ratios from 0; every
        // negative ratio is -1); level 0 buckets are the key >> 52 (sign and
        // exponent: one an octave), each level 6 bits finer (>> 46, 40, 34:
        // 2^18 an octave at level 3), so a bucket's 64 children are its own
        // key << 6 on. Bounds are exact bits, so buckets follow the order
        // exactly. Fixed text: a stored step never changes.
        R"(
CREATE FUNCTION ratio_key(r double precision) RETURNS bigint
    LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
    RETURN CASE WHEN r >= 0 THEN ('x' || encode(float8send(abs(r)), 'hex'))::bit(64)::bigint ELSE -1 END;
-- The least ratio whose key is at least k (k from 0; NaN, the greatest, past the finite ones).
CREATE FUNCTION ratio_of_key(k bigint) RETURNS double precision
    LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE
    RETURN CASE WHEN k < 0 THEN '-Infinity'::double precision
                WHEN k >> 52 >= 2047 THEN 'NaN'::double precision
                WHEN k >> 52 = 0 THEN (k & 4503599627370495)::double precision * 2::double precision ^ -1074
                ELSE ((k & 4503599627370495) + 4503599627370496)::double precision * 2::double precision ^ ((k >> 52) - 1075) END;
CREATE TABLE board_buckets (
    stage text NOT NULL,
    edition text NOT NULL,
    difficulty text NOT NULL,
    level smallint NOT NULL,
    bucket bigint NOT NULL,
    -- Never below 0; no CHECK, as an upsert checks the row it would
    -- insert (a move's -1) even when it updates instead.
    players bigint NOT NULL,
    PRIMARY KEY (stage, edition, difficulty, level, bucket) INCLUDE (players)
);
LOCK TABLE bests IN SHARE MODE;
INSERT INTO board_buckets (stage, edition, difficulty, level, bucket, players)
    SELECT b.stage, b.edition, b.difficulty, l.level, ratio_key(b.ratio) >> l.shift, count(*)
    FROM bests b CROSS JOIN (VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift) GROUP BY 1, 2, 3, 4, 5;
)",
        // 6: the two key functions the same for every value, null for null,
        // but not STRICT: PostgreSQL writes a STRICT function's body into
        // the statement only when it can prove it strict, which it cannot
        // for a CASE, and calls it instead, at some 10 to 20 us a call in
        // every board read.
        R"(
CREATE OR REPLACE FUNCTION ratio_key(r double precision) RETURNS bigint
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN r >= 0 THEN ('x' || encode(float8send(abs(r)), 'hex'))::bit(64)::bigint WHEN r < 0 THEN -1 END;
CREATE OR REPLACE FUNCTION ratio_of_key(k bigint) RETURNS double precision
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN k < 0 THEN '-Infinity'::double precision
                WHEN k >> 52 >= 2047 THEN 'NaN'::double precision
                WHEN k >> 52 = 0 THEN (k & 4503599627370495)::double precision * 2::double precision ^ -1074
                WHEN k >> 52 > 0 THEN ((k & 4503599627370495) + 4503599627370496)::double precision * 2::double precision ^ ((k >> 52) - 1075) END;
)",
        // 7: what the board's keepers did and why: sessions hidden from every
        // board (kept, replays and all, for review), players restricted from
        // boards and submissions, an audit row per action; and the game
        // logic's version that verified each session, so sessions can be
        // verified again (recheck) once the game changes. A recheck leaves the
        // session's best on its board until its new verdict. Audit rows name
        // players by id only: a deleted player's name leaves with them.
        R"(
ALTER TABLE sessions
    ADD COLUMN hidden boolean NOT NULL DEFAULT false,
    ADD COLUMN hidden_reason text NOT NULL DEFAULT '',
    ADD COLUMN logic_version integer,
    ADD COLUMN recheck boolean NOT NULL DEFAULT false;
CREATE INDEX sessions_stage ON sessions (stage);
ALTER TABLE players
    ADD COLUMN restricted boolean NOT NULL DEFAULT false,
    ADD COLUMN restricted_reason text NOT NULL DEFAULT '';
CREATE TABLE audit (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    at timestamptz NOT NULL DEFAULT now(),
    by_name text NOT NULL,
    action text NOT NULL,
    player bigint,
    session bigint,
    detail text NOT NULL DEFAULT '',
    reason text NOT NULL DEFAULT ''
);
CREATE INDEX audit_player ON audit (player, id) WHERE player IS NOT NULL;
)",
        // 8: who watched a session's replay, once per viewer a day (the
        // viewer a hash of a player's id or of an address), and the count
        // kept on the session so a board page reads it with its row.
        R"(
CREATE TABLE watches (
    session bigint NOT NULL REFERENCES sessions ON DELETE CASCADE,
    day date NOT NULL,
    viewer bytea NOT NULL,
    PRIMARY KEY (session, day, viewer)
);
ALTER TABLE sessions ADD COLUMN watches bigint NOT NULL DEFAULT 0;
)",
        // 9: stages of one recording (fingerprints alike, lengths within the
        // slack) share a recording, and each recording keeps one board per
        // edition and difficulty: the stage whose verified run came first.
        // Stages stored before are linked when a session of theirs, or a
        // stage of their recording, is next sent (fingerprints compare in
        // the server, not in SQL). The envelope of the file a stage was made
        // from, as the first session that sent one had it.
        R"(
CREATE TABLE recordings (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    created_at timestamptz NOT NULL DEFAULT now()
);
ALTER TABLE stages ADD COLUMN recording bigint REFERENCES recordings, ADD COLUMN envelope bytea;
CREATE INDEX stages_recording ON stages (recording) WHERE recording IS NOT NULL;
CREATE INDEX stages_length ON stages (length_ms) WHERE fingerprint <> '';
CREATE TABLE recording_boards (
    recording bigint NOT NULL REFERENCES recordings,
    edition text NOT NULL,
    difficulty text NOT NULL,
    stage text NOT NULL REFERENCES stages,
    chosen_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (recording, edition, difficulty)
);
)",
        // 10: a watch's viewer kept as HMAC-SHA-256 under a secret of this
        // database's own, made once here (two random UUIDs: 244 random
        // bits), so a stored viewer cannot be turned back into an address
        // by hashing every address; rows of earlier days are pruned by day.
        // Rows from before keep their unkeyed hashes until pruned.
        R"(
CREATE TABLE server_secrets (
    name text PRIMARY KEY,
    secret bytea NOT NULL
);
INSERT INTO server_secrets (name, secret)
    VALUES ('watch_viewer', decode(replace(gen_random_uuid()::text || gen_random_uuid()::text, '-', ''), 'hex'));
CREATE INDEX watches_day ON watches (day);
)",
    };
}

}  // namespace

int schema_latest() { return static_cast<int>(steps().size()); }

int migrate(pqxx::connection& c) {
    {
        pqxx::nontransaction n(c);
        n.exec_params("SELECT pg_advisory_lock($1, $2)", lock_class, lock_schema);
    }
    int version = 0;
    try {
        {
            pqxx::work w(c);
            w.exec("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL, applied_at timestamptz NOT NULL DEFAULT now())");
            version = w.exec1("SELECT coalesce(max(version), 0) FROM schema_version")[0].as<int>();
            w.commit();
        }
        const std::vector<std::string> all = steps();
        if (version > static_cast<int>(all.size()))
            throw std::runtime_error("the database's schema is version " + std::to_string(version) +
                                     ", newer than this server's " + std::to_string(all.size()));
        for (std::size_t i = static_cast<std::size_t>(version); i < all.size(); ++i) {
            pqxx::work w(c);
            w.exec(all[i]);
            w.exec_params("INSERT INTO schema_version (version) VALUES ($1)", static_cast<int>(i + 1));
            w.commit();
            version = static_cast<int>(i + 1);
            log_event("schema_step", {{"step", std::to_string(version)}, {"of", std::to_string(all.size())}});
        }
    } catch (...) {
        pqxx::nontransaction n(c);
        n.exec_params("SELECT pg_advisory_unlock($1, $2)", lock_class, lock_schema);
        throw;
    }
    pqxx::nontransaction n(c);
    n.exec_params("SELECT pg_advisory_unlock($1, $2)", lock_class, lock_schema);
    return version;
}

}  // namespace server
