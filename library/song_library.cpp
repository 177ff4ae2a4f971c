#include "library/song_library.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <utility>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "library/prepare.hpp"
#include "musicindex/store.hpp"
#include "results/replay_file.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace library {
namespace {

void exec(sqlite3* db, const char* text) { sql::exec(db, text, "cannot bring the schema up to date"); }

// One song, edition and difficulty: the key of stages and results.
constexpr const char* where_key = " WHERE song_hash = :hash AND edition = :edition AND difficulty = :difficulty";
// With the stage played on, the key of bests; "" matches the rows that
// have none (IS, not =, so NULL meets NULL).
constexpr const char* and_stage = " AND stage_hash IS :stage";
sql::statement& bind_key(sql::statement& st, std::string_view hash, std::string_view edition,
                         std::string_view difficulty) {
    return st.bind(":hash", hash).bind(":edition", edition).bind(":difficulty", difficulty);
}

// Step k brings a database at user_version k to k + 1. The first steps
// describe the tables as those versions had them, so every older library
// takes the same road.
constexpr const char* schema_steps[] = {
    // Schema 0 to 1
    "CREATE TABLE songs ("
    "  hash TEXT PRIMARY KEY NOT NULL,"
    "  path TEXT NOT NULL,"
    "  duration REAL NOT NULL,"
    "  rate INTEGER NOT NULL,"
    "  channels INTEGER NOT NULL,"
    "  events_standard INTEGER,"
    "  events_zetaflux INTEGER,"
    "  prepared_at INTEGER,"
    "  last_played_at INTEGER"
    ");",
    // Schema 1 to 2
    // Every finished run; (session, run) names it, so a session recorded
    // twice is one set of rows.
    "CREATE TABLE results ("
    "  id INTEGER PRIMARY KEY,"
    "  song_hash TEXT NOT NULL,"
    "  edition TEXT NOT NULL CHECK (edition IN ('standard', 'zetaflux')),"
    "  session TEXT NOT NULL,"
    "  run INTEGER NOT NULL,"
    "  played_at INTEGER NOT NULL,"
    "  hits INTEGER NOT NULL,"
    "  score INTEGER NOT NULL,"
    "  ratio REAL NOT NULL,"
    "  frames INTEGER NOT NULL,"
    "  offset_ms INTEGER NOT NULL,"
    "  replay TEXT,"
    "  UNIQUE (session, run)"
    ");"
    "CREATE INDEX results_by_song ON results (song_hash, edition, ratio DESC, hits);",
    // Schema 2 to 3
    // Stages get a table of their own, keyed by edition and difficulty;
    // the two editions schema 2 knew were both at format version 1 and
    // only ever prepared at their full density (hard). Their checksums
    // are taken when they are next used. Results keep their ids, so the
    // order of equal results stays.
    "CREATE TABLE stages ("
    "  song_hash TEXT NOT NULL,"
    "  edition TEXT NOT NULL,"
    "  difficulty TEXT NOT NULL,"
    "  format_version INTEGER NOT NULL,"
    "  events INTEGER NOT NULL,"
    "  prepared_at INTEGER NOT NULL,"
    "  checksum TEXT,"
    "  PRIMARY KEY (song_hash, edition, difficulty)"
    ");"
    "INSERT INTO stages (song_hash, edition, difficulty, format_version, events, prepared_at)"
    "  SELECT hash, 'standard', 'hard', 1, events_standard, COALESCE(prepared_at, 0) FROM songs"
    "  WHERE events_standard IS NOT NULL;"
    "INSERT INTO stages (song_hash, edition, difficulty, format_version, events, prepared_at)"
    "  SELECT hash, 'zetaflux', 'hard', 1, events_zetaflux, COALESCE(prepared_at, 0) FROM songs"
    "  WHERE events_zetaflux IS NOT NULL;"
    "ALTER TABLE songs DROP COLUMN events_standard;"
    "ALTER TABLE songs DROP COLUMN events_zetaflux;"
    "CREATE TABLE results_v3 ("
    "  id INTEGER PRIMARY KEY,"
    "  song_hash TEXT NOT NULL,"
    "  edition TEXT NOT NULL,"
    "  difficulty TEXT NOT NULL DEFAULT 'hard',"
    "  session TEXT NOT NULL,"
    "  run INTEGER NOT NULL,"
    "  played_at INTEGER NOT NULL,"
    "  hits INTEGER NOT NULL,"
    "  score INTEGER NOT NULL,"
    "  ratio REAL NOT NULL,"
    "  frames INTEGER NOT NULL,"
    "  offset_ms INTEGER NOT NULL,"
    "  replay TEXT,"
    "  UNIQUE (session, run)"
    ");"
    "INSERT INTO results_v3 (id, song_hash, edition, difficulty, session, run, played_at, hits, score, ratio,"
    "  frames, offset_ms, replay)"
    "  SELECT id, song_hash, edition, 'hard', session, run, played_at, hits, score, ratio, frames, offset_ms,"
    "  replay FROM results;"
    "DROP TABLE results;"
    "ALTER TABLE results_v3 RENAME TO results;"
    "CREATE INDEX results_by_song ON results (song_hash, edition, difficulty, ratio DESC, hits);",
    // Schema 3 to 4
    // The music index's lists look up each song's best run in the
    // results; with every key of the best-run order in the index, that
    // is one step into it per song, not a sort.
    "CREATE INDEX results_best_first ON results (song_hash, edition, difficulty, ratio DESC, hits,"
    "  played_at);",
    // Schema 4 to 5
    // Sessions waiting for, or answered by, the scoreboard server, with
    // copies of their stage and replay in the outbox folder until sent;
    // and each song's audio fingerprint, which names its recording there.
    "CREATE TABLE submissions ("
    "  session TEXT PRIMARY KEY NOT NULL,"
    "  song_hash TEXT NOT NULL,"
    "  edition TEXT NOT NULL,"
    "  difficulty TEXT NOT NULL,"
    "  server TEXT NOT NULL,"
    "  stage_file TEXT NOT NULL,"
    "  replay_file TEXT NOT NULL,"
    "  queued_at INTEGER NOT NULL,"
    "  state TEXT NOT NULL DEFAULT 'queued'"
    "    CHECK (state IN ('queued', 'pending', 'verified', 'rejected')),"
    "  server_session INTEGER,"
    "  reason TEXT NOT NULL DEFAULT '',"
    "  attempts INTEGER NOT NULL DEFAULT 0,"
    "  next_try_at INTEGER NOT NULL DEFAULT 0"
    ");"
    "CREATE INDEX submissions_by_song ON submissions (song_hash, edition, difficulty);"
    "ALTER TABLE songs ADD COLUMN fingerprint TEXT;",
    // Schema 5 to 6
    // The stage of the song's recording's board on the server, when it is
    // not the song's own, and how far this file's music is from that
    // stage's; measured once, and kept for when the server is out of reach.
    "CREATE TABLE board_stages ("
    "  song_hash TEXT NOT NULL,"
    "  edition TEXT NOT NULL,"
    "  difficulty TEXT NOT NULL,"
    "  stage_hash TEXT NOT NULL,"
    "  stage_file TEXT NOT NULL,"
    "  offset_ms REAL NOT NULL,"
    "  clear INTEGER NOT NULL CHECK (clear IN (0, 1)),"
    "  why TEXT NOT NULL,"
    "  measured_at INTEGER NOT NULL,"
    "  PRIMARY KEY (song_hash, edition, difficulty)"
    ");",
    // Schema 6 to 7
    // Each result names the stage it was played on (another version's
    // stage plays under the song's own hash), and each stage its hash, so
    // a best is one stage's. The old rows' stages are filled in by
    // fill_played_stages; the best-run index leads with the stage.
    "ALTER TABLE stages ADD COLUMN stage_hash TEXT;"
    "ALTER TABLE results ADD COLUMN stage_hash TEXT;"
    "DROP INDEX results_best_first;"
    "CREATE INDEX results_best_first ON results (song_hash, edition, difficulty, stage_hash, ratio DESC, hits,"
    "  played_at);",
};

bool read_whole(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Each old stage's hash, from the stage cache's file when that is the stage
// the library knows: the same format version and, when one was taken, the
// same checksum.
void fill_stage_hashes(sqlite3* db) {
    const std::string cache = userfiles::cache_dir();
    if (cache.empty()) return;
    const stagecache::stage_cache stages(cache);
    struct known {
        std::string song, edition, difficulty, checksum;
        std::int64_t format_version;
    };
    std::vector<known> rows;
    {
        sql::statement st(db, "SELECT song_hash, edition, difficulty, format_version, COALESCE(checksum, '') FROM stages;",
                          "cannot bring the schema up to date");
        while (st.step()) rows.push_back({st.text(0), st.text(1), st.text(2), st.text(4), st.integer(3)});
    }
    sql::statement set(db, std::string("UPDATE stages SET stage_hash = :stage") + where_key + ";",
                       "cannot bring the schema up to date");
    for (const known& k : rows) {
        stagecache::song_hash song;
        const std::optional<stage_choice> choice = stage_choice::from_names(k.edition, k.difficulty);
        if (!choice || !parse_song_hash(k.song, song)) continue;
        const stagecache::stage_key key = stage_key_of(choice->edition, choice->difficulty);
        std::string bytes;
        if (key.format_version != k.format_version || !read_whole(stages.entry_path(song, key), bytes)) continue;
        if (!k.checksum.empty() && stagecache::checksum_text(bytes.data(), bytes.size()) != k.checksum) continue;
        bind_key(set, k.song, k.edition, k.difficulty).bind(":stage", vaz::hash_bytes(bytes.data(), bytes.size()).hex());
        set.run();
    }
}

// The stage of each old result with a kept replay is the one its replay
// names. The others get the song's own stage as the library knows it:
// nothing recorded which stage they were played on, and the own stage is
// the only one the library itself made and vouches for (runs on another
// version's stage were few, and only their best kept its replay). Its hash
// is its cached file's; without that file, the one its edition and
// difficulty's kept replay names (until now each kept one, of the best run,
// so a listed best stays listed), else none (NULL), which counts as the own
// stage until record_prepared learns its hash from bytes unchanged since.
// Guessing a board's stage instead would move runs to a board they may
// never have been played on.
void fill_played_stages(sqlite3* db, const std::string& replays) {
    std::vector<std::string> files;
    {
        sql::statement st(db, "SELECT DISTINCT replay FROM results WHERE replay IS NOT NULL;",
                          "cannot bring the schema up to date");
        while (st.step()) files.push_back(st.text(0));
    }
    sql::statement set(db, "UPDATE results SET stage_hash = :stage WHERE replay = :replay;",
                       "cannot bring the schema up to date");
    for (const std::string& f : files) {
        results::replay r;
        if (!vaz::plain_file_name(f) || results::read_replay_file(replays + "/" + f, r).status != results::replay_status::ok)
            continue;
        set.bind(":stage", r.pattern.hex()).bind(":replay", f).run();
    }
    fill_stage_hashes(db);
    exec(db,
         "UPDATE stages SET stage_hash = (SELECT r.stage_hash FROM results r WHERE r.song_hash = stages.song_hash"
         "  AND r.edition = stages.edition AND r.difficulty = stages.difficulty AND r.replay IS NOT NULL"
         "  AND r.stage_hash IS NOT NULL ORDER BY r.id LIMIT 1) WHERE stage_hash IS NULL;");
    exec(db,
         "UPDATE results SET stage_hash = (SELECT s.stage_hash FROM stages s WHERE s.song_hash = results.song_hash"
         "  AND s.edition = results.edition AND s.difficulty = results.difficulty) WHERE stage_hash IS NULL;");
}

// The folder of replays beside the library file (as places.hpp has them).
std::string replays_beside(const std::string& library) {
    const std::size_t slash = library.rfind('/');
    return (slash == std::string::npos ? std::string(".") : library.substr(0, slash)) + "/replays";
}

void migrate_step(sqlite3* db, int from, const std::string& library) {
    if (from < 0 || from >= static_cast<int>(sizeof schema_steps / sizeof schema_steps[0])) return;
    // The music tables are the music index's own (it runs them in this step's transaction).
    if (from == 3) musicindex::add_tables(db);
    exec(db, schema_steps[from]);
    if (from == 6) fill_played_stages(db, replays_beside(library));
}

constexpr const char* result_columns =
    "SELECT song_hash, edition, difficulty, session, run, played_at, hits, score, ratio, frames, offset_ms, replay, "
    "COALESCE(stage_hash, '') FROM results";
// better_result's order, the row id last.
const std::string best_first = std::string(" ORDER BY ") + results::best_order_sql + ", id ASC";

result_row read_result(const sql::statement& st) {
    result_row r;
    r.song_hash = st.text(0);
    r.edition = st.text(1);
    r.difficulty = st.text(2);
    r.session = st.text(3);
    r.run = st.integer(4);
    r.played_at = st.integer(5);
    r.hits = static_cast<std::int32_t>(st.integer(6));
    r.score = static_cast<std::int32_t>(st.integer(7));
    r.ratio = st.real(8);
    r.frames = st.integer(9);
    r.offset_ms = static_cast<std::int32_t>(st.integer(10));
    r.replay = st.text(11);
    r.stage = st.text(12);
    return r;
}

int user_version(sqlite3* db) {
    sql::statement st(db, "PRAGMA user_version;", "cannot read the schema version");
    return st.step() ? static_cast<int>(st.integer(0)) : -1;
}

// Registry order, then easy, normal, hard; names this program does not
// know (a newer one wrote them) last.
int edition_rank(const std::string& name) {
    const auto ed = converter::edition_from_name(name);
    return ed ? static_cast<int>(*ed) : 1000;
}
int difficulty_rank(const std::string& name) {
    const auto d = converter::difficulty_from_name(name);
    return d ? static_cast<int>(*d) : 1000;
}

}  // namespace

// Only what this program can prepare and play is stored or asked for: the
// registry's editions, the converter's difficulties.
void song_library::check_key(std::string_view edition, std::string_view difficulty) const {
    if (!converter::edition_from_name(edition))
        throw library_error("song library \"" + path_ + "\": unknown edition \"" + std::string(edition) + "\"");
    if (!converter::difficulty_from_name(difficulty))
        throw library_error("song library \"" + path_ + "\": unknown difficulty \"" + std::string(difficulty) + "\"");
}

song_library::song_library(const std::string& path, bool create) : path_(path) {
    // The busy timeout is set before anything else: the journal mode switch
    // and the schema steps also need locks another process may hold.
    db_ = sql::open(path, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX);
    // The write-ahead log stays when the last connection closes, instead of
    // a checkpoint and three syncs on every start of the game; SQLite folds
    // it back into the database as it grows.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    try {
        // Switching a new database to WAL needs it to itself, and SQLite
        // does not wait for that through the busy timeout: another process
        // making the same library holds it for its first schema steps.
        for (int waited = 0;; waited += 10) {
            const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) break;
            if (rc != SQLITE_BUSY || waited >= sql::busy_timeout_ms) sql::fail(db_, "cannot use a write-ahead log");
            sqlite3_sleep(10);
        }
        // In WAL mode a commit stays atomic without a sync per transaction;
        // a power cut can lose only the last few commits.
        sql::exec(db_, "PRAGMA synchronous=NORMAL;", "cannot set the sync mode");
        migrate();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

song_library::~song_library() { sqlite3_close(db_); }

bool song_library::exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void song_library::migrate() {
    std::lock_guard<std::mutex> g(lock_);
    if (user_version(db_) == schema_version) return;
    // Read again under the write lock: another process may have just done it.
    sql::transaction t(db_);
    const int version = user_version(db_);
    if (version < 0) throw library_error("song library \"" + path_ + "\": cannot read the schema version");
    if (version > schema_version)
        throw library_error("the song library \"" + path_ + "\" has schema version " + std::to_string(version) +
                            ", newer than this program's " + std::to_string(schema_version));
    for (int v = version; v < schema_version; ++v) migrate_step(db_, v, path_);
    exec(db_, ("PRAGMA user_version=" + std::to_string(schema_version) + ";").c_str());
    t.commit();
}

void song_library::record_prepared(const song_row& facts, const stage_row& stage) {
    check_key(stage.edition, stage.difficulty);
    std::lock_guard<std::mutex> g(lock_);
    sql::transaction t(db_);
    sql::statement song(db_,
                        "INSERT INTO songs (hash, path, duration, rate, channels, prepared_at)"
                        " VALUES (:hash, :path, :duration, :rate, :channels, :prepared_at)"
                        " ON CONFLICT(hash) DO UPDATE SET path = excluded.path, duration = excluded.duration,"
                        " rate = excluded.rate, channels = excluded.channels, prepared_at = excluded.prepared_at;",
                        "cannot record a song");
    song.bind(":hash", facts.hash)
        .bind(":path", facts.path)
        .bind(":duration", facts.duration)
        .bind(":rate", static_cast<std::int64_t>(facts.rate))
        .bind(":channels", static_cast<std::int64_t>(facts.channels))
        .bind(":prepared_at", stage.prepared_at)
        .run();
    // The runs kept without a stage were played on the own stage as the
    // library knew it: the hash now learnt is theirs only when the bytes
    // are the same (or were never checksummed) and no hash was known yet.
    bool fill = false;
    if (!stage.stage_hash.empty()) {
        sql::statement old(db_,
                           std::string("SELECT format_version, COALESCE(checksum, ''), stage_hash IS NULL FROM stages") +
                               where_key + ";",
                           "cannot record a stage");
        bind_key(old, facts.hash, stage.edition, stage.difficulty);
        fill = !old.step() || (old.integer(0) == stage.format_version && old.integer(2) != 0 &&
                               (old.text(1).empty() || old.text(1) == stage.checksum));
    }
    sql::statement st(db_,
                      "INSERT INTO stages (song_hash, edition, difficulty, format_version, events, prepared_at, checksum,"
                      " stage_hash)"
                      " VALUES (:hash, :edition, :difficulty, :format_version, :events, :prepared_at, :checksum,"
                      " :stage_hash)"
                      " ON CONFLICT (song_hash, edition, difficulty) DO UPDATE SET"
                      " format_version = excluded.format_version, events = excluded.events,"
                      " prepared_at = excluded.prepared_at, checksum = excluded.checksum,"
                      // A hash not given is still the stage's while its bytes are.
                      " stage_hash = CASE WHEN excluded.stage_hash IS NOT NULL THEN excluded.stage_hash"
                      "   WHEN excluded.checksum IS checksum AND excluded.format_version = format_version"
                      "   THEN stage_hash END;",
                      "cannot record a stage");
    st.bind(":hash", facts.hash)
        .bind(":edition", stage.edition)
        .bind(":difficulty", stage.difficulty)
        .bind(":format_version", static_cast<std::int64_t>(stage.format_version))
        .bind(":events", stage.events)
        .bind(":prepared_at", stage.prepared_at)
        .bind_or_null(":checksum", stage.checksum)
        .bind_or_null(":stage_hash", stage.stage_hash)
        .run();
    if (fill) {
        sql::statement runs(db_, std::string("UPDATE results SET stage_hash = :stage") + where_key +
                                     " AND stage_hash IS NULL;",
                            "cannot record a stage");
        bind_key(runs, facts.hash, stage.edition, stage.difficulty).bind(":stage", stage.stage_hash).run();
    }
    t.commit();
}

std::optional<stage_row> song_library::find_stage(const std::string& hash, std::string_view edition,
                                                  std::string_view difficulty) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_,
                      std::string("SELECT format_version, events, prepared_at, checksum, COALESCE(stage_hash, '')"
                                  " FROM stages") + where_key + ";",
                      "cannot look a stage up");
    bind_key(st, hash, edition, difficulty);
    if (!st.step()) return std::nullopt;
    stage_row r;
    r.song_hash = hash;
    r.edition = std::string(edition);
    r.difficulty = std::string(difficulty);
    r.format_version = static_cast<int>(st.integer(0));
    r.events = st.integer(1);
    r.prepared_at = st.integer(2);
    r.checksum = st.text(3);
    r.stage_hash = st.text(4);
    return r;
}

