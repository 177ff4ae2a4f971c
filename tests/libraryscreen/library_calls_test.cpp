// What the library screen's F3 and its playing open, whatever a song library
// row names: the best replay only inside the replays folder, and no replay a
// session gives up removed outside it; a failed scan's reason.
#include "libraryscreen/library_calls.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "library/places.hpp"
#include "libraryscreen/background_scan.hpp"
#include "results/replay_file.hpp"
#include "sqlite/sql.hpp"
#include "stagecache/song_hash.hpp"
#include "support/scratch_dir.hpp"

using libraryscreen::library_calls;

namespace {

class LibraryCalls : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
        { std::ofstream(song) << "any bytes: only hashed"; }
        std::string why;
        stagecache::song_hash h;
        ASSERT_TRUE(stagecache::hash_file(song, h, why)) << why;
        hash = h.hex();
    }
    void TearDown() override {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CACHE_HOME");
    }

    // The song's best, with ratio 1.00, names `replay`.
    void best_names(const std::string& replay) {
        std::string problem;
        std::unique_ptr<library::song_library> lib = library::open_library(problem);
        ASSERT_TRUE(lib) << problem;
        lib->with_database([](sqlite3* db) { sql::statement(db, "DELETE FROM results;", "test").run(); });
        library::result_row run;
        run.song_hash = hash;
        run.edition = "standard";
        run.session = "old";
        run.run = 1;
        run.hits = 1;
        run.score = 15;
        run.ratio = 1;
        run.frames = 60;
        lib->record_session({run});
        lib->with_database([&](sqlite3* db) {
            sql::statement(db, "UPDATE results SET replay = ?1;", "test").bind(1, replay).run();
        });
    }

    test_support::scratch_dir dir;
    std::string song = dir / "song.ogg";
    std::string hash;
};

bool exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }

}  // namespace

TEST_F(LibraryCalls, F3OpensNoReplayOutsideTheReplaysFolder) {
    std::string problem;
    library_calls calls(problem);
    ASSERT_EQ(problem, "");
    for (const char* replay : {"../../../../../../../etc/passwd", "/etc/passwd", "sub/../../outside.vrp", ".."}) {
        best_names(replay);
        std::string why;
        EXPECT_EQ(calls.best_replay(song, "standard", "hard", why), "") << replay;
        EXPECT_NE(why.find("not a file name in the replays folder"), std::string::npos) << replay << ": " << why;
    }
    best_names("kept.vrp");
    std::string why;
    EXPECT_EQ(calls.best_replay(song, "standard", "hard", why), library::replays_dir() + "/kept.vrp");
}

// A better run makes the session give up the old best's replay, which a row
// names outside the replays folder: it is reported and left where it is.
TEST_F(LibraryCalls, PlayingRemovesNoReplayOutsideTheReplaysFolder) {
    std::string problem;
    library_calls calls(problem);
    ASSERT_EQ(problem, "");
    const std::string outside = dir / "data/outside.vrp";
    { std::ofstream(outside) << "not ours"; }
    best_names("../../outside.vrp");

    std::string why;
    const std::string recording = calls.begin_session(hash, "standard", "hard", why);
    ASSERT_NE(recording, "") << why;
    results::replay r;
    for (std::uint32_t i = 0; i < 300; ++i) results::append_update(r, 0);
    r.finished_runs = {{10, 100, 170, 2, 90}};
    ASSERT_EQ(results::write_replay_file(recording, r), "");
    const libraryscreen::kept_session kept = calls.end_session(hash, "standard", "hard");
    EXPECT_EQ(kept.runs, 1u);
    EXPECT_TRUE(kept.new_best);
    ASSERT_EQ(kept.problems.size(), 1u);
    EXPECT_NE(kept.problems[0].find("\"../../outside.vrp\" that is not a file name in the replays folder; it is left alone"),
              std::string::npos)
        << kept.problems[0];
    EXPECT_TRUE(exists(outside));
    EXPECT_NE(calls.best_replay(song, "standard", "hard", why), "") << why;
}

// A scan that fails says why once, for the screen to show and end with
// status 1: here the song library cannot be made at all.
TEST(BackgroundScan, AFailedScanGivesItsReasonOnce) {
    test_support::scratch_dir dir;
    { std::ofstream(dir / "file") << "x"; }
    ::setenv("XDG_DATA_HOME", (dir / "file").c_str(), 1);
    std::string problem;
    library_calls calls(problem);
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_NE(problem, "");
    libraryscreen::scanner scans(calls);
    scans.start({});
    for (int i = 0; i < 500 && scans.busy(); ++i) ::usleep(10000);
    ASSERT_FALSE(scans.busy());
    EXPECT_EQ(scans.take_error(), "the song library is not open");
    EXPECT_EQ(scans.take_error(), "");
}
