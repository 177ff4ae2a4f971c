#include "stagecache/song_library.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>

namespace stagecache {
namespace {

// Long enough for another process's whole --prepare transaction; they are
// one small write each.
constexpr int busy_timeout_ms = 10000;

// Step k brings a database at user_version k to k + 1.
const char* const migrations[] = {
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
};
static_assert(sizeof(migrations) / sizeof(migrations[0]) == song_library::schema_version,
              "one migration step per schema version");

using statement_ptr = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

const char* events_column(std::string_view edition) {
    if (edition == "standard") return "events_standard";
    if (edition == "zetaflux") return "events_zetaflux";
    throw library_error("unknown edition \"" + std::string(edition) + "\"");
}

constexpr const char* result_columns =
    "SELECT song_hash, edition, session, run, played_at, hits, score, ratio, frames, offset_ms, replay FROM results";
// better_result's order in SQL.
constexpr const char* best_first = " ORDER BY ratio DESC, hits ASC, played_at ASC, id ASC";

result_row read_result(sqlite3_stmt* st) {
    auto text = [&](int i) {
        const unsigned char* t = sqlite3_column_text(st, i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    result_row r;
    r.song_hash = text(0);
    r.edition = text(1);
    r.session = text(2);
    r.run = sqlite3_column_int64(st, 3);
    r.played_at = sqlite3_column_int64(st, 4);
    r.hits = static_cast<std::int32_t>(sqlite3_column_int64(st, 5));
    r.score = static_cast<std::int32_t>(sqlite3_column_int64(st, 6));
    r.ratio = sqlite3_column_double(st, 7);
    r.frames = sqlite3_column_int64(st, 8);
    r.offset_ms = static_cast<std::int32_t>(sqlite3_column_int64(st, 9));
    r.replay = text(10);
    return r;
}

}  // namespace

bool better_result(const result_row& a, const result_row& b) {
    if (a.ratio != b.ratio) return a.ratio > b.ratio;
    if (a.hits != b.hits) return a.hits < b.hits;
    return a.played_at < b.played_at;
}

song_library::song_library(const std::string& path, bool create) : path_(path) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw library_error("cannot open the song library \"" + path + "\": " + why);
    }
    // Before anything else: the journal mode switch and the schema steps
    // also need locks another process may hold.
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    // The write-ahead log stays when the last connection closes, instead of
    // a checkpoint and three syncs on every start of the game; SQLite folds
    // it back into the database as it grows.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    try {
        exec("PRAGMA journal_mode=WAL;");
        // In WAL mode a commit stays atomic without a sync per transaction;
        // a power cut can lose only the last few commits.
        exec("PRAGMA synchronous=NORMAL;");
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

void song_library::fail(const std::string& what) {
    throw library_error("song library \"" + path_ + "\": " + what + ": " + sqlite3_errmsg(db_));
}

void song_library::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw library_error("song library \"" + path_ + "\": " + why);
    }
}

namespace {

// BEGIN IMMEDIATE takes the write lock at once (waiting up to the busy
// timeout), so two writers never deadlock upgrading read locks.
class transaction {
public:
    explicit transaction(sqlite3* db, const std::string& path) : db_(db) {
        char* message = nullptr;
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw library_error("song library \"" + path + "\": " + why);
        }
    }
    ~transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    void commit(const std::string& path) {
        if (sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw library_error("song library \"" + path + "\": " + sqlite3_errmsg(db_));
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

int user_version(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &raw, nullptr) == SQLITE_OK && sqlite3_step(raw) == SQLITE_ROW)
        version = sqlite3_column_int(raw, 0);
    sqlite3_finalize(raw);
    return version;
}

}  // namespace

void song_library::migrate() {
    std::lock_guard<std::mutex> g(lock_);
    if (user_version(db_) == schema_version) return;
    // Read again under the write lock: another process may have just done it.
    transaction t(db_, path_);
    const int version = user_version(db_);
    if (version < 0) fail("cannot read the schema version");
    if (version > schema_version)
        throw library_error("the song library \"" + path_ + "\" has schema version " + std::to_string(version) +
                            ", newer than this program's " + std::to_string(schema_version));
    for (int v = version; v < schema_version; ++v) exec(migrations[v]);
    exec(("PRAGMA user_version=" + std::to_string(schema_version) + ";").c_str());
    t.commit(path_);
}