void song_library::record_played(const std::string& hash, const std::string& path, std::int64_t when) {
    std::lock_guard<std::mutex> g(lock_);
    sql::transaction t(db_);
    sql::statement st(db_, "UPDATE songs SET path = :path, last_played_at = :when WHERE hash = :hash;",
                      "cannot record a start");
    st.bind(":hash", hash).bind(":path", path).bind(":when", when).run();
    t.commit();
}

std::optional<result_row> song_library::best_unlocked(const std::string& hash, std::string_view edition,
                                                      std::string_view difficulty, std::string_view stage) {
    sql::statement st(db_,
                      std::string(result_columns) + where_key + and_stage + best_first + " LIMIT 1;",
                      "cannot look a result up");
    bind_key(st, hash, edition, difficulty).bind_or_null(":stage", stage);
    if (st.step()) return read_result(st);
    return std::nullopt;
}

std::optional<result_row> song_library::best_result(const std::string& hash, std::string_view edition,
                                                    std::string_view difficulty, std::string_view stage) {
    check_key(edition, difficulty);
    std::lock_guard<std::mutex> g(lock_);
    return best_unlocked(hash, edition, difficulty, stage);
}

std::string song_library::playing_unlocked(const std::string& hash, std::string_view edition,
                                           std::string_view difficulty) {
    sql::statement st(db_, "SELECT COALESCE(" + results::playing_stage_sql(":hash", ":edition", ":difficulty") + ", '');",
                      "cannot look a stage up");
    bind_key(st, hash, edition, difficulty);
    return st.step() ? st.text(0) : std::string();
}

