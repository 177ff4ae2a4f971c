#pragma once
// A song library database for the tests: the songs, stages and results
// tables as the song library has them, and the music tables added by their
// schema step.
#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include "musicindex/store.hpp"

namespace musicindex_test {

constexpr const char* library_tables =
    "CREATE TABLE songs (hash TEXT PRIMARY KEY NOT NULL, path TEXT NOT NULL, duration REAL NOT NULL,"
    "  rate INTEGER NOT NULL, channels INTEGER NOT NULL, prepared_at INTEGER, last_played_at INTEGER);"
    "CREATE TABLE stages (song_hash TEXT NOT NULL, edition TEXT NOT NULL, difficulty TEXT NOT NULL,"
    "  format_version INTEGER NOT NULL, events INTEGER NOT NULL, checksum TEXT NOT NULL, prepared_at INTEGER NOT NULL,"
    "  stage_hash TEXT);"
    "CREATE TABLE board_stages (song_hash TEXT NOT NULL, edition TEXT NOT NULL, difficulty TEXT NOT NULL,"
    "  stage_hash TEXT NOT NULL, stage_file TEXT NOT NULL, offset_ms REAL NOT NULL, clear INTEGER NOT NULL,"
    "  why TEXT NOT NULL, measured_at INTEGER NOT NULL, PRIMARY KEY (song_hash, edition, difficulty));"
    "CREATE TABLE results (id INTEGER PRIMARY KEY, song_hash TEXT NOT NULL, edition TEXT NOT NULL,"
    "  difficulty TEXT NOT NULL, session TEXT NOT NULL, run INTEGER NOT NULL, played_at INTEGER NOT NULL,"
    "  hits INTEGER NOT NULL, score INTEGER NOT NULL, ratio REAL NOT NULL, frames INTEGER NOT NULL,"
    "  offset_ms INTEGER NOT NULL, replay TEXT, stage_hash TEXT, UNIQUE (session, run));"
    "CREATE INDEX results_by_song ON results (song_hash, edition, difficulty, ratio DESC, hits);"
    "CREATE INDEX results_best_first ON results (song_hash, edition, difficulty, stage_hash, ratio DESC, hits,"
    "  played_at);";

class library_db {
public:
    explicit library_db(const std::string& path = ":memory:") {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
        exec("PRAGMA journal_mode=WAL;");
        exec("BEGIN;");
        exec(library_tables);
        musicindex::add_tables(db_);
        exec("COMMIT;");
    }
    ~library_db() { sqlite3_close(db_); }
    library_db(const library_db&) = delete;
    library_db& operator=(const library_db&) = delete;

    sqlite3* get() const { return db_; }
    operator sqlite3*() const { return db_; }

    void exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message ? message : "?";
            sqlite3_free(message);
            throw std::runtime_error(sql + ": " + why);
        }
    }
    // The first column of the first row as text; "" for none or NULL.
    std::string text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
            sqlite3_column_text(st, 0) != nullptr)
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return value;
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace musicindex_test
