// The one play session velmora_play and the library screen both run: the
// best replay's file only ever inside the replays folder, and the runs of a
// program killed at any moment kept at the next start.
#include "library/play_session.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <string>
#include <vector>

#include "library/envelopes.hpp"
#include "library/places.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "userfiles/user_dirs.hpp"
#include "results/replay_file.hpp"
#include "stagecache/stage_cache.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"
#include "tools/song/song.hpp"
#include "vaz/files.hpp"

using namespace library;

namespace {

// The user's data and cache folders in a scratch folder, for one test.
class data_home {
public:
    data_home() {
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
    }
    ~data_home() {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CACHE_HOME");
    }
    std::string replays() const { return dir / "data/velmora/replays"; }
    test_support::scratch_dir dir;
};

// A recording names its stage by the hash of the stage's bytes.
vaz::hash_128 hash_of(const std::string& stage) { return vaz::hash_bytes(stage.data(), stage.size()); }

void write_session(const std::string& path, std::vector<results::run_summary> runs,
                   const std::string& stage = "stage") {
    results::replay r;
    r.seed = 7;
    r.pattern = hash_of(stage);
    for (std::uint32_t i = 0; i < 400; ++i) results::append_update(r, i % 5 == 0 ? 4u : 0u);
    r.finished_runs = std::move(runs);
    ASSERT_EQ(results::write_replay_file(path, r), "");
}

pid_t gone_pid() {
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    return gone;
}

bool exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }

}  // namespace

// Whatever a results row names, the file to open is a plain name in the
// replays folder, or none at all.
TEST(PlaySession, TheBestReplayIsAFileInTheReplaysFolderOrNone) {
    data_home home;
    std::string problem;
    std::unique_ptr<song_library> lib = open_library(problem);
    ASSERT_TRUE(lib) << problem;
    const std::string hash(32, 'b');
    struct row {
        const char* replay;  // nullptr: no result at all
        bool opened;
        const char* why;
    } rows[] = {
        {nullptr, false, "no finished run"},
        {"", false, "has no replay kept"},
        {"../../../../../../../etc/passwd", false, "not a file name in the replays folder; it is not opened"},
        {"sub/best.vrp", false, "not a file name in the replays folder"},
        {"..", false, "not a file name in the replays folder"},
        {"best.vrp", true, ""},
    };
    for (const row& r : rows) {
        lib->with_database([](sqlite3* db) { sql::statement(db, "DELETE FROM results;", "test").run(); });
        if (r.replay) {
            result_row run;
            run.song_hash = hash;
            run.edition = "standard";
            run.session = "s";
            run.run = 1;
            run.hits = 1;
            run.score = 15;
            run.ratio = 1;
            run.frames = 60;
            lib->record_session({run});
            lib->with_database([&](sqlite3* db) {
                sql::statement set(db, "UPDATE results SET replay = NULLIF(?1, '');", "test");
                set.bind(1, std::string(r.replay)).run();
            });
        }
        const best_replay b = find_best_replay(*lib, hash, library::stage_choice{});
        const std::string name = r.replay ? r.replay : "(none)";
        EXPECT_EQ(b.best.has_value(), r.replay != nullptr) << name;
        EXPECT_EQ(b.file, r.opened ? home.replays() + "/best.vrp" : "") << name;
        EXPECT_NE(b.why_not.find(r.why), std::string::npos) << name << ": " << b.why_not;
    }
}