std::string song_library::playing_stage(const std::string& song_hash, stage_choice choice) {
    std::lock_guard<std::mutex> g(lock_);
    return playing_unlocked(song_hash, choice.edition_name(), choice.difficulty_name());
}

std::vector<result_row> song_library::kept_bests() {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_, std::string(result_columns) + " WHERE replay IS NOT NULL ORDER BY song_hash, id;",
                      "cannot list the kept bests");
    std::vector<result_row> rows;
    while (st.step()) rows.push_back(read_result(st));
    return rows;
}

std::vector<std::string> song_library::replay_files() {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_, "SELECT DISTINCT replay FROM results WHERE replay IS NOT NULL ORDER BY replay;",
                      "cannot list the replays");
    std::vector<std::string> files;
    while (st.step()) files.push_back(st.text(0));
    return files;
}

std::vector<std::string> song_library::record_session(const std::vector<result_row>& runs,
                                                      const std::string& keep_replay, std::size_t replay_run) {
    for (const result_row& r : runs) check_key(r.edition, r.difficulty);
    if (!keep_replay.empty() && replay_run >= runs.size())
        throw library_error("song library \"" + path_ + "\": the kept replay names no run of the session");
    std::lock_guard<std::mutex> g(lock_);
    sql::transaction t(db_);

    // The best is decided here, under the write lock: another session may
    // have stored a better run since the caller looked.
    bool keep = !keep_replay.empty();
    std::vector<std::string> dropped;
    if (keep) {
        const result_row& candidate = runs[replay_run];
        const std::optional<result_row> best =
            best_unlocked(candidate.song_hash, candidate.edition, candidate.difficulty, candidate.stage);
        const bool itself = best && best->session == candidate.session && best->run == candidate.run;
        if (best && !itself && !better_result(candidate, *best)) keep = false;
    }
    if (keep) {
        const result_row& candidate = runs[replay_run];
        // Every other result of the song on that stage is worse now: their
        // replays go. A best of another stage keeps its own.
        sql::statement old(db_,
                           std::string("SELECT DISTINCT replay FROM results ") + where_key + and_stage +
                               " AND replay IS NOT NULL AND replay <> :keep;",
                           "cannot record results");
        bind_key(old, candidate.song_hash, candidate.edition, candidate.difficulty)
            .bind_or_null(":stage", candidate.stage)
            .bind(":keep", keep_replay);
        while (old.step()) dropped.push_back(old.text(0));
        sql::statement give_up(db_,
                               std::string("UPDATE results SET replay = NULL ") + where_key + and_stage +
                                   " AND replay IS NOT NULL AND replay <> :keep;",
                               "cannot record results");
        bind_key(give_up, candidate.song_hash, candidate.edition, candidate.difficulty)
            .bind_or_null(":stage", candidate.stage)
            .bind(":keep", keep_replay)
            .run();
    } else if (!keep_replay.empty()) {
        dropped.push_back(keep_replay);
    }
    sql::statement insert(
        db_,
        "INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio, frames,"
        " offset_ms, replay, stage_hash)"
        " VALUES (:hash, :edition, :difficulty, :session, :run, :played_at, :hits, :score, :ratio, :frames, "
        ":offset_ms, :replay, :stage)"
        " ON CONFLICT (session, run) DO UPDATE SET hits = excluded.hits, score = excluded.score,"
        " ratio = excluded.ratio, frames = excluded.frames, replay = COALESCE(excluded.replay, replay);",
        "cannot record results");
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const result_row& r = runs[i];
        insert.bind(":hash", r.song_hash)
            .bind(":edition", r.edition)
            .bind(":difficulty", r.difficulty)
            .bind(":session", r.session)
            .bind(":run", r.run)
            .bind(":played_at", r.played_at)
            .bind(":hits", static_cast<std::int64_t>(r.hits))
            .bind(":score", static_cast<std::int64_t>(r.score))
            .bind(":ratio", r.ratio)
            .bind(":frames", r.frames)
            .bind(":offset_ms", static_cast<std::int64_t>(r.offset_ms))
            .bind_or_null(":stage", r.stage);
        if (keep && i == replay_run) insert.bind(":replay", keep_replay);
        insert.run();
    }
    t.commit();
    return dropped;
}

