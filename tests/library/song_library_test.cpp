#include "library/song_library.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "library/prepare.hpp"
#include "musicindex/songs.hpp"
#include "musicindex/store.hpp"
#include "results/replay_file.hpp"
#include "stagecache/stage_cache.hpp"
#include "support/scratch_dir.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

using namespace library;

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

std::string query_text(const std::string& db_path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0) != nullptr)
        value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

stage_row stage(const std::string& edition, std::int64_t events, std::int64_t when, const std::string& checksum = {}) {
    stage_row s;
    s.edition = edition;
    s.format_version = 1;
    s.events = events;
    s.prepared_at = when;
    s.checksum = checksum;
    return s;
}

// The stage of one edition (hard) in a listed song: its events, -1 when not
// prepared; its best run.
const song_stage* stage_of(const song_row& r, const std::string& edition) {
    for (const song_stage& s : r.stages)
        if (s.edition == edition && s.difficulty == "hard") return &s;
    return nullptr;
}
std::int64_t events_of(const song_row& r, const std::string& edition) {
    const song_stage* s = stage_of(r, edition);
    return s ? s->events : -1;
}

result_row result(const std::string& session, std::int64_t run, std::int32_t hits, std::int32_t score,
                  const std::string& edition = "standard", const std::string& hash = "aa") {
    result_row r;
    r.song_hash = hash;
    r.edition = edition;
    r.session = session;
    r.run = run;
    r.played_at = 1000 + run;
    r.hits = hits;
    r.score = score;
    r.ratio = hits != 0 ? static_cast<float>(score / (hits * 15.0)) : static_cast<float>(score);
    r.frames = 3600;
    r.offset_ms = -20;
    return r;
}

}  // namespace

TEST(SongLibrary, RoundTripsSongsOfBothEditionsAndTheirStarts) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    {
        song_library lib(path);
        lib.record_prepared(song("aa", "/m/one.flac"), stage("standard", 120, 1000));
        lib.record_prepared(song("bb", "/m/two.ogg"), stage("zetaflux", 77, 2000));
        // The same song prepared in the other edition, found at a new place.
        lib.record_prepared(song("aa", "/m/moved/one.flac"), stage("zetaflux", 130, 3000));
        lib.record_played("bb", "/m/two.ogg", 4000);
        lib.record_played("unknown", "/x", 5000);  // no row: nothing to update
    }
    song_library lib(path);  // read back through a new connection
    const std::vector<song_row> rows = lib.songs();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].hash, "bb");  // most recently played first
    EXPECT_EQ(events_of(rows[0], "standard"), -1);
    EXPECT_EQ(events_of(rows[0], "zetaflux"), 77);
    EXPECT_EQ(rows[0].last_played_at, 4000);
    const song_row& one = rows[1];
    EXPECT_EQ(one.path, "/m/moved/one.flac");
    EXPECT_EQ(events_of(one, "standard"), 120);
    EXPECT_EQ(events_of(one, "zetaflux"), 130);
    EXPECT_EQ(one.prepared_at, 3000);
    EXPECT_EQ(one.last_played_at, 0);
    EXPECT_DOUBLE_EQ(one.duration, 183.5);
    EXPECT_EQ(one.rate, 48000u);
    EXPECT_EQ(one.channels, 2u);
    EXPECT_FALSE(lib.find("cc").has_value());
    EXPECT_THROW(lib.record_prepared(song("cc", "/c"), stage("deluxe", 1, 1)), library_error);
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