void song_library::record_prepared(const song_row& facts, std::string_view edition, std::int64_t events,
                                   std::int64_t when) {
    const std::string column = events_column(edition);
    const std::string sql =
        "INSERT INTO songs (hash, path, duration, rate, channels, " + column +
        ", prepared_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
        " ON CONFLICT(hash) DO UPDATE SET path = excluded.path, duration = excluded.duration,"
        " rate = excluded.rate, channels = excluded.channels, " +
        column + " = excluded." + column + ", prepared_at = excluded.prepared_at;";
    std::lock_guard<std::mutex> g(lock_);
    transaction t(db_, path_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail("cannot record a song");
    statement_ptr st(raw, sqlite3_finalize);
    sqlite3_bind_text(raw, 1, facts.hash.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, facts.path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(raw, 3, facts.duration);
    sqlite3_bind_int64(raw, 4, facts.rate);
    sqlite3_bind_int64(raw, 5, facts.channels);
    sqlite3_bind_int64(raw, 6, events);
    sqlite3_bind_int64(raw, 7, when);
    if (sqlite3_step(raw) != SQLITE_DONE) fail("cannot record a song");
    st.reset();
    t.commit(path_);
}

void song_library::record_played(const std::string& hash, const std::string& path, std::int64_t when) {
    std::lock_guard<std::mutex> g(lock_);
    transaction t(db_, path_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "UPDATE songs SET path = ?2, last_played_at = ?3 WHERE hash = ?1;", -1, &raw,
                           nullptr) != SQLITE_OK)
        fail("cannot record a start");
    statement_ptr st(raw, sqlite3_finalize);
    sqlite3_bind_text(raw, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(raw, 3, when);
    if (sqlite3_step(raw) != SQLITE_DONE) fail("cannot record a start");
    st.reset();
    t.commit(path_);
}

namespace {

constexpr const char* row_columns =
    "SELECT hash, path, duration, rate, channels, events_standard, events_zetaflux, prepared_at, last_played_at "
    "FROM songs";

song_row read_row(sqlite3_stmt* st) {
    auto text = [&](int i) {
        const unsigned char* t = sqlite3_column_text(st, i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    auto optional_int = [&](int i, std::int64_t none) {
        return sqlite3_column_type(st, i) == SQLITE_NULL ? none : sqlite3_column_int64(st, i);
    };
    song_row r;
    r.hash = text(0);
    r.path = text(1);
    r.duration = sqlite3_column_double(st, 2);
    r.rate = static_cast<std::uint32_t>(sqlite3_column_int64(st, 3));
    r.channels = static_cast<std::uint32_t>(sqlite3_column_int64(st, 4));
    r.events_standard = optional_int(5, -1);
    r.events_zetaflux = optional_int(6, -1);
    r.prepared_at = optional_int(7, 0);
    r.last_played_at = optional_int(8, 0);
    return r;
}

}  // namespace

std::optional<result_row> song_library::best_unlocked(const std::string& hash, std::string_view edition) {
    sqlite3_stmt* raw = nullptr;
    const std::string sql = std::string(result_columns) + " WHERE song_hash = ?1 AND edition = ?2" + best_first + " LIMIT 1;";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail("cannot look a result up");
    statement_ptr st(raw, sqlite3_finalize);
    sqlite3_bind_text(raw, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, edition.data(), static_cast<int>(edition.size()), SQLITE_TRANSIENT);
    const int step = sqlite3_step(raw);
    if (step == SQLITE_ROW) return read_result(raw);
    if (step != SQLITE_DONE) fail("cannot look a result up");
    return std::nullopt;
}

void song_library::add_bests(song_row& r) {
    r.best_standard = best_unlocked(r.hash, "standard");
    r.best_zetaflux = best_unlocked(r.hash, "zetaflux");
}

std::optional<result_row> song_library::best_result(const std::string& hash, std::string_view edition) {
    events_column(edition);  // refuses an unknown edition
    std::lock_guard<std::mutex> g(lock_);
    return best_unlocked(hash, edition);
}

std::vector<std::string> song_library::replay_files() {
    std::lock_guard<std::mutex> g(lock_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT DISTINCT replay FROM results WHERE replay IS NOT NULL ORDER BY replay;", -1,
                           &raw, nullptr) != SQLITE_OK)
        fail("cannot list the replays");
    statement_ptr st(raw, sqlite3_finalize);
    std::vector<std::string> files;
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW)
        files.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
    if (step != SQLITE_DONE) fail("cannot list the replays");
    return files;
}

std::vector<std::string> song_library::record_session(const std::vector<result_row>& runs,
                                                      const std::string& keep_replay, std::size_t replay_run) {
    for (const result_row& r : runs) events_column(r.edition);
    if (!keep_replay.empty() && replay_run >= runs.size())
        throw library_error("song library \"" + path_ + "\": the kept replay names no run of the session");
    std::lock_guard<std::mutex> g(lock_);
    transaction t(db_, path_);
    auto prepare = [&](const char* sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) fail("cannot record results");
        return statement_ptr(raw, sqlite3_finalize);
    };
    auto run_to_end = [&](sqlite3_stmt* st) {
        if (sqlite3_step(st) != SQLITE_DONE) fail("cannot record results");
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    };

    // The replays that lose their last result go to the caller.
    std::vector<std::string> dropped;
    if (!keep_replay.empty()) {
        statement_ptr old = prepare(
            "SELECT DISTINCT replay FROM results WHERE song_hash = ?1 AND edition = ?2 AND replay IS NOT NULL"
            " AND replay <> ?3;");
        sqlite3_bind_text(old.get(), 1, runs[replay_run].song_hash.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(old.get(), 2, runs[replay_run].edition.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(old.get(), 3, keep_replay.c_str(), -1, SQLITE_TRANSIENT);
        int step;
        while ((step = sqlite3_step(old.get())) == SQLITE_ROW)
            dropped.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(old.get(), 0)));
        if (step != SQLITE_DONE) fail("cannot record results");
        statement_ptr give_up =
            prepare("UPDATE results SET replay = NULL WHERE song_hash = ?1 AND edition = ?2 AND replay IS NOT NULL;");
        sqlite3_bind_text(give_up.get(), 1, runs[replay_run].song_hash.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(give_up.get(), 2, runs[replay_run].edition.c_str(), -1, SQLITE_TRANSIENT);
        run_to_end(give_up.get());
    }
    statement_ptr insert = prepare(
        "INSERT INTO results (song_hash, edition, session, run, played_at, hits, score, ratio, frames, offset_ms, replay)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"
        " ON CONFLICT (session, run) DO UPDATE SET hits = excluded.hits, score = excluded.score,"
        " ratio = excluded.ratio, frames = excluded.frames, replay = COALESCE(excluded.replay, replay);");
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const result_row& r = runs[i];
        sqlite3_stmt* st = insert.get();
        sqlite3_bind_text(st, 1, r.song_hash.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, r.edition.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, r.session.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 4, r.run);
        sqlite3_bind_int64(st, 5, r.played_at);
        sqlite3_bind_int64(st, 6, r.hits);
        sqlite3_bind_int64(st, 7, r.score);
        sqlite3_bind_double(st, 8, r.ratio);
        sqlite3_bind_int64(st, 9, r.frames);
        sqlite3_bind_int64(st, 10, r.offset_ms);
        if (!keep_replay.empty() && i == replay_run) sqlite3_bind_text(st, 11, keep_replay.c_str(), -1, SQLITE_TRANSIENT);
        run_to_end(st);
    }
    t.commit(path_);
    return dropped;
}

std::optional<song_row> song_library::find(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, (std::string(row_columns) + " WHERE hash = ?1;").c_str(), -1, &raw, nullptr) !=
        SQLITE_OK)
        fail("cannot look a song up");
    statement_ptr st(raw, sqlite3_finalize);
    sqlite3_bind_text(raw, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
    const int step = sqlite3_step(raw);
    if (step == SQLITE_ROW) {
        song_row r = read_row(raw);
        add_bests(r);
        return r;
    }
    if (step != SQLITE_DONE) fail("cannot look a song up");
    return std::nullopt;
}

std::vector<song_row> song_library::songs() {
    std::lock_guard<std::mutex> g(lock_);
    sqlite3_stmt* raw = nullptr;
    const std::string sql = std::string(row_columns) + " ORDER BY COALESCE(last_played_at, 0) DESC, path, hash;";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) fail("cannot list the songs");
    statement_ptr st(raw, sqlite3_finalize);
    std::vector<song_row> rows;
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) rows.push_back(read_row(raw));
    if (step != SQLITE_DONE) fail("cannot list the songs");
    st.reset();
    for (song_row& r : rows) add_bests(r);
    return rows;
}

}  // namespace stagecache
