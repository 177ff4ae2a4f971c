#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// The one small wrapper every SQLite user goes through: statements that
// finalize themselves, binding by type, stepping that throws, transactions
// that roll back unless committed.
namespace sql {

// Every failure; the message names the database file.
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline std::string database_name(sqlite3* db) {
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    return std::string("song library \"") + (file ? file : "") + "\"";
}

[[noreturn]] inline void fail(sqlite3* db, const std::string& what) {
    throw error(database_name(db) + ": " + what + ": " + sqlite3_errmsg(db));
}

inline void exec(sqlite3* db, const char* text, const char* what) {
    char* message = nullptr;
    if (sqlite3_exec(db, text, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string why = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw error(database_name(db) + ": " + what + ": " + why);
    }
}

// Every connection to the song library waits this long for another's lock
// before a statement fails as busy: long enough for another process's whole
// --prepare transaction, which is one small write each.
constexpr int busy_timeout_ms = 10000;

// The one way a connection to the song library is made: the file opened with
// `flags` (SQLITE_OPEN_*), the busy timeout set. Throws error naming the file.
inline sqlite3* open(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw error("cannot open the song library \"" + path + "\": " + why);
    }
    sqlite3_busy_timeout(db, busy_timeout_ms);
    return db;
}

// One prepared statement, finalized when it goes.
class statement {
public:
    statement(sqlite3* db, const std::string& text, const char* what) : db_(db), what_(what) {
        if (sqlite3_prepare_v2(db, text.c_str(), static_cast<int>(text.size()), &st_, nullptr) != SQLITE_OK)
            fail(db, what);
    }
    ~statement() { sqlite3_finalize(st_); }
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    statement& bind(int i, std::string_view text) {
        sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    statement& bind(int i, const char* text) { return bind(i, std::string_view(text)); }
    statement& bind(int i, const std::string& text) { return bind(i, std::string_view(text)); }
    statement& bind(int i, std::int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    statement& bind(int i, double v) {
        sqlite3_bind_double(st_, i, v);
        return *this;
    }
    // An empty text as NULL (a song hash not known).
    statement& bind_or_null(int i, std::string_view text) {
        if (text.empty()) {
            sqlite3_bind_null(st_, i);
            return *this;
        }
        return bind(i, text);
    }
    // True with a row, false at the end.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail(db_, what_);
        return false;
    }
    // Steps to the end, then is ready to be bound and run again.
    void run() {
        while (step()) {
        }
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    std::string text(int i) const {
        const unsigned char* t = sqlite3_column_text(st_, i);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st_, i)))
                 : std::string();
    }
    std::int64_t integer(int i) const { return sqlite3_column_int64(st_, i); }
    double real(int i) const { return sqlite3_column_double(st_, i); }
    bool null(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }

private:
    sqlite3* db_;
    const char* what_;
    sqlite3_stmt* st_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock at once (waiting up to the busy
// timeout), so two writers never deadlock upgrading read locks. Rolled back
// unless committed.
class transaction {
public:
    explicit transaction(sqlite3* db) : db_(db) { exec(db, "BEGIN IMMEDIATE;", "cannot start a transaction"); }
    ~transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    void commit() {
        exec(db_, "COMMIT;", "cannot commit");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

}  // namespace sql