// A bind SQLite refuses must not run the statement with a NULL in its
// place; every failure names the statement it came from.
TEST(SongLibrary, StatementsRefuseBindsTheyDoNotHaveAndNameThemselvesInErrors) {
    test_support::scratch_dir dir;
    song_library lib(dir / "library.sqlite3");
    const std::string text = "UPDATE songs SET path = :path WHERE hash = :hash";
    const struct {
        const char* what;
        std::function<void(sql::statement&)> bind;
        const char* expected;
    } rows[] = {
        {"a name it does not have", [](sql::statement& st) { st.bind(":hsh", "x"); }, "no parameter :hsh"},
        {"a position past its last", [](sql::statement& st) { st.bind(3, std::int64_t{1}); }, "cannot bind parameter 3"},
    };
    for (const auto& row : rows) {
        lib.with_database([&](sqlite3* db) {
            sql::statement st(db, text, "cannot test");
            try {
                row.bind(st);
                ADD_FAILURE() << row.what << ": nothing thrown";
            } catch (const sql::error& e) {
                const std::string message = e.what();
                EXPECT_NE(message.find(row.expected), std::string::npos) << row.what << ": " << message;
                EXPECT_NE(message.find("[in: " + text + "]"), std::string::npos) << row.what << ": " << message;
            }
        });
    }
    lib.with_database([&](sqlite3* db) {
        try {
            sql::statement(db, "SELECT x FROM nowhere", "cannot test");
            ADD_FAILURE() << "a statement on a missing table was prepared";
        } catch (const sql::error& e) {
            EXPECT_NE(std::string(e.what()).find("no such table: nowhere [in: SELECT x FROM nowhere]"),
                      std::string::npos)
                << e.what();
        }
    });
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
                    lib.record_prepared(song(hash, "/s/" + hash), stage("standard", i, 1));
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

// A library made before results were kept: its songs stay and results can
// be recorded at once.
TEST(SongLibrary, BringsAVersion1LibraryUpToDate) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE songs (hash TEXT PRIMARY KEY NOT NULL, path TEXT NOT NULL, duration REAL NOT NULL,"
                           " rate INTEGER NOT NULL, channels INTEGER NOT NULL, events_standard INTEGER,"
                           " events_zetaflux INTEGER, prepared_at INTEGER, last_played_at INTEGER);"
                           "INSERT INTO songs VALUES ('aa', '/m/one.flac', 61.0, 44100, 2, 99, NULL, 10, 20);"
                           "PRAGMA user_version = 1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    song_library lib(path);
    EXPECT_EQ(pragma(path, "user_version"), std::to_string(song_library::schema_version));
    const std::optional<song_row> one = lib.find("aa");
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->path, "/m/one.flac");
    EXPECT_EQ(events_of(*one, "standard"), 99);
    EXPECT_FALSE(stage_of(*one, "standard")->best.has_value());
    lib.record_session({result("s1", 1, 3, 100)});
    ASSERT_TRUE(lib.best_result("aa", "standard", "hard", "").has_value());
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->score, 100);
    EXPECT_EQ(query_text(path, "PRAGMA integrity_check;"), "ok");
}