namespace {

constexpr const char* row_columns = "SELECT hash, path, duration, rate, channels, prepared_at, last_played_at FROM songs";

song_row read_row(const sql::statement& st) {
    song_row r;
    r.hash = st.text(0);
    r.path = st.text(1);
    r.duration = st.real(2);
    r.rate = static_cast<std::uint32_t>(st.integer(3));
    r.channels = static_cast<std::uint32_t>(st.integer(4));
    r.prepared_at = st.null(5) ? 0 : st.integer(5);
    r.last_played_at = st.null(6) ? 0 : st.integer(6);
    return r;
}

}  // namespace

void song_library::add_stages(song_row& r) {
    sql::statement kinds(db_,
                         "SELECT edition, difficulty FROM stages WHERE song_hash = :hash"
                         " UNION SELECT edition, difficulty FROM results WHERE song_hash = :hash;",
                         "cannot list a song's stages");
    kinds.bind(":hash", r.hash);
    while (kinds.step()) {
        song_stage s;
        s.edition = kinds.text(0);
        s.difficulty = kinds.text(1);
        r.stages.push_back(std::move(s));
    }
    std::sort(r.stages.begin(), r.stages.end(), [](const song_stage& a, const song_stage& b) {
        const int ea = edition_rank(a.edition), eb = edition_rank(b.edition);
        if (ea != eb) return ea < eb;
        if (a.edition != b.edition) return a.edition < b.edition;
        return difficulty_rank(a.difficulty) < difficulty_rank(b.difficulty);
    });
    sql::statement stage(db_, std::string("SELECT events, prepared_at FROM stages") + where_key + ";",
                         "cannot list a song's stages");
    for (song_stage& s : r.stages) {
        bind_key(stage, r.hash, s.edition, s.difficulty);
        if (stage.step()) {
            s.events = stage.integer(0);
            s.prepared_at = stage.integer(1);
        }
        stage.run();
        s.playing = playing_unlocked(r.hash, s.edition, s.difficulty);
        s.best = best_unlocked(r.hash, s.edition, s.difficulty, s.playing);
    }
}