// A program killed while its game ran (or while it wrote its first
// recording) leaves a recording or only a temporary: the next start keeps
// the finished runs and clears the temporaries; a live program's stay.
TEST(PlaySession, AKilledProgramsRunsAreKeptAtTheNextStartAndItsTemporariesGo) {
    data_home home;
    std::string problem;
    std::unique_ptr<song_library> lib = open_library(problem);
    ASSERT_TRUE(lib) << problem;
    const std::string hash(32, 'c');
    const session_start killed = begin_session(hash, {converter::edition::standard, converter::difficulty::normal}, 100, gone_pid());
    ASSERT_EQ(killed.why_not, "");
    EXPECT_EQ(killed.recording, home.replays() + "/" + killed.name + ".session");
    write_session(killed.recording, {{10, 100, 170, 2, 30}});
    const std::string half = killed.recording + ".tmp-Ab12Cd";
    { std::ofstream(half) << "half"; }
    const std::string only_temporary =
        home.replays() + "/" + session_name(hash, library::stage_choice{}, 100, gone_pid()) + ".session.tmp-Zz99Yy";
    { std::ofstream(only_temporary) << "half"; }
    const session_start live = begin_session(hash, library::stage_choice{}, 100, ::getpid());
    write_session(live.recording, {{10, 100, 170, 1, 30}});
    const std::string live_temporary = live.recording + ".tmp-Qq11Rr";
    { std::ofstream(live_temporary) << "half"; }

    std::vector<std::string> problems;
    EXPECT_EQ(recover_sessions(lib.get(), {}, 200, problems), 1u);
    EXPECT_EQ(problems, std::vector<std::string>{});
    const std::string played = hash_of("stage").hex();
    ASSERT_TRUE(lib->best_result(hash, "standard", "normal", played));
    EXPECT_EQ(lib->best_result(hash, "standard", "normal", played)->replay, killed.name + ".vrp");
    EXPECT_FALSE(exists(killed.recording));
    EXPECT_FALSE(exists(half));
    EXPECT_FALSE(exists(only_temporary));
    EXPECT_TRUE(exists(live.recording));
    EXPECT_TRUE(exists(live_temporary));

    // The live program's own end keeps its session.
    const session_end ended = end_session(lib.get(), live, hash, library::stage_choice{}, 300);
    EXPECT_EQ(ended.problems, std::vector<std::string>{});
    EXPECT_EQ(ended.kept.runs.size(), 1u);
    EXPECT_TRUE(ended.kept.new_best);
    EXPECT_FALSE(exists(live.recording));
    EXPECT_FALSE(exists(live_temporary));
}

// With a server set, a session ended and one a killed program left are both
// queued for it, each with its stage: the killed one's found in the cache.
TEST(PlaySession, SessionsEndedOrRecoveredAreQueuedForTheServer) {
    data_home home;
    std::string problem;
    std::unique_ptr<song_library> lib = open_library(problem);
    ASSERT_TRUE(lib) << problem;
    const std::string hash(32, 'e');
    stagecache::song_hash h;
    h.high = h.low = 0xeeeeeeeeeeeeeeeeull;
    const std::string stage = stagecache::stage_cache(userfiles::cache_dir())
                                  .entry_path(h, stage_key_of(converter::edition::standard, converter::difficulty::hard));
    std::filesystem::create_directories(std::filesystem::path(stage).parent_path());
    { std::ofstream(stage) << "stage"; }
    const session_start killed = begin_session(hash, library::stage_choice{}, 100, gone_pid());
    write_session(killed.recording, {{10, 100, 170, 2, 30}});
    const session_start mine = begin_session(hash, library::stage_choice{}, 150, ::getpid());
    write_session(mine.recording, {{10, 100, 170, 1, 30}});
    const submit_to submit{"http://h", stage};
    const session_end ended = end_session(lib.get(), mine, hash, library::stage_choice{}, 300, &submit);
    EXPECT_EQ(ended.problems, std::vector<std::string>{});
    EXPECT_EQ(ended.recovered, 1u);
    std::vector<std::string> queued;
    for (const submission& q : all_submissions(*lib, "http://h")) {
        queued.push_back(q.session);
        EXPECT_TRUE(exists(outbox_dir() + "/" + q.stage_file)) << q.session;
        EXPECT_TRUE(exists(outbox_dir() + "/" + q.replay_file)) << q.session;
    }
    std::sort(queued.begin(), queued.end());
    EXPECT_EQ(queued, (std::vector<std::string>{killed.name, mine.name}));
    // Runs are kept as before, the server or not.
    EXPECT_EQ(lib->best_result(hash, "standard", "hard", hash_of("stage").hex())->run, 1);
}