// Best: the highest ratio, then the fewest hits, then the earliest; per song
// and edition. The kept replay moves to the new best and the old one is handed back.
TEST(SongLibrary, KeepsTheBestResultAndOneReplayPerSongAndEdition) {
    test_support::scratch_dir dir;
    song_library lib(dir / "library.sqlite3");
    EXPECT_FALSE(lib.best_result("aa", "standard", "hard", "").has_value());
    EXPECT_THROW(lib.best_result("aa", "deluxe", "hard", ""), library_error);

    // Ratios 2.22, 6.66 and 6.66: the tie goes to fewer hits.
    EXPECT_EQ(lib.record_session({result("s1", 1, 3, 100), result("s1", 2, 3, 300), result("s1", 3, 6, 600)}, "r1.vrp", 1),
              std::vector<std::string>{});
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->run, 2);
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->replay, "r1.vrp");
    // Another edition and another song do not compete.
    lib.record_session({result("s2", 1, 0, 5000, "zetaflux")}, "r2.vrp", 0);
    lib.record_session({result("s3", 1, 0, 9000, "standard", "bb")}, "r3.vrp", 0);
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->session, "s1");
    EXPECT_EQ(lib.best_result("aa", "zetaflux", "hard", "")->score, 5000);

    // An equal result later stays behind the earlier one.
    lib.record_session({result("s4", 5, 3, 300)});
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->session, "s1");
    // No hits beats any ratio with hits: the score itself is shown.
    EXPECT_EQ(lib.record_session({result("s5", 1, 0, 10), result("s5", 2, 1, 10)}, "r5.vrp", 0),
              std::vector<std::string>{"r1.vrp"});
    const result_row best = *lib.best_result("aa", "standard", "hard", "");
    EXPECT_EQ(best.session, "s5");
    EXPECT_EQ(best.replay, "r5.vrp");
    EXPECT_EQ(best.frames, 3600);
    EXPECT_EQ(best.offset_ms, -20);
    EXPECT_EQ(lib.replay_files(), (std::vector<std::string>{"r2.vrp", "r3.vrp", "r5.vrp"}));

    // The same session recorded again (after a crash before its recording
    // was removed) takes the last figures and adds no rows.
    lib.record_session({result("s5", 1, 0, 12), result("s5", 2, 1, 10)});
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->score, 12);
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->replay, "r5.vrp");
    EXPECT_EQ(query_text(lib.path(), "SELECT COUNT(*) FROM results;"), "8");
    lib.record_prepared(song("aa", "/m/a.ogg"), stage("standard", 5, 1));
    const song_row listed = lib.songs().front();
    ASSERT_TRUE(stage_of(listed, "standard")->best.has_value());
    EXPECT_EQ(stage_of(listed, "standard")->best->score, 12);
    EXPECT_EQ(stage_of(listed, "zetaflux")->best->score, 5000);

    // Two sessions ended at once, each caller having found its run better
    // than the best it read: the best is decided inside the write, so the
    // worse one gets its replay back and the better keeps its own.
    EXPECT_EQ(lib.record_session({result("s6", 1, 0, 40)}, "r6.vrp", 0), std::vector<std::string>{"r5.vrp"});
    EXPECT_EQ(lib.record_session({result("s7", 1, 0, 30)}, "r7.vrp", 0), std::vector<std::string>{"r7.vrp"});
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->replay, "r6.vrp");
    EXPECT_EQ(query_text(lib.path(), "SELECT replay IS NULL FROM results WHERE session = 's7';"), "1");
    // Another difficulty does not compete either.
    result_row easy = result("s8", 1, 0, 1);
    easy.difficulty = "easy";
    EXPECT_EQ(lib.record_session({easy}, "r8.vrp", 0), std::vector<std::string>{});
    EXPECT_EQ(lib.best_result("aa", "standard", "easy", "")->replay, "r8.vrp");
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "")->replay, "r6.vrp");
    EXPECT_THROW(lib.best_result("aa", "standard", "brutal", ""), library_error);
}