std::optional<song_row> song_library::find(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_, std::string(row_columns) + " WHERE hash = :hash;", "cannot look a song up");
    st.bind(":hash", hash);
    if (!st.step()) return std::nullopt;
    song_row r = read_row(st);
    add_stages(r);
    return r;
}

std::string song_library::hash_of_file(const std::string& path, std::int64_t size, std::int64_t mtime_ns) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_,
                      "SELECT COALESCE(song_hash, '') FROM files"
                      " WHERE path = :path AND size = :size AND mtime_ns = :mtime AND missing = 0;",
                      "cannot look a file's song up");
    st.bind(":path", path).bind(":size", size).bind(":mtime", mtime_ns);
    return st.step() ? st.text(0) : std::string();
}

upload_facts song_library::facts_for_upload(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    upload_facts f;
    sql::statement song(db_, "SELECT duration, COALESCE(fingerprint, '') FROM songs WHERE hash = :hash",
                        "cannot read the song");
    song.bind(":hash", hash);
    if (song.step()) {
        f.length_ms = static_cast<std::int64_t>(song.real(0) * 1000.0);
        f.fingerprint = song.text(1);
    }
    sql::statement tags(db_, "SELECT title, artist, album FROM files WHERE song_hash = :hash ORDER BY id LIMIT 1",
                        "cannot read the song's tags");
    tags.bind(":hash", hash);
    if (tags.step()) {
        f.title = tags.text(0);
        f.artist = tags.text(1);
        f.album = tags.text(2);
    }
    return f;
}

