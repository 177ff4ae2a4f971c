// What the library screen's F3 and its playing open, whatever a song library
// row names: the best replay only inside the replays folder, and no replay a
// session gives up removed outside it; the stage a session is queued with;
// a failed scan's reason.
#include "libraryscreen/library_calls.hpp"
#include "libraryscreen/play_and_watch.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "library/places.hpp"
#include "library/submissions.hpp"
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

    // The song's best on `stage`, with ratio 1.00, run `number` of its session, names `replay`.
    void best_names(const std::string& replay, int number = 1, const std::string& stage = {}) {
        std::string problem;
        std::unique_ptr<library::song_library> lib = library::open_library(problem);
        ASSERT_TRUE(lib) << problem;
        lib->with_database([](sqlite3* db) { sql::statement(db, "DELETE FROM results;", "test").run(); });
        library::result_row run;
        run.song_hash = hash;
        run.edition = "standard";
        run.session = "old";
        run.run = number;
        run.hits = 1;
        run.score = 15;
        run.ratio = 1;
        run.frames = 60;
        run.stage = stage;
        lib->record_session({run});
        if (!stage.empty()) {  // the song's own stage, which its best is looked up on
            library::song_row facts;
            facts.hash = hash;
            facts.path = song;
            library::stage_row own;
            own.edition = "standard";
            own.stage_hash = stage;
            lib->record_prepared(facts, own);
        }
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
        EXPECT_EQ(calls.best_replay(song, {}, why), "") << replay;
        EXPECT_NE(why.find("not a file name in the replays folder"), std::string::npos) << replay << ": " << why;
    }
    // The third run of its session: a ghost of it races that run, not the first.
    best_names("kept.vrp", 3);
    std::string why;
    int run = 0;
    EXPECT_EQ(calls.best_replay(song, {}, why, &run), library::replays_dir() + "/kept.vrp");
    EXPECT_EQ(run, 3);
}

// A better run makes the session give up the old best's replay, which a row
// names outside the replays folder: it is reported and left where it is.
TEST_F(LibraryCalls, PlayingRemovesNoReplayOutsideTheReplaysFolder) {
    std::string problem;
    library_calls calls(problem);
    ASSERT_EQ(problem, "");
    const std::string outside = dir / "data/outside.vrp";
    { std::ofstream(outside) << "not ours"; }
    results::replay r;
    best_names("../../outside.vrp", 1, r.pattern.hex());  // on the stage the recording names

    std::string why;
    const std::string recording = calls.begin_session({hash, {}, ""}, why);
    ASSERT_NE(recording, "") << why;
    for (std::uint32_t i = 0; i < 300; ++i) results::append_update(r, 0);
    r.finished_runs = {{10, 100, 170, 2, 90}};
    ASSERT_EQ(results::write_replay_file(recording, r), "");
    const libraryscreen::kept_session kept = calls.end_session({hash, {}, ""});
    EXPECT_EQ(kept.runs, 1u);
    EXPECT_TRUE(kept.new_best);
    ASSERT_EQ(kept.problems.size(), 1u);
    EXPECT_NE(kept.problems[0].find("\"../../outside.vrp\" that is not a file name in the replays folder; it is left alone"),
              std::string::npos)
        << kept.problems[0];
    EXPECT_TRUE(exists(outside));
    EXPECT_NE(calls.best_replay(song, {}, why), "") << why;
}

// A session is queued for the server with the stage it was played on, as
// the request names it (another version's), not the song's own stage.
TEST_F(LibraryCalls, ASessionIsQueuedWithTheStageItsRequestNames) {
    std::string problem;
    library_calls calls(problem);
    ASSERT_EQ(problem, "");
    const std::string version = dir / "version.pat";
    { std::ofstream(version) << "another version's stage"; }
    calls.submit_to("http://127.0.0.1:1");
    std::string why;
    const libraryscreen::session_request session{hash, {}, version};
    const std::string recording = calls.begin_session(session, why);
    ASSERT_NE(recording, "") << why;
    results::replay r;
    for (std::uint32_t i = 0; i < 300; ++i) results::append_update(r, 0);
    r.finished_runs = {{10, 100, 170, 2, 90}};
    ASSERT_EQ(results::write_replay_file(recording, r), "");
    EXPECT_TRUE(calls.end_session(session).problems.empty());
    const std::vector<library::submission> queued = library::all_submissions(*calls.songs(), "http://127.0.0.1:1");
    ASSERT_EQ(queued.size(), 1u);
    std::ifstream copy(library::outbox_dir() + "/" + queued[0].stage_file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "another version's stage");

    // The run's link (L while watching it) only once that server verified it.
    const std::string& name = queued[0].session;
    EXPECT_EQ(calls.verified_on(name, "http://127.0.0.1:1"), 0) << "queued";
    library::mark_sent(*calls.songs(), queued[0], 42, library::submission_state::pending, "");
    EXPECT_EQ(calls.verified_on(name, "http://127.0.0.1:1"), 0) << "pending";
    library::mark_state(*calls.songs(), name, library::submission_state::verified, "");
    EXPECT_EQ(calls.verified_on(name, "http://127.0.0.1:1"), 42);
    EXPECT_EQ(calls.verified_on(name, "http://127.0.0.1:2"), 0) << "another server";
    EXPECT_EQ(calls.verified_on("another session", "http://127.0.0.1:1"), 0);
    // The stage the recording names is the song's board's, which it plays: the best is that stage's.
    EXPECT_EQ(calls.best_replay(song, {}, why), "") << "not the own stage's best";
    calls.songs()->record_board_stage(hash, {}, {r.pattern.hex(), version, 0, true, "", 1});
    std::string best_session;
    EXPECT_NE(calls.best_replay(song, {}, why, nullptr, &best_session), "") << why;
    EXPECT_EQ(best_session, name) << "the best's session names its submission";
    library::mark_state(*calls.songs(), name, library::submission_state::rejected, "changed");
    EXPECT_EQ(calls.verified_on(name, "http://127.0.0.1:1"), 0) << "rejected";
}