// A best is one stage's: a run on another version's stage (under the same
// song hash) never becomes the own stage's best, nor takes its replay, and
// the other way round; the lists show the best of the stage the song plays.
TEST(SongLibrary, BestsNeverMixRunsOfTwoStages) {
    test_support::scratch_dir dir;
    song_library lib(dir / "library.sqlite3");
    stage_row own = stage("standard", 5, 1, "c1");
    own.stage_hash = "own";
    lib.record_prepared(song("aa", "/m/a.ogg"), own);
    ASSERT_EQ(lib.playing_stage("aa", stage_choice{}), "own");
    const auto on = [](result_row r, const char* stage) {
        r.stage = stage;
        return r;
    };
    const struct {
        result_row run;
        const char* replay;
        std::vector<std::string> dropped;
        const char* own_best;    // the session of each stage's best afterwards ("" for none)
        const char* board_best;
    } rows[] = {
        {on(result("o1", 1, 3, 100), "own"), "o1.vrp", {}, "o1", ""},
        {on(result("b1", 1, 0, 900), "board"), "b1.vrp", {}, "o1", "b1"},        // better, but another stage
        {on(result("o2", 1, 3, 50), "own"), "o2.vrp", {"o2.vrp"}, "o1", "b1"},    // beats nothing of its stage
        {on(result("b2", 1, 3, 300), "board"), "b2.vrp", {"b2.vrp"}, "o1", "b1"},  // better than the own best only
        {on(result("o3", 1, 1, 200), "own"), "o3.vrp", {"o1.vrp"}, "o3", "b1"},   // only its own stage's replay goes
    };
    for (const auto& r : rows) {
        EXPECT_EQ(lib.record_session({r.run}, r.replay, 0), r.dropped) << r.run.session;
        const auto own_best = lib.best_result("aa", "standard", "hard", "own");
        const auto board_best = lib.best_result("aa", "standard", "hard", "board");
        EXPECT_EQ(own_best ? own_best->session : "", r.own_best) << r.run.session;
        EXPECT_EQ(board_best ? board_best->session : "", r.board_best) << r.run.session;
    }
    EXPECT_EQ(lib.best_result("aa", "standard", "hard", "board")->stage, "board");
    std::vector<std::string> kept;
    for (const result_row& b : lib.kept_bests()) kept.push_back(b.replay + "@" + b.stage);
    EXPECT_EQ(kept, (std::vector<std::string>{"b1.vrp@board", "o3.vrp@own"}));
    const std::vector<song_row> songs = lib.songs();
    const song_stage* listed = stage_of(songs.front(), "standard");
    ASSERT_TRUE(listed && listed->best);
    EXPECT_EQ(listed->best->session, "o3");
    EXPECT_EQ(listed->playing, "own");

    // The board's stage is the one the song plays once its row is clear: the lists show its best.
    const struct {
        bool clear;
        const char* playing;
        const char* listed;
    } boards[] = {{false, "own", "o3"}, {true, "board", "b1"}, {false, "own", "o3"}};
    for (const auto& b : boards) {
        lib.record_board_stage("aa", stage_choice{}, {"board", "/cache/board.pat", 0, b.clear, "", 1});
        EXPECT_EQ(lib.playing_stage("aa", stage_choice{}), b.playing);
        const std::vector<song_row> now = lib.songs();
        EXPECT_EQ(stage_of(now.front(), "standard")->best->session, b.listed) << b.clear;
    }

    // The stage's hash stays while its bytes do, and is not known once they change.
    lib.record_prepared(song("aa", "/m/a.ogg"), stage("standard", 5, 2, "c1"));
    EXPECT_EQ(lib.playing_stage("aa", stage_choice{}), "own");
    lib.record_prepared(song("aa", "/m/a.ogg"), stage("standard", 6, 3, "c2"));
    EXPECT_EQ(lib.playing_stage("aa", stage_choice{}), "");
    EXPECT_FALSE(stage_of(lib.songs().front(), "standard")->best) << "runs of the old bytes are another stage's";
}