// A session on another version's stage keeps its best apart from the own
// stage's, and each stage's best is queued for the server with that stage:
// the own one from the stage cache, another version's from the downloads,
// the board's where its row keeps it; a best whose stage is kept nowhere is
// said and skipped.
TEST(PlaySession, EachStagesBestIsKeptApartAndQueuedOnItsOwnStage) {
    data_home home;
    std::string problem;
    std::unique_ptr<song_library> lib = open_library(problem);
    ASSERT_TRUE(lib) << problem;
    stagecache::song_hash h;
    h.high = h.low = 0xababababababababull;
    const std::string hash = h.hex();
    const stagecache::stage_key key = stage_key_of(converter::edition::standard, converter::difficulty::hard);
    const std::string own_stage = stagecache::stage_cache(userfiles::cache_dir()).entry_path(h, key);
    const std::string version_stage = downloads_dir() + "/" + hash_of("version stage").hex() + ".pat";
    for (const auto& [file, bytes] : {std::pair{own_stage, "own stage"}, std::pair{version_stage, "version stage"}}) {
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file) << bytes;
    }
    song_row facts;
    facts.hash = hash;
    facts.path = "/m/song.flac";
    stage_row prepared;
    prepared.edition = "standard";
    prepared.format_version = key.format_version;
    prepared.stage_hash = hash_of("own stage").hex();
    lib->record_prepared(facts, prepared);

    const struct {
        const char* stage;  // the bytes of the stage played
        std::int32_t hits;
        bool new_best;
    } sessions[] = {
        {"own stage", 2, true},
        {"version stage", 0, true},  // better, on its own board
        {"own stage", 3, false},
        {"the board's stage", 1, true},
    };
    std::vector<std::string> names;
    for (const auto& row : sessions) {
        const session_start start = begin_session(hash, {}, 100 + static_cast<std::int64_t>(names.size()), ::getpid());
        write_session(start.recording, {{10, 100, 170, row.hits, 30}}, row.stage);
        const session_end e = end_session(lib.get(), start, hash, {}, 100);
        EXPECT_EQ(e.kept.new_best, row.new_best) << row.stage << " " << row.hits;
        ASSERT_TRUE(e.kept.best) << row.stage;
        EXPECT_EQ(e.kept.best->stage, hash_of(row.stage).hex());
        names.push_back(start.name);
    }
    const best_replay own_best = find_best_replay(*lib, hash, {});
    ASSERT_TRUE(own_best.best);
    EXPECT_EQ(own_best.best->session, names[0]);

    // The song's board's stage, kept where its row says.
    const std::string board_stage = home.dir / "board.pat";
    std::ofstream(board_stage) << "the board's stage";
    lib->record_board_stage(hash, {}, {hash_of("the board's stage").hex(), board_stage, 0, false, "", 1});

    const backlog b = queue_kept_bests(*lib, "http://h", 400);
    EXPECT_EQ(b.queued, 3u);
    EXPECT_EQ(b.skipped, std::vector<std::string>{});
    for (const submission& q : all_submissions(*lib, "http://h")) {
        std::ifstream copy(outbox_dir() + "/" + q.stage_file);
        const std::string sent(std::istreambuf_iterator<char>(copy), {});
        const std::size_t i = std::find(names.begin(), names.end(), q.session) - names.begin();
        ASSERT_LT(i, names.size()) << q.session;
        EXPECT_EQ(sent, sessions[i].stage) << q.session;
    }
    // Gone from there as well: said and skipped.
    std::filesystem::remove(board_stage);
    lib->with_database([](sqlite3* db) { sql::statement(db, "DELETE FROM submissions;", "test").run(); });
    const backlog again = queue_kept_bests(*lib, "http://h", 500);
    EXPECT_EQ(again.queued, 2u);
    ASSERT_EQ(again.skipped.size(), 1u);
    EXPECT_NE(again.skipped[0].find("/m/song.flac"), std::string::npos) << again.skipped[0];
}

// Without a home there is nowhere to keep runs, and the session says so.
TEST(PlaySession, WithoutAPlaceForReplaysTheSessionSaysResultsAreNotKept) {
    test_support::scratch_dir dir;
    const std::string blocked = dir / "file";
    { std::ofstream(blocked) << "x"; }
    ::setenv("XDG_DATA_HOME", blocked.c_str(), 1);
    const session_start s = begin_session(std::string(32, 'd'), library::stage_choice{}, 1, ::getpid());
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(s.recording, "");
    EXPECT_NE(s.why_not.find("results are not kept"), std::string::npos) << s.why_not;
}

