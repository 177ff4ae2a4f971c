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

// One prepared statement, finalized when it goes. Parameters are bound by
// name (":hash") or by position; a bind that SQLite refuses (no such
// parameter, out of memory) throws at once rather than running the statement
// with a NULL in its place. Every error names the statement's text.
class statement {
public:
    statement(sqlite3* db, const std::string& text, const char* what) : db_(db), what_(what), text_(text) {
        if (sqlite3_prepare_v2(db, text.c_str(), static_cast<int>(text.size()), &st_, nullptr) != SQLITE_OK)
            fail(sqlite3_errmsg(db));
    }
    ~statement() { sqlite3_finalize(st_); }
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    statement& bind(int i, std::string_view text) {
        return checked(sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT), i);
    }
    statement& bind(int i, const char* text) { return bind(i, std::string_view(text)); }
    statement& bind(int i, const std::string& text) { return bind(i, std::string_view(text)); }
    statement& bind(int i, std::int64_t v) { return checked(sqlite3_bind_int64(st_, i, v), i); }
    statement& bind(int i, double v) { return checked(sqlite3_bind_double(st_, i, v), i); }
    // An empty text as NULL (a song hash not known).
    statement& bind_or_null(int i, std::string_view text) {
        if (text.empty()) return checked(sqlite3_bind_null(st_, i), i);
        return bind(i, text);
    }

    // The same by name; a name the statement does not have throws.
    template <typename T>
    statement& bind(const char* name, const T& v) {
        return bind(index_of(name), v);
    }
    statement& bind_or_null(const char* name, std::string_view text) { return bind_or_null(index_of(name), text); }

    // True with a row, false at the end.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail(sqlite3_errmsg(db_));
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
    int index_of(const char* name) {
        const int i = sqlite3_bind_parameter_index(st_, name);
        if (i == 0) fail(std::string("no parameter ") + name);
        return i;
    }
    statement& checked(int rc, int i) {
        if (rc != SQLITE_OK) fail("cannot bind parameter " + std::to_string(i) + ": " + sqlite3_errstr(rc));
        return *this;
    }
    // Long statements are cut: the start says which one it was.
    [[noreturn]] void fail(const std::string& why) const {
        constexpr std::size_t shown = 160;
        std::string sql = text_.size() > shown ? text_.substr(0, shown) + "..." : text_;
        throw error(database_name(db_) + ": " + what_ + ": " + why + " [in: " + sql + "]");
    }

    sqlite3* db_;
    const char* what_;
    std::string text_;
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