// A writer killed at a random moment, over and over, mostly inside its
// transactions: the database stays whole and every committed session is there.
TEST(SongLibrary, AWriterKilledMidTransactionLosesNoCommittedResult) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    { song_library lib(path); }
    std::mt19937 random(20261208);
    int committed = 0;  // sessions reported committed by every writer so far
    for (int round = 0; round < 12; ++round) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(report[0]);
            try {
                song_library lib(path);
                for (int i = 0;; ++i) {
                    const std::string session = std::to_string(round) + "-" + std::to_string(i);
                    lib.record_session({result(session, 1, 3, 100), result(session, 2, 1, 50), result(session, 3, 0, 7)},
                                       "r" + session, 2);
                    const char done = 1;
                    if (::write(report[1], &done, 1) != 1) ::_exit(3);
                }
            } catch (...) {
                ::_exit(2);
            }
        }
        ::close(report[1]);
        ::usleep(20000 + static_cast<useconds_t>(random() % 80000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself with status " << WEXITSTATUS(status);
        char done[4096];
        int in_round = 0;
        for (ssize_t n; (n = ::read(report[0], done, sizeof done)) > 0;) in_round += static_cast<int>(n);
        ::close(report[0]);
        committed += in_round;

        ASSERT_EQ(query_text(path, "PRAGMA integrity_check;"), "ok") << "round " << round;
        // At most the session in flight is there besides the reported ones.
        const int rows = std::stoi(query_text(path, "SELECT COUNT(*) FROM results;"));
        EXPECT_GE(rows, 3 * committed) << "round " << round;
        EXPECT_LE(rows, 3 * (committed + 1)) << "round " << round;
        EXPECT_EQ(query_text(path, "SELECT COUNT(*) FROM results WHERE replay IS NOT NULL;"), rows ? "1" : "0");
        committed = rows / 3;
        EXPECT_EQ(rows % 3, 0) << "a session was recorded in part";
    }
    EXPECT_GT(committed, 12) << "the writers hardly wrote; the kills proved little";
}

// The schema 2 library the schema 2 velmora_play made (tests/data/library_v2,
// with the script that made it): brought up to date, it keeps every song,
// stage, result, best and replay, and the music tables' lists read its bests.
TEST(SongLibrary, BringsTheKeptSchema2LibraryUpToDateKeepingEverything) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    std::filesystem::copy_file(VELMORA_SOURCE_DIR "/tests/data/library_v2/library.sqlite3", path);
    ASSERT_EQ(pragma(path, "user_version"), "2");
    song_library lib(path);
    EXPECT_EQ(pragma(path, "user_version"), std::to_string(song_library::schema_version));
    EXPECT_EQ(query_text(path, "PRAGMA integrity_check;"), "ok");
    EXPECT_EQ(query_text(path, "SELECT COUNT(*) || ' ' || COUNT(DISTINCT difficulty) || difficulty FROM results;"), "4 1hard");
    // Neither its replays nor its stages' files are where it was found: no
    // run could be told apart from the own stage.
    EXPECT_EQ(query_text(path, "SELECT COUNT(*) FROM results WHERE stage_hash IS NULL;"), "4");

    const std::string longer = "1f853e10205343137ae7b04b401f57b0", shorter = "b2b2bbeaa10b46c33f0102f00d206a83";
    const std::vector<song_row> rows = lib.songs();
    ASSERT_EQ(rows.size(), 2u);
    const song_row& a = rows[0].hash == longer ? rows[0] : rows[1];
    const song_row& b = rows[0].hash == longer ? rows[1] : rows[0];
    ASSERT_EQ(a.hash, longer);
    ASSERT_EQ(b.hash, shorter);
    EXPECT_EQ(events_of(a, "standard"), 2011);
    EXPECT_EQ(events_of(a, "zetaflux"), 2011);
    EXPECT_EQ(events_of(b, "standard"), 1534);
    ASSERT_TRUE(stage_of(a, "standard")->best.has_value());
    EXPECT_EQ(stage_of(a, "standard")->best->hits, 340);
    EXPECT_EQ(stage_of(a, "standard")->best->score, 24287);
    EXPECT_EQ(stage_of(a, "standard")->best->replay, longer + "-standard-1796787717-22760.vrp");
    EXPECT_FALSE(stage_of(a, "zetaflux")->best.has_value());
    EXPECT_EQ(stage_of(b, "standard")->best->replay, shorter + "-standard-1796787556-18501.vrp");
    EXPECT_EQ(stage_of(b, "zetaflux")->best->replay, shorter + "-zetaflux-1796787663-20192.vrp");
    EXPECT_EQ(lib.replay_files().size(), 3u);
    // No checksum yet: each is taken when the stage is next found whole.
    EXPECT_EQ(lib.find_stage(longer, "standard", "hard")->checksum, "");

    // The music tables, from schema 4, list the songs once a scan finds them.
    lib.with_database([&](sqlite3* db) {
        std::vector<musicfiles::file_update> found(2);
        found[0].path = "/m/longer.wav";
        found[0].song_hash = longer;
        found[0].tags.title = "longer";
        found[1].path = "/m/short.wav";
        found[1].song_hash = shorter;
        found[1].tags.title = "short";
        musicindex::write_updates(db, found, 5000);
        musicindex::song_query by_best;
        by_best.sort = musicindex::sort_order::best;
        const std::vector<musicindex::song_entry> listed = musicindex::list_songs(db, by_best);
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_EQ(listed[0].title, "longer");
        ASSERT_TRUE(listed[0].best.has_value());
        EXPECT_EQ(listed[0].best->hits, 340);
        const std::vector<musicindex::song_entry> searched = musicindex::search_songs(db, "sho", by_best);
        ASSERT_EQ(searched.size(), 1u);
        EXPECT_EQ(searched[0].path, "/m/short.wav");
    });
}

