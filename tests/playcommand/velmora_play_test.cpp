// velmora_play run as the user runs it, with its cache and library in a
// scratch folder, beside the converters it must agree with.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audiolayer/decode.hpp"
#include "converter/load_any.hpp"
#include "launching/launch.hpp"
#include "playcommand/song_table.hpp"
#include "library/prepare.hpp"
#include "library/sessions.hpp"
#include "results/replay_file.hpp"
#include "support/run_process.hpp"
#include "support/scratch_dir.hpp"
#include "support/tagged_music.hpp"
#include "vaz/files.hpp"
#include "vaz/xbass.hpp"

namespace {

std::vector<std::uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct player {
    test_support::scratch_dir dir;
    std::string program = build_dir() + "/velmora_play";

    std::vector<std::string> env() const {
        return {"XDG_CACHE_HOME=" + dir / "cache", "XDG_DATA_HOME=" + dir / "data", "XDG_CONFIG_HOME=" + dir / "config",
                "HOME=" + dir.path()};
    }
    process_result run(std::vector<std::string> args) const {
        args.insert(args.begin(), program);
        return run_process(args, {env()});
    }
    std::string make_song(const std::string& name, int seconds) const {
        const process_result r =
            run_process({build_dir() + "/make_song", "--seconds", std::to_string(seconds), dir / name});
        EXPECT_EQ(r.status, 0) << r.err;
        return dir / name;
    }
    // The cache entries of one edition.
    std::vector<std::string> stages(const std::string& edition) const {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir / "cache/velmora/stages", ec)) {
            const std::string name = e.path().filename();
            if (contains(name, "-" + edition + "-")) found.push_back(e.path());
        }
        return found;
    }
};

