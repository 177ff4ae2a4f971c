#include "stagecache/song_library.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <thread>
#include <vector>

#include "support/scratch_dir.hpp"

using namespace stagecache;

namespace {

song_row song(const std::string& hash, const std::string& path) {
    song_row r;
    r.hash = hash;
    r.path = path;
    r.duration = 183.5;
    r.rate = 48000;
    r.channels = 2;
    return r;
}

// One PRAGMA's value as text, read through a connection of its own.
std::string pragma(const std::string& db_path, const char* name) {
    sqlite3* db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

}  // namespace

TEST(SongLibrary, RoundTripsSongsOfBothEditionsAndTheirStarts) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    {
        song_library lib(path);
        lib.record_prepared(song("aa", "/m/one.flac"), "standard", 120, 1000);
        lib.record_prepared(song("bb", "/m/two.ogg"), "zetaflux", 77, 2000);
        // The same song prepared in the other edition, found at a new place.
        lib.record_prepared(song("aa", "/m/moved/one.flac"), "zetaflux", 130, 3000);
        lib.record_played("bb", "/m/two.ogg", 4000);
        lib.record_played("unknown", "/x", 5000);  // no row: nothing to update
    }
    song_library lib(path);  // read back through a new connection
    const std::vector<song_row> rows = lib.songs();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].hash, "bb");  // most recently played first
    EXPECT_EQ(rows[0].events_standard, -1);
    EXPECT_EQ(rows[0].events_zetaflux, 77);
    EXPECT_EQ(rows[0].last_played_at, 4000);
    const song_row& one = rows[1];
    EXPECT_EQ(one.path, "/m/moved/one.flac");
    EXPECT_EQ(one.events_standard, 120);
    EXPECT_EQ(one.events_zetaflux, 130);
    EXPECT_EQ(one.prepared_at, 3000);
    EXPECT_EQ(one.last_played_at, 0);
    EXPECT_DOUBLE_EQ(one.duration, 183.5);
    EXPECT_EQ(one.rate, 48000u);
    EXPECT_EQ(one.channels, 2u);
    EXPECT_FALSE(lib.find("cc").has_value());
    EXPECT_THROW(lib.record_prepared(song("cc", "/c"), "deluxe", 1, 1), library_error);
}

TEST(SongLibrary, KeepsItsSchemaVersionInWalModeAndRefusesANewerOne) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    { song_library lib(path); }
    EXPECT_EQ(pragma(path, "user_version"), std::to_string(song_library::schema_version));
    EXPECT_EQ(pragma(path, "journal_mode"), "wal");
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version = 99;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        song_library lib(path);
        FAIL() << "a newer schema was opened";
    } catch (const library_error& e) {
        EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(song_library::exists(dir / "none.sqlite3"));
    EXPECT_THROW(song_library(dir / "none.sqlite3", false), library_error);
    EXPECT_FALSE(song_library::exists(dir / "none.sqlite3"));
}

TEST(SongLibrary, ManyConnectionsWritingAtOnceAllSucceed) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    constexpr int writers = 4, songs_each = 25;
    std::vector<std::thread> threads;
    std::vector<std::string> failures(writers);
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            try {
                song_library lib(path);  // each its own connection, creating the schema at once
                for (int i = 0; i < songs_each; ++i) {
                    const std::string hash = std::to_string(w) + "-" + std::to_string(i);
                    lib.record_prepared(song(hash, "/s/" + hash), "standard", i, 1);
                    lib.record_played(hash, "/s/" + hash, 2);
                }
            } catch (const library_error& e) {
                failures[static_cast<std::size_t>(w)] = e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& f : failures) EXPECT_EQ(f, "");
    EXPECT_EQ(song_library(path).songs().size(), static_cast<std::size_t>(writers * songs_each));
}