// A schema 6 library (made here, then its stage columns taken away): each
// run gets the stage its kept replay names, else the own stage as the stage
// cache holds the library's file of it; without that file, the stage its
// best's kept replay names; without either the runs count as the own stage
// until its hash is learnt from unchanged bytes.
TEST(SongLibrary, BringsASchema6LibraryUpToDateWithTheStageOfEachRun) {
    test_support::scratch_dir dir;
    ASSERT_EQ(::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1), 0);
    const std::string path = dir / "library.sqlite3";
    const stagecache::song_hash cached{1, 1}, uncached{2, 2}, replayed{3, 3};
    const stagecache::stage_key key = stage_key_of(converter::edition::standard, converter::difficulty::hard);
    const std::string own_bytes = "the own stage", board_bytes = "another version's stage";
    const std::string own = vaz::hash_bytes(own_bytes.data(), own_bytes.size()).hex();
    const std::string board = vaz::hash_bytes(board_bytes.data(), board_bytes.size()).hex();
    const std::string entry = stagecache::stage_cache(userfiles::cache_dir()).entry_path(cached, key);
    std::filesystem::create_directories(std::filesystem::path(entry).parent_path());
    { std::ofstream(entry, std::ios::binary) << own_bytes; }
    std::filesystem::create_directories(dir / "replays");
    results::replay on_board;
    on_board.pattern = vaz::hash_bytes(board_bytes.data(), board_bytes.size());
    for (int i = 0; i < 100; ++i) results::append_update(on_board, 0);
    on_board.finished_runs = {{10, 50, 60, 0, 900}};
    ASSERT_EQ(results::write_replay_file(dir / "replays/board.vrp", on_board), "");
    ASSERT_EQ(results::write_replay_file(dir / "replays/kept.vrp", on_board), "");
    {
        song_library lib(path);
        for (const stagecache::song_hash& h : {cached, uncached, replayed}) {
            stage_row s = stage("standard", 5, 1, stagecache::checksum_text(own_bytes.data(), own_bytes.size()));
            s.format_version = key.format_version;
            lib.record_prepared(song(h.hex(), "/m/" + h.hex()), s);
            lib.record_session({result("own-" + h.hex(), 1, 3, 100, "standard", h.hex())});
        }
        lib.record_session({result("board", 1, 0, 900, "standard", cached.hex())}, "board.vrp", 0);
        lib.record_session({result("kept", 1, 0, 900, "standard", replayed.hex())}, "kept.vrp", 0);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP INDEX results_best_first;"
                           "ALTER TABLE results DROP COLUMN stage_hash; ALTER TABLE stages DROP COLUMN stage_hash;"
                           "CREATE INDEX results_best_first ON results (song_hash, edition, difficulty, ratio DESC,"
                           "  hits, played_at);"
                           "PRAGMA user_version = 6;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);

    song_library lib(path);
    ::unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(pragma(path, "user_version"), std::to_string(song_library::schema_version));
    EXPECT_EQ(lib.playing_stage(cached.hex(), stage_choice{}), own);
    EXPECT_EQ(lib.playing_stage(uncached.hex(), stage_choice{}), "");
    EXPECT_EQ(lib.playing_stage(replayed.hex(), stage_choice{}), board) << "its best's replay names it";
    const auto best_session = [&](const stagecache::song_hash& h, const std::string& stage) {
        const std::optional<result_row> b = lib.best_result(h.hex(), "standard", "hard", stage);
        return b ? b->session : std::string("none");
    };
    EXPECT_EQ(best_session(cached, own), "own-" + cached.hex());
    EXPECT_EQ(best_session(cached, board), "board");
    EXPECT_EQ(best_session(uncached, ""), "own-" + uncached.hex()) << "unknown, taken as the own stage";
    EXPECT_EQ(best_session(replayed, board), "kept");
    EXPECT_EQ(query_text(path, "SELECT COUNT(*) FROM results WHERE stage_hash = '" + board + "';"), "3");
    EXPECT_EQ(stage_of(*lib.find(cached.hex()), "standard")->best->score, 100) << "the board's run is not the own best";
    // Its hash learnt from bytes the library knew: the runs are that stage's.
    stage_row learnt = *lib.find_stage(uncached.hex(), "standard", "hard");
    learnt.stage_hash = own;
    lib.record_prepared(song(uncached.hex(), "/m/u"), learnt);
    EXPECT_EQ(best_session(uncached, own), "own-" + uncached.hex());
    EXPECT_EQ(best_session(uncached, ""), "none");
    EXPECT_EQ(query_text(path, "PRAGMA integrity_check;"), "ok");
}