std::int64_t mtime_ns(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

// The first columns of every row of a listing, up to the events.
std::vector<std::string> listed_stages(const std::string& list) {
    std::vector<std::string> rows;
    for (std::size_t at = list.find('\n') + 1; at < list.size(); at = list.find('\n', at) + 1)
        rows.push_back(list.substr(at, 45));
    return rows;
}

TEST(VelmoraPlay, StageIsTheConvertersFileAndASecondPrepareConvertsNothing) {
    player p;
    const std::string song = p.make_song("song.wav", 3);
    struct edition_row {
        const char* edition;
        const char* difficulty;
        std::vector<std::string> converter;  // velmora_bc's program and options for the same stage
    };
    const edition_row rows[] = {
        {"standard", "hard", {"/velmora_bc"}},
        {"zetaflux", "hard", {"/velmora_bc_zetaflux"}},
        {"dynamics", "easy", {"/velmora_bc", "--edition", "dynamics", "--difficulty", "easy"}},
    };
    for (const edition_row& e : rows) {
        SCOPED_TRACE(e.edition);
        const process_result first = p.run({"--prepare", "--edition", e.edition, "--difficulty", e.difficulty, song});
        EXPECT_EQ(first.status, 0) << first.err;
        EXPECT_EQ(first.out, "1 song: 1 prepared, 0 already cached, 0 failed\n");
        EXPECT_TRUE(contains(first.err, "\"" + song + "\": prepared, ")) << first.err;

        std::vector<std::string> bc{build_dir() + e.converter[0], song, p.dir / "bc.pat"};
        bc.insert(bc.end(), e.converter.begin() + 1, e.converter.end());
        const process_result converted = run_process(bc);
        ASSERT_EQ(converted.status, 0) << converted.out;
        const std::vector<std::string> entries = p.stages(e.edition);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(file_bytes(entries[0]) == file_bytes(p.dir / "bc.pat")) << "the cached stage differs from velmora_bc's";

        const std::int64_t before = mtime_ns(entries[0]);
        const process_result second = p.run({"--prepare", "--edition", e.edition, "--difficulty", e.difficulty, song});
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_EQ(second.out, "1 song: 0 prepared, 1 already cached, 0 failed\n");
        EXPECT_EQ(mtime_ns(entries[0]), before);
    }
    const process_result list = p.run({"--list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(contains(list.out, "    0:03  44100  2 dynamics  easy ")) << list.out;
    EXPECT_TRUE(contains(list.out, "never             song" + std::string(24, ' ') + "  -" + std::string(21, ' ') + song + "\n"))
        << list.out;

    // A byte flipped inside a record still loads, but is not the stage the
    // library has the checksum of: it is prepared again.
    {
        const std::string entry = p.stages("standard").at(0);
        std::vector<std::uint8_t> bytes = file_bytes(entry);
        bytes.at(10) ^= 0x40;
        std::ofstream(entry, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                      static_cast<std::streamsize>(bytes.size()));
        const process_result again = p.run({"--prepare", "--edition", "standard", "--difficulty", "hard", song});
        EXPECT_EQ(again.out, "1 song: 1 prepared, 0 already cached, 0 failed\n") << again.err;
        EXPECT_TRUE(contains(again.err, "checksum")) << again.err;
        EXPECT_FALSE(file_bytes(entry) == bytes);
    }

    // A lost library learns the cached stages again, each one's events.
    std::filesystem::remove_all(p.dir / "data");
    for (const edition_row& e : rows)
        EXPECT_EQ(p.run({"--prepare", "--edition", e.edition, "--difficulty", e.difficulty, song}).out,
                  "1 song: 0 prepared, 1 already cached, 0 failed\n");
    const process_result relisted = p.run({"--list"});
    EXPECT_EQ(listed_stages(relisted.out), listed_stages(list.out)) << relisted.out;

    // With the hash each is named by; one checksummed before hashes were
    // kept gets it when it is next found.
    vaz::hash_128 named;
    std::string why;
    ASSERT_TRUE(vaz::hash_file(p.stages("standard").at(0), named, why)) << why;
    const auto playing = [&] {
        library::song_library lib(p.dir / "data/velmora/library.sqlite3");
        return lib.playing_stage(lib.songs().at(0).hash, {});
    };
    EXPECT_EQ(playing(), named.hex());
    {
        library::song_library lib(p.dir / "data/velmora/library.sqlite3");
        lib.with_database([](sqlite3* db) { sql::statement(db, "UPDATE stages SET stage_hash = NULL;", "test").run(); });
    }
    EXPECT_EQ(playing(), "");
    p.run({"--prepare", "--edition", "standard", "--difficulty", "hard", song});
    EXPECT_EQ(playing(), named.hex());
}

TEST(VelmoraPlay, ASongAtAnotherRateIsPreparedAndListedWithItsOwnRate) {
    player p;
    const std::string song = p.make_song("song.wav", 2);
    // The same sound declared at 48000 Hz: only the rate field of the header changes.
    std::vector<std::uint8_t> bytes = file_bytes(song);
    ASSERT_GT(bytes.size(), 44u);
    const std::uint32_t rate = 48000, byte_rate = rate * 4;
    for (int i = 0; i < 4; ++i) {
        bytes[24 + i] = static_cast<std::uint8_t>(rate >> (8 * i));
        bytes[28 + i] = static_cast<std::uint8_t>(byte_rate >> (8 * i));
    }
    std::ofstream(p.dir / "song48.wav", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                static_cast<std::streamsize>(bytes.size()));
    const process_result r = p.run({"--prepare", "--edition", "standard", "--difficulty", "hard", p.dir / "song48.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(p.stages("standard").size(), 1u);
    EXPECT_TRUE(contains(p.run({"--list"}).out, "  48000  2 ")) << r.out;

    // The stage is velmora_bc's for the song resampled to 16-bit 44100 Hz.
    std::string error;
    const auto resampled = converter::load_at_converter_rate(p.dir / "song48.wav", nullptr, &error);
    ASSERT_TRUE(resampled) << error;
    const std::uint32_t data_bytes = static_cast<std::uint32_t>(resampled->value_count() * 2);
    const std::uint16_t channels = static_cast<std::uint16_t>(resampled->info.chans);
    std::vector<std::uint8_t> wav;
    auto put = [&wav](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) wav.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    for (char c : std::string("RIFF")) wav.push_back(static_cast<std::uint8_t>(c));
    put(36 + data_bytes, 4);
    for (char c : std::string("WAVEfmt ")) wav.push_back(static_cast<std::uint8_t>(c));
    put(16, 4), put(1, 2), put(channels, 2), put(44100, 4), put(44100u * channels * 2, 4), put(channels * 2u, 2), put(16, 2);
    for (char c : std::string("data")) wav.push_back(static_cast<std::uint8_t>(c));
    put(data_bytes, 4);
    for (std::size_t i = 0; i < resampled->value_count(); ++i) put(static_cast<std::uint16_t>(resampled->data[i]), 2);
    std::ofstream(p.dir / "resampled.wav", std::ios::binary).write(reinterpret_cast<const char*>(wav.data()),
                                                                   static_cast<std::streamsize>(wav.size()));
    ASSERT_EQ(run_process({build_dir() + "/velmora_bc", p.dir / "resampled.wav", p.dir / "bc48.pat"}).status, 0);
    EXPECT_TRUE(file_bytes(p.stages("standard")[0]) == file_bytes(p.dir / "bc48.pat"))
        << "the cached stage differs from velmora_bc's on the resampled song";
}

TEST(VelmoraPlay, UndecodableSongsAreReportedAndNothingIsCachedForThem) {
    player p;
    std::ofstream(p.dir / "notes.wav") << "not a sound\n";
    const std::string song = p.make_song("good.wav", 1);
    // In a folder, what is named like a song but never ends or waits for a
    // writer is counted among the failures, with why; nothing reads it.
    mkdir((p.dir / "odd").c_str(), 0755);
    ASSERT_EQ(mkfifo((p.dir / "odd/pipe.ogg").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (p.dir / "odd/zero.wav").c_str()), 0);
    std::ofstream(p.dir / "odd/empty.mp3").close();
    const process_result r = p.run({"--prepare", "--edition=standard", "--difficulty=hard", p.dir / "notes.wav", song,
                                    p.dir / "missing.flac", p.dir / "odd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "velmora_play: cannot decode \"" + p.dir / "notes.wav" + "\": ")) << r.err;
    EXPECT_TRUE(contains(r.err, "velmora_play: cannot read \"" + p.dir / "missing.flac" + "\": No such file or directory"))
        << r.err;
    EXPECT_TRUE(contains(r.out, "6 songs: 1 prepared, 0 already cached, 5 failed\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "  failed: cannot read \"" + p.dir / "odd/pipe.ogg" + "\": not a regular file (a named pipe)\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "  failed: cannot read \"" + p.dir / "odd/zero.wav" +
                                    "\": not a regular file (a character device)\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "  failed: cannot decode \"" + p.dir / "odd/empty.mp3" + "\": the file is empty\n")) << r.out;
    EXPECT_EQ(p.stages("standard").size(), 1u);

    // Playing one is refused the same way, before any window.
    const process_result play = p.run({p.dir / "notes.wav"});
    EXPECT_EQ(play.status, 1);
    EXPECT_TRUE(contains(play.err, "velmora_play: cannot decode \"" + p.dir / "notes.wav" + "\": ")) << play.err;
}

// Songs are prepared on worker threads: an error inside one preparation is
// that song's failure, with its file, not the end of the program.
TEST(VelmoraPlay, AnErrorInsideAPreparationIsThatSongsFailure) {
    player p;
    const std::string song = p.make_song("song.wav", 2);
    vaz::xbass<audiolayer::decode::layer> decoder;
    const stagecache::stage_cache cache(p.dir / "cache");
    const library::prepare_outcome r =
        library::prepare_song(song, converter::edition::standard, converter::difficulty::hard, 2, cache, nullptr,
                               [](double) { throw std::runtime_error("the display is gone"); });
    EXPECT_EQ(r.status, library::prepare_status::failed);
    EXPECT_EQ(r.error, "cannot prepare \"" + song + "\": the display is gone");
    stagecache::song_hash hash;
    std::string why;
    ASSERT_TRUE(stagecache::hash_file(song, hash, why)) << why;
    EXPECT_EQ(cache.check(hash, "standard").state, stagecache::entry_state::missing);
}

TEST(VelmoraPlay, TwoProcessesPreparingOneSongAtOnceBothSucceed) {
    player p;
    const std::string song = p.make_song("song.wav", 4);
    const std::vector<std::string> env = p.env();
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execl(p.program.c_str(), p.program.c_str(), "--prepare", "--edition=standard", "--difficulty=hard",
                  song.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    for (pid_t child : children) {
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ASSERT_EQ(run_process({build_dir() + "/velmora_bc", song, p.dir / "bc.pat"}).status, 0);
    const std::vector<std::string> entries = p.stages("standard");
    ASSERT_EQ(entries.size(), 1u);  // and no temporary left beside it
    EXPECT_TRUE(file_bytes(entries[0]) == file_bytes(p.dir / "bc.pat"));
    const process_result list = p.run({"--list"});
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2) << list.out;
}

TEST(VelmoraPlay, BadUsageIsStatusTwoAndHelpIsStatusZero) {
    player p;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--offset", "10"}, {"--edition", "deluxe", "a"}, {"--bogus", "a"}, {"--volume", "101"}, {"--offset", "x", "a"}}) {
        const process_result r = p.run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, "Try \"velmora_play --help\".")) << r.err;
    }
    const process_result help = p.run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "usage: velmora_play [options] [SONG...]\n")) << help.out;
}

// A new player's stage is the dynamics edition at normal; an edition and a
// difficulty saved in the settings (as the library screen saves them) are
// played and prepared unless the options say otherwise, and what is printed
// names them.
TEST(VelmoraPlay, TheSavedEditionAndDifficultyChooseTheStage) {
    player p;
    const std::string song = p.make_song("song.wav", 2);
    process_options no_display{p.env()};
    no_display.env.insert(no_display.env.end(), {"SDL_VIDEODRIVER=", "DISPLAY=", "WAYLAND_DISPLAY="});
    process_result r = run_process({p.program, song}, no_display);
    EXPECT_EQ(r.status, 1) << "no display to play on";
    EXPECT_TRUE(contains(r.err, "\"" + song + "\": stage prepared (dynamics edition, normal), ")) << r.err;
    ASSERT_EQ(p.stages("dynamics").size(), 1u);
    EXPECT_TRUE(contains(p.stages("dynamics")[0], "-dynamics-normal-v")) << p.stages("dynamics")[0];

    const std::string settings = p.dir / "config/velmora/settings.conf";
    std::filesystem::create_directories(p.dir / "config/velmora");
    std::ofstream(settings) << "volume = 80\nedition = zetaflux\ndifficulty = easy\n";
    r = run_process({p.program, song}, no_display);
    EXPECT_TRUE(contains(r.err, "\"" + song + "\": stage prepared (zetaflux edition, easy), ")) << r.err;
    r = run_process({p.program, "--difficulty", "hard", song}, no_display);
    EXPECT_TRUE(contains(r.err, "\"" + song + "\": stage prepared (zetaflux edition, hard), ")) << r.err;
    r = p.run({"--prepare", song});
    EXPECT_EQ(r.out, "1 song: 0 prepared, 1 already cached, 0 failed\n") << "the saved stage, made above";
    r = p.run({"--replay", song});
    EXPECT_TRUE(contains(r.err, "no finished run of \"" + song + "\" in the zetaflux edition at easy")) << r.err;

    // A name the converter does not have is said, and the default played.
    std::ofstream(settings) << "edition = deluxe\n";
    r = run_process({p.program, song}, no_display);
    EXPECT_TRUE(contains(r.err, "velmora_play: settings: unknown edition \"deluxe\"; using dynamics\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "\"" + song + "\": stage found in the cache (dynamics edition, normal)")) << r.err;
}

TEST(VelmoraPlay, VolumeAloneIsSavedKeepingTheOtherLinesAndCalibratingNeedsADisplay) {
    player p;
    const std::string settings = p.dir / "config/velmora/settings.conf";
    std::filesystem::create_directories(p.dir / "config/velmora");
    std::ofstream(settings) << "offset = 12ms\n# mine\n";
    const process_result r = p.run({"--volume", "40"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "volume 40 saved in " + settings + "\n");
    const std::vector<std::uint8_t> bytes = file_bytes(settings);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "offset = 12ms\n# mine\nvolume = 40\n");

    // Without a display the calibration says so before it starts anything.
    std::vector<std::string> env = p.env();
    env.insert(env.end(), {"DISPLAY=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER="});
    const process_result calibrate = run_process({p.program, "--calibrate"}, {env});
    EXPECT_EQ(calibrate.status, 1);
    EXPECT_EQ(calibrate.err, "velmora_play: no display to open the calibration window on (DISPLAY is not set)\n");
}

namespace {

// A session's recording as the game leaves it: `runs` finished runs, each
// (start, result, end, hits, score), over `updates` updates.
void write_session(const std::string& path, std::uint32_t updates, std::vector<results::run_summary> runs) {
    results::replay r;
    r.seed = 99;
    r.offset_ms = 35;
    for (std::uint32_t i = 0; i < updates; ++i) results::append_update(r, i % 7 == 0 ? 4u : 0u);
    r.finished_runs = std::move(runs);
    ASSERT_EQ(results::write_replay_file(path, r), "");
}

}  // namespace

// Every finished run is stored; only a better run's replay is kept, cut
// after that run, and the one it beats is deleted; the recording goes.
TEST(VelmoraPlay, ASessionKeepsEveryFinishedRunAndOnlyTheBestReplay) {
    test_support::scratch_dir dir;
    const std::string replays = dir / "replays";
    ASSERT_EQ(::mkdir(replays.c_str(), 0700), 0);
    library::song_library library(dir / "library.sqlite3");
    auto session = [&](const std::string& name) { return replays + "/" + name + ".session"; };
    auto exists = [](const std::string& p) { return ::access(p.c_str(), F_OK) == 0; };

    // Two runs, the second better (ratio 2.00 against 1.00); a temporary file
    // of the game's, left by a kill while it wrote.
    write_session(session("a"), 500, {{10, 100, 170, 2, 30}, {200, 300, 380, 1, 30}});
    { std::ofstream(session("a") + ".tmp-AbCdEf") << "half"; }
    library::session_outcome o = library::keep_session(&library, replays, "a", "song", library::stage_choice{}, 1000);
    EXPECT_EQ(o.problems, std::vector<std::string>{});
    ASSERT_EQ(o.runs.size(), 2u);
    EXPECT_EQ(o.runs[0].frames, 90);
    EXPECT_EQ(o.runs[1].offset_ms, 35);
    ASSERT_TRUE(o.best && o.new_best);
    EXPECT_EQ(o.best->run, 2);
    EXPECT_EQ(o.best->replay, "a.vrp");
    results::replay kept;
    ASSERT_EQ(results::read_replay_file(replays + "/a.vrp", kept).status, results::replay_status::ok);
    EXPECT_EQ(kept.update_count, 380u) << "not cut after the best run";
    EXPECT_EQ(kept.offset_ms, 35);
    EXPECT_EQ(std::filesystem::directory_iterator(replays)->path().filename(), "a.vrp");

    // A worse session: its runs are stored, its recording deleted.
    write_session(session("b"), 200, {{10, 100, 170, 3, 30}});
    o = library::keep_session(&library, replays, "b", "song", library::stage_choice{}, 2000);
    EXPECT_FALSE(o.new_best);
    EXPECT_TRUE(o.stored);
    EXPECT_EQ(o.best->session, "a");
    EXPECT_FALSE(exists(session("b")));
    EXPECT_FALSE(exists(replays + "/b.vrp"));

    // A better run the game was killed on, its result screen still showing:
    // the whole recording is kept and replaces the old best's replay.
    write_session(session("c"), 150, {{10, 100, 0, 0, 5}});
    o = library::keep_session(&library, replays, "c", "song", library::stage_choice{}, 3000);
    EXPECT_TRUE(o.new_best);
    EXPECT_FALSE(exists(replays + "/a.vrp"));
    ASSERT_EQ(results::read_replay_file(replays + "/c.vrp", kept).status, results::replay_status::ok);
    EXPECT_EQ(kept.update_count, 150u);

    // No run finished: no recording; a damaged recording is said and removed.
    o = library::keep_session(&library, replays, "d", "song", library::stage_choice{}, 4000);
    EXPECT_TRUE(o.runs.empty());
    EXPECT_EQ(o.best->session, "c");
    { std::ofstream(session("e")) << "VELMRPLY"; }
    o = library::keep_session(&library, replays, "e", "song", library::stage_choice{}, 5000);
    ASSERT_EQ(o.problems.size(), 1u);
    EXPECT_TRUE(contains(o.problems[0], "is cut short")) << o.problems[0];
    EXPECT_FALSE(exists(session("e")));
    EXPECT_EQ(library.replay_files(), std::vector<std::string>{"c.vrp"});

    // A replay name read back from the library that leads out of its folder
    // is said, and not deleted when a better run takes its place.
    { std::ofstream(dir / "victim.txt") << "keep me"; }
    library.with_database([](sqlite3* db) {
        return sqlite3_exec(db, "UPDATE results SET replay = '../victim.txt' WHERE replay = 'c.vrp';", nullptr, nullptr,
                            nullptr);
    });
    write_session(session("g"), 200, {{10, 100, 170, 0, 50}});
    o = library::keep_session(&library, replays, "g", "song", library::stage_choice{}, 7000);
    EXPECT_TRUE(o.new_best);
    EXPECT_TRUE(exists(dir / "victim.txt"));
    ASSERT_EQ(o.problems.size(), 1u);
    EXPECT_TRUE(contains(o.problems[0], "\"../victim.txt\" that is not a file name")) << o.problems[0];

    // Without the library the runs are reported and the recording stays for later.
    write_session(session("f"), 200, {{10, 100, 170, 1, 1}});
    o = library::keep_session(nullptr, replays, "f", "song", library::stage_choice{}, 6000);
    EXPECT_EQ(o.runs.size(), 1u);
    EXPECT_FALSE(o.stored);
    EXPECT_TRUE(exists(session("f")));
}

// The game as a child: its status, the signal that killed it, a program
// that does not start, and a SIGTERM to this process passed on to it.
TEST(VelmoraPlay, RunsTheGameAsAChildAndPassesSignalsOn) {
    launching::game_end end = launching::run_game({"sh", "-c", "exit 3"});
    EXPECT_TRUE(end.started && !end.signaled && end.status == 3);
    end = launching::run_game({"sh", "-c", "kill -KILL $$"});
    EXPECT_TRUE(end.started && end.signaled && end.status == SIGKILL);
    end = launching::run_game({"/no/such/velmora"});
    EXPECT_FALSE(end.started);
    EXPECT_EQ(end.why_not, "No such file or directory");

    std::thread terminate([] {
        ::usleep(500000);
        ::kill(::getpid(), SIGTERM);
    });
    end = launching::run_game({"sh", "-c", "trap 'exit 7' TERM; while :; do sleep 0.05; done"});
    terminate.join();
    EXPECT_TRUE(end.started && !end.signaled && end.status == 7) << end.status;

    // The sound probe's child: waited for, or killed when it hangs.
    auto child = [](const char* script) {
        const pid_t pid = ::fork();
        if (pid == 0) ::execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr)), ::_exit(127);
        return pid;
    };
    EXPECT_EQ(launching::wait_or_kill(child("exit 4"), 5000), 4);
    const auto before = std::chrono::steady_clock::now();
    const pid_t hung = child("sleep 30");
    EXPECT_EQ(launching::wait_or_kill(hung, 200), launching::child_killed);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_NE(::kill(hung, 0), 0) << "the hung child was left running";
}