// The board's stage plays only from a clear row whose file is still there and
// whose alignment the game takes, rounded to whole milliseconds; otherwise the
// song's own stage, saying why.
TEST(PlaySession, ASongPlaysItsBoardsStageOnlyWhenItsRowIsClearAndWhole) {
    data_home home;
    std::string problem;
    std::unique_ptr<song_library> lib = open_library(problem);
    ASSERT_TRUE(lib) << problem;
    const std::string hash(32, 'c'), own = home.dir / "own.pat", board = home.dir / "board.pat";
    std::ofstream(board) << "stage";
    const struct {
        const char* what;
        bool has_row;
        board_stage_row row;
        bool plays_board;
        int align_ms;
        const char* note;
    } rows[] = {
        {"no row", false, {}, false, 0, ""},
        {"clear", true, {"ab", board, 499.6, true, "", 1}, true, 500, ""},
        {"earlier", true, {"ab", board, -30000.4, true, "", 1}, true, -30000, ""},
        {"half", true, {"ab", board, -2.5, true, "", 1}, true, -3, ""},
        {"not clear", true, {"ab", board, 500, false, "another mix", 1}, false, 0, "another mix"},
        {"too far", true, {"ab", board, 30000.5, true, "", 1}, false, 0, "further from it than the game can align"},
        {"gone", true, {"ab", home.dir / "gone.pat", 10, true, "", 1}, false, 0, "no longer in the cache"},
        {"no file", true, {"ab", "", 10, true, "", 1}, false, 0, "no longer in the cache"},
    };
    for (const auto& r : rows) {
        lib->with_database([](sqlite3* db) { sql::statement(db, "DELETE FROM board_stages;", "test").run(); });
        if (r.has_row) lib->record_board_stage(hash, stage_choice{}, r.row);
        const stage_to_play p = stage_for_play(*lib, hash, stage_choice{}, own);
        EXPECT_EQ(p.board, r.plays_board) << r.what;
        EXPECT_EQ(p.stage_file, r.plays_board ? board : own) << r.what;
        EXPECT_EQ(p.align_ms, r.align_ms) << r.what;
        EXPECT_NE(p.note.find(r.note), std::string::npos) << r.what << ": " << p.note;
        EXPECT_EQ(p.note.empty(), *r.note == '\0') << r.what << ": " << p.note;
    }
}

// Preparing a song keeps its envelope from the same decode, the same as the
// file's own; it goes with a session only on the song's own stage; one gone
// or damaged is made again from the file.
TEST(PlaySession, PreparingKeepsTheSongsEnvelopeWhichGoesOnlyWithItsOwnStage) {
    data_home home;
    std::string problem, why;
    std::unique_ptr<song_library> lib = open_library(problem);
    ASSERT_TRUE(lib) << problem;
    const std::string song_file = home.dir / "song.wav";
    ASSERT_TRUE(song::write_wav(song_file, song::render(0), why)) << why;
    const stagecache::stage_cache cache(userfiles::cache_dir());
    const prepare_outcome p =
        prepare_song(song_file, converter::edition::standard, converter::difficulty::hard, 2, cache, lib.get(), {});
    ASSERT_EQ(p.status, prepare_status::prepared) << p.error;
    const std::string hash = p.hash.hex(), kept_file = envelope_path(hash);
    const std::vector<std::uint8_t> kept = test_sound::read_bytes(kept_file);
    const std::optional<alignment::envelope> from_prepare = alignment::decode({reinterpret_cast<const char*>(kept.data()), kept.size()});
    const std::optional<alignment::envelope> from_file = alignment::envelope_of_file(song_file, why);
    ASSERT_TRUE(from_prepare && from_file) << why;
    EXPECT_FALSE(from_file->values.empty());
    EXPECT_EQ(from_prepare->values, from_file->values);

    const std::vector<std::uint8_t> own_stage = test_sound::read_bytes(p.stage_path);
    const std::string own(own_stage.begin(), own_stage.end());
    const struct {
        const char* what;
        std::string stage;
        bool sent;
    } uploads[] = {{"own stage", own, true}, {"another stage", own + "x", false}, {"no stage", "", false}};
    for (const auto& u : uploads)
        EXPECT_EQ(envelope_for_upload(hash, stage_choice{}, u.stage), u.sent ? std::string(kept.begin(), kept.end()) : "")
            << u.what;

    // Gone, damaged, or kept before the bands' levels were: made from the
    // file again and kept.
    const std::string without_levels = alignment::encode(alignment::envelope{from_file->values});
    for (const std::string& damage : {std::string(), std::string("not an envelope"), without_levels}) {
        std::filesystem::remove(kept_file);
        if (!damage.empty()) std::ofstream(kept_file, std::ios::binary) << damage;
        const std::optional<alignment::envelope> again = own_envelope(hash, song_file, why);
        ASSERT_TRUE(again) << why;
        EXPECT_EQ(again->values, from_file->values);
        EXPECT_FALSE(again->levels.empty());
        EXPECT_EQ(again->levels, from_file->levels);
        EXPECT_EQ(test_sound::read_bytes(kept_file).size(), alignment::encode(*from_file).size());
    }
    EXPECT_FALSE(own_envelope(std::string(32, 'f'), home.dir / "missing.wav", why));
    EXPECT_NE(why, "");
}