// A song's board stage, one row per edition and difficulty: a new
// measurement replaces the one before, fractions of a millisecond and the
// reason a stage is not clear come back as kept, and a library reopened
// still has them.
TEST(SongLibrary, KeepsEachSongsBoardStagePerEditionAndDifficulty) {
    test_support::scratch_dir dir;
    const std::string path = dir / "library.sqlite3";
    const stage_choice hard{}, easy{converter::edition::standard, converter::difficulty::easy};
    const board_stage_row rows[] = {
        {"1111", "/cache/1111.pat", 499.75, true, "", 100},
        {"2222", "/cache/2222.pat", -12.5, false, "another mix of the song", 200},
        {"3333", "/cache/3333.pat", 0, true, "", 300},
    };
    {
        song_library lib(path);
        EXPECT_FALSE(lib.board_stage("aa", hard));
        lib.record_board_stage("aa", hard, rows[0]);
        lib.record_board_stage("aa", easy, rows[1]);
        lib.record_board_stage("bb", hard, rows[1]);
        lib.record_board_stage("bb", hard, rows[2]);  // measured again
    }
    song_library lib(path);
    const struct {
        const char* hash;
        stage_choice choice;
        const board_stage_row* want;
    } cases[] = {{"aa", hard, &rows[0]}, {"aa", easy, &rows[1]}, {"bb", hard, &rows[2]}, {"bb", easy, nullptr}};
    for (const auto& c : cases) {
        const std::optional<board_stage_row> got = lib.board_stage(c.hash, c.choice);
        ASSERT_EQ(got.has_value(), c.want != nullptr) << c.hash << " " << c.choice.difficulty_name();
        if (!got) continue;
        EXPECT_EQ(got->stage_hash, c.want->stage_hash);
        EXPECT_EQ(got->stage_file, c.want->stage_file);
        EXPECT_EQ(got->offset_ms, c.want->offset_ms);
        EXPECT_EQ(got->clear, c.want->clear);
        EXPECT_EQ(got->why, c.want->why);
        EXPECT_EQ(got->measured_at, c.want->measured_at);
    }
}