TEST(SessionLink, TheServersWebAddressOrNone) {
    const struct {
        const char* server;
        std::int64_t session;
        const char* link;
    } rows[] = {
        {"http://127.0.0.1:8029", 7, "http://127.0.0.1:8029/sessions/7"},
        {"https://scores.example/", 12, "https://scores.example/sessions/12"},
        {"http://[::1]:80", 3, "http://[::1]:80/sessions/3"},
        {"", 7, ""},
        {"http://h", 0, ""},
        {"ftp://h", 7, ""},
        {"http://h/base", 7, ""},
        {"http://h?x=1", 7, ""},
        {"http://h;rm -rf", 7, ""},
    };
    for (const auto& r : rows) EXPECT_EQ(libraryscreen::session_link(r.server, r.session), r.link) << r.server;
}

// Ctrl+G: none, the player's best, the board's first with a server, none;
// a run chosen on the board goes back to none.
TEST(GhostPick, CtrlGCyclesAndTheBoardsOnlyWithAServer) {
    using libraryscreen::ghost_pick;
    const struct {
        ghost_pick now;
        bool online;
        ghost_pick next;
    } rows[] = {
        {ghost_pick::none, false, ghost_pick::best},   {ghost_pick::best, false, ghost_pick::none},
        {ghost_pick::none, true, ghost_pick::best},    {ghost_pick::best, true, ghost_pick::top},
        {ghost_pick::top, true, ghost_pick::none},     {ghost_pick::chosen, true, ghost_pick::none},
    };
    for (const auto& r : rows)
        EXPECT_EQ(libraryscreen::next_ghost_pick(r.now, r.online), r.next)
            << static_cast<int>(r.now) << (r.online ? " online" : " offline");
    EXPECT_EQ(libraryscreen::board_ghost_name(libraryscreen::board_row{3, "Mira_K", 9, 9, 0.07, 14}), "Mira_K #3");
}

// The music folder a first start offers: the first of $XDG_MUSIC_DIR, the
// user's folders file and ~/Music that is a folder; when none is, the first
// named, as missing.
TEST(MusicFolder, TheFirstThatIsAFolderElseTheFirstNamedAsMissing) {
    test_support::scratch_dir dir;
    const std::string home = dir / "home";
    struct row {
        const char* what;
        const char* xdg;           // $XDG_MUSIC_DIR under home, or null
        const char* dirs_line;     // the user's folders file's line, or null
        std::vector<const char*> made;  // folders (or, ending in '!', a file) made under home
        std::string path;
        bool exists;
    };
    const row table[] = {
        {"nothing named but home's Music, not there", nullptr, nullptr, {}, home + "/Music", false},
        {"home's Music", nullptr, nullptr, {"Music"}, home + "/Music", true},
        {"the variable's, not there", "NoMusic", nullptr, {}, home + "/NoMusic", false},
        {"the variable's missing, home's Music there", "NoMusic", nullptr, {"Music"}, home + "/Music", true},
        {"the variable names a file", "tune!", nullptr, {"tune!"}, home + "/tune", false},
        {"the folders file's", nullptr, "XDG_MUSIC_DIR=\"$HOME/Songs\"", {"Songs", "Music"}, home + "/Songs", true},
        {"the folders file's missing", nullptr, "XDG_MUSIC_DIR=\"$HOME/Songs\"", {}, home + "/Songs", false},
    };
    const char* saved_home = std::getenv("HOME");
    const std::string kept_home = saved_home ? saved_home : "";
    for (const row& r : table) {
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home + "/.config");
        for (std::string m : r.made) {
            if (m.back() == '!') std::ofstream(home + "/" + m.substr(0, m.size() - 1)) << "x";
            else std::filesystem::create_directories(home + "/" + m);
        }
        if (r.dirs_line) std::ofstream(home + "/.config/user-dirs.dirs") << "# made by hand\n" << r.dirs_line << "\n";
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        if (r.xdg) {
            std::string xdg = home + "/" + r.xdg;
            if (xdg.back() == '!') xdg.pop_back();
            ::setenv("XDG_MUSIC_DIR", xdg.c_str(), 1);
        } else {
            ::unsetenv("XDG_MUSIC_DIR");
        }
        const libraryscreen::music_place found = libraryscreen::player_music_folder();
        EXPECT_EQ(found.path, r.path) << r.what;
        EXPECT_EQ(found.exists, r.exists) << r.what;
        EXPECT_EQ(libraryscreen::music_folder(), r.exists ? r.path : home) << r.what << ": where browsing starts";
    }
    ::unsetenv("XDG_MUSIC_DIR");
    if (saved_home) ::setenv("HOME", kept_home.c_str(), 1);
    else ::unsetenv("HOME");
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