// A session whose velmora_play was killed while its game ran is kept by the
// next one; a session whose velmora_play still waits is left to it.
TEST(VelmoraPlay, AnAbandonedSessionIsKeptByTheNextOne) {
    test_support::scratch_dir dir;
    const std::string replays = dir / "replays";
    ASSERT_EQ(::mkdir(replays.c_str(), 0700), 0);
    library::song_library library(dir / "library.sqlite3");
    const std::string hash(32, 'a');
    // A process id no process has: one just reaped.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string abandoned = library::session_name(hash, {converter::edition::zetaflux, converter::difficulty::hard}, 1, gone);
    const std::string waiting = library::session_name(hash, library::stage_choice{}, 1, ::getpid());
    write_session(replays + "/" + abandoned + ".session", 200, {{10, 100, 170, 2, 30}});
    write_session(replays + "/" + waiting + ".session", 200, {{10, 100, 170, 2, 30}});
    { std::ofstream(replays + "/notes.session") << "not a session"; }

    std::vector<std::string> problems;
    EXPECT_EQ(library::keep_abandoned_sessions(&library, replays, "own", 9, problems), 1u);
    EXPECT_EQ(problems, std::vector<std::string>{});
    const std::string played = results::replay{}.pattern.hex();  // the stage write_session names
    ASSERT_TRUE(library.best_result(hash, "zetaflux", "hard", played).has_value());
    EXPECT_EQ(library.best_result(hash, "zetaflux", "hard", played)->replay, abandoned + ".vrp");
    EXPECT_FALSE(library.best_result(hash, "standard", "hard", played).has_value());
    EXPECT_TRUE(std::filesystem::exists(replays + "/" + waiting + ".session"));
    EXPECT_TRUE(std::filesystem::exists(replays + "/notes.session"));
    EXPECT_FALSE(std::filesystem::exists(replays + "/" + abandoned + ".session"));
}