void song_library::set_fingerprint(const std::string& hash, const std::string& fingerprint) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_, "UPDATE songs SET fingerprint = :fingerprint WHERE hash = :hash",
                      "cannot keep the fingerprint");
    st.bind(":hash", hash).bind(":fingerprint", fingerprint).run();
}

std::string song_library::fingerprint(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_, "SELECT COALESCE(fingerprint, '') FROM songs WHERE hash = :hash",
                      "cannot read the fingerprint");
    st.bind(":hash", hash);
    return st.step() ? st.text(0) : std::string();
}

void song_library::record_board_stage(const std::string& hash, stage_choice choice, const board_stage_row& row) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_,
                      "INSERT OR REPLACE INTO board_stages (song_hash, edition, difficulty, stage_hash, stage_file,"
                      " offset_ms, clear, why, measured_at) VALUES (:hash, :edition, :difficulty, :stage_hash,"
                      " :stage_file, :offset_ms, :clear, :why, :measured_at)",
                      "cannot keep the board's stage");
    bind_key(st, hash, choice.edition_name(), choice.difficulty_name())
        .bind(":stage_hash", row.stage_hash)
        .bind(":stage_file", row.stage_file)
        .bind(":offset_ms", row.offset_ms)
        .bind(":clear", static_cast<std::int64_t>(row.clear ? 1 : 0))
        .bind(":why", row.why)
        .bind(":measured_at", row.measured_at)
        .run();
}

std::optional<board_stage_row> song_library::board_stage(const std::string& hash, stage_choice choice) {
    std::lock_guard<std::mutex> g(lock_);
    sql::statement st(db_,
                      std::string("SELECT stage_hash, stage_file, offset_ms, clear, why, measured_at FROM board_stages") +
                          where_key,
                      "cannot read the board's stage");
    bind_key(st, hash, choice.edition_name(), choice.difficulty_name());
    if (!st.step()) return std::nullopt;
    board_stage_row r;
    r.stage_hash = st.text(0);
    r.stage_file = st.text(1);
    r.offset_ms = st.real(2);
    r.clear = st.integer(3) != 0;
    r.why = st.text(4);
    r.measured_at = st.integer(5);
    return r;
}

std::vector<song_row> song_library::songs() {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<song_row> rows;
    {
        sql::statement st(db_, std::string(row_columns) + " ORDER BY COALESCE(last_played_at, 0) DESC, path, hash;",
                          "cannot list the songs");
        while (st.step()) rows.push_back(read_row(st));
    }
    for (song_row& r : rows) add_stages(r);
    return rows;
}

}  // namespace library
