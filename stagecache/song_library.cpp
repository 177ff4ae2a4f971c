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
};
static_assert(sizeof(migrations) / sizeof(migrations[0]) == song_library::schema_version,
              "one migration step per schema version");

using statement_ptr = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

const char* events_column(std::string_view edition) {
    if (edition == "standard") return "events_standard";
    if (edition == "zetaflux") return "events_zetaflux";
    throw library_error("unknown edition \"" + std::string(edition) + "\"");
}

}  // namespace

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

std::optional<song_row> song_library::find(const std::string& hash) {
    std::lock_guard<std::mutex> g(lock_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, (std::string(row_columns) + " WHERE hash = ?1;").c_str(), -1, &raw, nullptr) !=
        SQLITE_OK)
        fail("cannot look a song up");
    statement_ptr st(raw, sqlite3_finalize);
    sqlite3_bind_text(raw, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
    const int step = sqlite3_step(raw);
    if (step == SQLITE_ROW) return read_row(raw);
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
    return rows;
}

}  // namespace stagecache