// A sound server is named but nothing answers: the probe's child finds no
// device, says so as it exits, and the game is told to play silently.
TEST(VelmoraPlay, AProbeThatOpensNoDeviceChoosesTheSilentDriver) {
    if (std::filesystem::exists("/dev/snd")) GTEST_SKIP() << "this machine has sound devices";
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    const std::string saved_driver = driver ? driver : "";
    ::unsetenv("SDL_AUDIODRIVER");
    ::setenv("PULSE_SERVER", "/nonexistent/velmora-test", 1);
    bool silent = false;
    {
        launching::audio_probe probe;
        silent = probe.choose_silent_audio_when_no_device();
    }
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    EXPECT_TRUE(silent);
    EXPECT_STREQ(chosen ? chosen : "(unset)", "dummy");
    ::unsetenv("PULSE_SERVER");
    if (driver) ::setenv("SDL_AUDIODRIVER", saved_driver.c_str(), 1);
    else ::unsetenv("SDL_AUDIODRIVER");
}

// Escape sequences in file names are shown, never sent: in the summary on
// standard output, the messages and the progress lines into a pipe.
TEST(VelmoraPlay, AFileNameIsPrintedWithItsControlCharactersShown) {
    player p;
    const std::string red = p.make_song("\x1b[31mred.wav", 1);
    const std::string empty = p.dir / "\x1b]0;title\a.mp3";
    { std::ofstream(empty) << ""; }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--prepare", "--jobs", "1", red, empty}, {empty}, {"--replay", empty}}) {
        const process_result r = p.run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
        EXPECT_TRUE(contains(r.out + r.err, "?]0;title?.mp3")) << r.out << r.err;
    }
    const process_result prepared = p.run({"--prepare", red});
    EXPECT_TRUE(contains(prepared.err, "preparing \"" + p.dir / "?[31mred.wav\"")) << prepared.err;
}

// A stage that cannot be stored is said, without the stage's own line, and
// ends with 1.
TEST(VelmoraPlay, AStageThatCannotBeKeptEndsWithStatusOne) {
    player p;
    const std::string song = p.make_song("song.wav", 2);
    process_options limited{p.env()};
    limited.file_size_limit = 1024;  // far less than the stage
    limited.ignore_file_size_signal = true;
    // The standard edition at hard: a stage far larger than the limit.
    const std::vector<std::string> standard_hard{"--edition", "standard", "--difficulty", "hard"};
    std::vector<std::string> play{p.program, song};
    play.insert(play.end(), standard_hard.begin(), standard_hard.end());
    const process_result unstored = run_process(play, limited);
    EXPECT_EQ(unstored.status, 1);
    EXPECT_TRUE(contains(unstored.err, "cannot keep the stage of")) << unstored.err;
    EXPECT_FALSE(contains(unstored.err, "stage prepared")) << unstored.err;
}

// The player's folder as velmora_play keeps it: added, listed and searched
// by its tags; a song played by name is added too; a prepared song moved to
// another folder keeps its best run.
TEST(VelmoraPlay, AnAddedFolderIsSearchedByItsTagsAndAMovedSongKeepsItsBest) {
    player p;
    const std::string music = p.dir / "Music";
    std::filesystem::create_directories(music + "/Trio");
    const std::string cafe = music + "/Trio/01.flac";
    test_music::write_music(cafe, test_music::format::flac,
                            {"Caf\xc3\xa9 Nocturne", "\xc3\x96" "d\xc3\xb6n Trio", "Late", 1, 2001, false}, 2.0, 1);
    test_music::write_music(music + "/tide.ogg", test_music::format::ogg, {"Morning Tide", "Sea", "Early", 2, 2002, false},
                            0.5, 2);
    process_result r = p.run({"--add", music});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "2 music files in ")) << r.out;
    EXPECT_TRUE(contains(p.run({"--folders"}).out, "      2       0  ")) << "two files, none missing";

    // The run recorded below is one of the standard edition at hard.
    ASSERT_EQ(p.run({"--prepare", "--edition", "standard", "--difficulty", "hard", cafe}).status, 0);
    {
        library::song_library library(p.dir / "data/velmora/library.sqlite3");
        const std::vector<library::song_row> songs = library.songs();
        ASSERT_EQ(songs.size(), 1u);
        library::result_row run;
        run.song_hash = songs[0].hash;
        run.edition = "standard";
        run.session = "s";
        run.run = 1;
        run.played_at = 1;
        run.hits = 3;
        run.ratio = 2.5;
        run.stage = library.playing_stage(run.song_hash, {});  // played on the stage just prepared
        ASSERT_NE(run.stage, "");
        library.record_session({run});
    }
    for (const char* typed : {"CAFE odon", "nocturne"}) {
        r = p.run({"--search", typed});
        EXPECT_EQ(r.status, 0) << typed << r.err;
        EXPECT_TRUE(contains(r.out, "Caf\xc3\xa9 Nocturne")) << typed << r.out;
        EXPECT_FALSE(contains(r.out, "Morning Tide")) << typed << r.out;
    }
    r = p.run({"--list", "--sort", "title"});
    EXPECT_TRUE(contains(r.out, "Caf\xc3\xa9 Nocturne")) << r.out;
    // The song never prepared is listed too, from its tags, after the other.
    EXPECT_TRUE(contains(r.out, "Morning Tide")) << r.out;
    EXPECT_LT(r.out.find("Caf\xc3\xa9 Nocturne"), r.out.find("Morning Tide")) << r.out;
    EXPECT_TRUE(contains(r.out, "      -  - -         -              -          -  -")) << r.out;

    // Moved out of the folder, it is missing; added by name (played, with
    // no display to play on), it is there again with its best.
    const std::string moved = p.dir / "elsewhere.flac";
    std::filesystem::rename(cafe, moved);
    r = p.run({"--scan"});
    EXPECT_TRUE(contains(r.out, "1 missing")) << r.out;
    EXPECT_EQ(p.run({"--search", "cafe"}).status, 1);
    process_options no_display{p.env()};
    no_display.env.insert(no_display.env.end(), {"SDL_VIDEODRIVER=", "DISPLAY=", "WAYLAND_DISPLAY="});
    r = run_process({p.program, moved}, no_display);
    EXPECT_TRUE(contains(r.err, "no display")) << r.err;
    r = p.run({"--search", "cafe", "--edition", "standard", "--difficulty", "hard"});
    EXPECT_TRUE(contains(r.out, "    2.50/3  " + moved + "\n")) << r.out;

    // Back in the folder under another name: found as moved, still with it.
    std::filesystem::rename(moved, music + "/Trio/renamed.flac");
    r = p.run({"--scan"});
    EXPECT_TRUE(contains(r.out, " 1 moved, ")) << r.out;
    r = p.run({"--search", "nocturne", "--edition", "standard", "--difficulty", "hard"});
    EXPECT_TRUE(contains(r.out, "    2.50/3  " + music + "/Trio/renamed.flac\n")) << r.out;
    EXPECT_TRUE(contains(p.run({"--forget", music}).out, "results of its songs are kept")) << "forgotten";
}

namespace {

// The best of each song (by file name) and edition a listing shows, as
// "song edition best": the schema 2 listing has a column per edition, the
// later one a row per edition and difficulty (hard for the schema 2 runs).
std::vector<std::string> listed_bests(const std::string& list, bool per_edition_columns) {
    std::vector<std::string> bests;
    std::istringstream lines(list);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
        const std::string song = std::filesystem::path(w.back()).filename();
        if (per_edition_columns) {
            bests.push_back(song + " standard " + w.at(5));
            bests.push_back(song + " zetaflux " + w.at(6));
        } else if (w.at(4) == "hard") {
            bests.push_back(song + " " + w.at(3) + " " + w.at(6));
        }
    }
    std::sort(bests.begin(), bests.end());
    return bests;
}

}  // namespace

// The schema 2 library kept in tests/data/library_v2 (made by the schema 2
// velmora_play, see its script): once brought up to date, --list shows the
// bests that velmora_play listed, and --replay plays the kept best run to
// the result it was recorded with.
TEST(VelmoraPlay, TheKeptSchema2LibraryListsAndReplaysItsBestsAsBefore) {
    player p;
    const std::string fixture = VELMORA_SOURCE_DIR "/tests/data/library_v2";
    std::filesystem::create_directories(p.dir / "data/velmora/replays");
    std::filesystem::copy_file(fixture + "/library.sqlite3", p.dir / "data/velmora/library.sqlite3");
    for (const auto& e : std::filesystem::directory_iterator(fixture))
        if (e.path().extension() == ".vrp")
            std::filesystem::copy_file(e.path(), p.dir / "data/velmora/replays" / e.path().filename());
    const std::string song = p.make_song("longer.wav", 3);

    std::ifstream old_list(fixture + "/list.txt");
    const std::string before{std::istreambuf_iterator<char>(old_list), std::istreambuf_iterator<char>()};
    const process_result list = run_process({p.program, "--list"}, {[&] {
                                                auto env = p.env();
                                                env.push_back("TZ=UTC");
                                                return env;
                                            }()});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::vector<std::string> bests = listed_bests(list.out, false);
    EXPECT_EQ(bests, listed_bests(before, true)) << list.out;
    EXPECT_EQ(bests.size(), 4u) << list.out;

    std::vector<std::string> env = p.env();
    env.push_back("SDL_VIDEODRIVER=dummy");
    env.push_back("SDL_AUDIODRIVER=dummy");
    const process_result replayed =
        run_process({p.program, "--replay", "--edition", "standard", "--difficulty", "hard", song}, {env});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_TRUE(contains(replayed.out, "velmora: run 1 ended: 340 hits, score 24287\n")) << replayed.out;
    EXPECT_FALSE(contains(replayed.err, "otherwise than recorded")) << replayed.err;

    // Its replay file watched: the stage found in the cache by its bytes, the
    // song through the library; fast, and from a moment in, the same run.
    // The other song's stages were never prepared here.
    const std::string replays = p.dir / "data/velmora/replays/";
    const std::string kept = replays + "1f853e10205343137ae7b04b401f57b0-standard-1796787717-22760.vrp";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string said;
    } watched[] = {
        {{kept, "--speed", "8"}, 0, "velmora: run 1 ended: 340 hits, score 24287\n"},
        {{kept, "--speed", "4", "--at", "1.5"}, 0, "velmora: run 1 ended: 340 hits, score 24287\n"},
        {{kept, "--at", "10:00"}, 1, ", before --at 10:00.0"},
        {{replays + "b2b2bbeaa10b46c33f0102f00d206a83-zetaflux-1796787663-20192.vrp"}, 1, "is not in the stage cache"},
        {{p.dir / "none.vrp"}, 1, "none.vrp"},
    };
    for (const auto& w : watched) {
        std::vector<std::string> args{p.program, "--watch"};
        args.insert(args.end(), w.args.begin(), w.args.end());
        const process_result r = run_process(args, {env});
        EXPECT_EQ(r.status, w.status) << w.args.back() << ": " << r.err;
        EXPECT_TRUE(contains(w.status == 0 ? r.out : r.err, w.said)) << r.out << r.err;
        EXPECT_FALSE(contains(r.err, "otherwise than recorded")) << r.err;
    }
    std::filesystem::rename(song, p.dir / "moved.wav");
    const process_result moved = run_process({p.program, "--watch", kept}, {env});
    EXPECT_EQ(moved.status, 1);
    EXPECT_TRUE(contains(moved.err, "was last at \"" + song + "\", which cannot be read")) << moved.err;
    std::filesystem::rename(p.dir / "moved.wav", song);

    // Its folder added, the song is found with its best; forgotten and added
    // again, still; and listed once.
    const std::string folder = p.dir / "music";
    std::filesystem::create_directories(folder);
    p.make_song("music/longer.wav", 3);
    for (const char* step : {"--add", "--forget", "--add"}) {
        const process_result r = p.run({step, folder});
        ASSERT_EQ(r.status, 0) << step << ": " << r.err;
        if (std::string(step) == "--forget") continue;
        // The kept runs are the standard edition's at hard.
        const process_result found = p.run({"--search", "longer", "--edition", "standard", "--difficulty", "hard"});
        EXPECT_EQ(found.status, 0) << found.err;
        EXPECT_TRUE(contains(found.out, "4.76/340")) << step << ": " << found.out;
        const process_result listed = p.run({"--list"});
        EXPECT_EQ(listed.out.find(folder + "/longer.wav"), listed.out.rfind(folder + "/longer.wav")) << listed.out;
    }
}
