// The game's side against a real scoreboard server on a throwaway
// PostgreSQL: registering, a queued session sent, verified and on the board,
// its files downloaded back; velmora_play's commands for it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "alignment/alignment.hpp"
#include "library/places.hpp"
#include "library/play_session.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "online/account.hpp"
#include "online/board_stage.hpp"
#include "online/client.hpp"
#include "online/sender.hpp"
#include "playcommand/ghost_choice.hpp"
#include "server/server_helpers.hpp"
#include "support/pg_cluster.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"
#include "tools/song/song.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace {

test_support::pg_cluster* cluster = nullptr;
test_support::server_process* server = nullptr;

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }
std::string url() { return "http://127.0.0.1:" + std::to_string(server->port()); }

class environment : public ::testing::Environment {
public:
    void SetUp() override {
        cluster = new test_support::pg_cluster();
        server = new test_support::server_process(program("velmora_server"), cluster->url(),
                                                  {"--workers", "1", "--verifier", program("tests/fake_verify")},
                                                  cluster->root() + "/server.log");
    }
    void TearDown() override {
        delete server;
        delete cluster;
    }
};
const auto* registered = ::testing::AddGlobalTestEnvironment(new environment);

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

TEST(OnlineServer, ASessionQueuedGoesToTheBoardAndComesBackToWatch) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    const online::client anyone(url());
    const online::registered mira = anyone.register_player("Mira_online");
    ASSERT_TRUE(mira.how.ok) << mira.how.message;
    const online::registered again = anyone.register_player("mira_ONLINE");
    EXPECT_FALSE(again.how.ok);
    EXPECT_FALSE(again.how.retry);
    EXPECT_NE(again.how.message.find("is taken"), std::string::npos) << again.how.message;

    library::song_library lib(dir / "library.sqlite3");
    const std::string stage = server_test::stage_bytes(50, 3);
    const std::string replay = server_test::replay_bytes(stage, 21, {{7, 1200}, {9, 1500}});
    write_file(dir / "stage.pat", stage);
    write_file(dir / "rec.session", replay);
    ASSERT_EQ(library::queue_submission(lib, dir / "rec.session", "sess-a", std::string(32, 'e'), library::stage_choice{},
                                        dir / "stage.pat", url(), 100),
              "");
    const online::account a{url(), "Mira_online", mira.token};
    const auto start = std::chrono::steady_clock::now();
    online::send_report r = online::send_queue(lib, a, 100, false);
    EXPECT_EQ(r.sent, 1u);
    library::submission s = library::all_submissions(lib, url()).at(0);
    for (int i = 0; i < 300 && s.state == library::submission_state::pending; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        online::send_queue(lib, a, 100, false);
        s = library::all_submissions(lib, url()).at(0);
    }
    EXPECT_EQ(s.state, library::submission_state::verified) << s.reason;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

    const std::string stage_hash = vaz::hash_bytes(stage.data(), stage.size()).hex();
    const online::board b = online::client(url(), mira.token).get_board(stage_hash, "standard", "hard", 10);
    ASSERT_TRUE(b.how.ok) << b.how.message;
    ASSERT_EQ(b.entries.size(), 1u);
    EXPECT_EQ(b.entries[0].player, "Mira_online");
    EXPECT_EQ(b.entries[0].session, s.server_session);
    ASSERT_TRUE(b.you.has_value());
    EXPECT_EQ(b.you->rank, 1);
    EXPECT_EQ(b.players, 1);
    EXPECT_EQ(anyone.replay(b.entries[0].session).bytes, replay);
    EXPECT_EQ(anyone.stage(stage_hash).bytes, stage);
    // The board's first run raced as a ghost: downloaded, kept whole, named by its player and place.
    const playcommand::stage_named on{dir / "stage.pat", std::string(32, 'e'), "standard", "hard", "song.wav"};
    const playcommand::ghost_choice top = playcommand::choose_ghost("top", on, "", dir / "ghosts", url(), mira.token);
    ASSERT_EQ(top.why, "");
    EXPECT_EQ(top.name, "Mira_online #1");
    std::ifstream kept(top.file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), replay);
    const playcommand::stage_named elsewhere{dir / "rec.session", std::string(32, 'e'), "standard", "hard", "song.wav"};
    EXPECT_NE(playcommand::choose_ghost("top", elsewhere, "", dir / "ghosts", url(), mira.token).why, "");
    const online::download missing = anyone.replay(987654321);
    EXPECT_FALSE(missing.how.ok);
    EXPECT_EQ(missing.how.status, 404);
    unsetenv("XDG_DATA_HOME");
}

TEST(OnlineServer, VelmoraPlayGoesOnlineOnceAndOffline) {
    test_support::scratch_dir dir;
    const std::string env = "env XDG_CONFIG_HOME='" + dir.path() + "' XDG_DATA_HOME='" + dir.path() +
                            "' XDG_CACHE_HOME='" + dir.path() + "' " + program("velmora_play");
    struct row {
        std::string args;
        int status;
        const char* says;
    };
    test_sound::write_wav16(dir / "tune.wav", 44100, 1,
                            test_sound::pulsing_tone(3 * 44100, 440.0, 4.0, 12000.0, 1));
    const std::vector<row> rows = {
        {"--submit", 1, "no scoreboard server is set"},
        {"--online ftp://x --player Zed_cli", 1, "must start with http:// or https://"},
        {"--online " + url() + " --player Zed_cli", 0, "Playing online at"},
        {"--online " + url() + " --player Zed_cli", 0, "Already playing online"},
        {"--submit", 0, "No session was queued"},
        // Looking at a board adds nothing to the player's own songs.
        {"--board '" + dir / "tune.wav" + "'", 0, "0 players on this board."},
        {"--board '" + dir / "gone.wav" + "'", 1, "gone.wav\": No such file"},
        {"--list", 0, "has no songs yet"},
        {"--offline", 0, "Playing offline"},
        {"--submit", 1, "no scoreboard server is set"},
        {"--online " + url() + " --player Zed_cli", 1, "is taken"},
    };
    for (const row& r : rows) {
        int status = 0;
        const std::string out = test_support::shell_output(env + " " + r.args + " 2>&1", status);
        EXPECT_EQ(WEXITSTATUS(status), r.status) << r.args << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << r.args << ": " << out;
        if (r.args.rfind("--board", 0) == 0) {
            // Nor does it prepare the song: no stage is made to look.
            for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
                EXPECT_NE(e.path().extension(), ".pat") << e.path();
        }
        if (r.says == std::string("Playing online at")) {
            struct stat st {};
            ASSERT_EQ(stat((dir / "velmora/online.conf").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
    }
}

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A run on the board watched from its link, as a browser hands it over: the
// replay downloaded into the cache by its session, the stage and song found
// on this player's side, the game started from the link's moment.
TEST(OnlineServer, ARunsLinkIsWatchedFromItsMoment) {
    test_support::scratch_dir dir;
    const std::string env = "env XDG_CONFIG_HOME='" + dir / "config" + "' XDG_DATA_HOME='" + dir / "data" +
                            "' XDG_CACHE_HOME='" + dir / "cache" + "' SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy ";
    int status = 0;
    // The song and the kept run the schema 2 library fixture holds.
    const std::string made = test_support::shell_output(
        program("make_song") + " --seconds 3 '" + dir / "longer.wav" + "' 2>&1 && " + env + program("velmora_play") +
            " --prepare --edition standard --difficulty hard '" + dir / "longer.wav" + "' 2>&1", status);
    ASSERT_EQ(status, 0) << made;
    const std::string replay = file_bytes(std::string(VELMORA_SOURCE_DIR_DEFAULT) +
                                          "/tests/data/library_v2/1f853e10205343137ae7b04b401f57b0-standard-1796787717-22760.vrp");
    std::string stage;
    for (const auto& e : std::filesystem::directory_iterator(dir / "cache/velmora/stages"))
        if (e.path().filename().string().find("-standard-") != std::string::npos) stage = file_bytes(e.path());
    ASSERT_FALSE(stage.empty());
    const online::registered lena = online::client(url()).register_player("Lena_link");
    ASSERT_TRUE(lena.how.ok) << lena.how.message;
    online::session_upload up;
    up.stage = stage;
    up.replay = replay;
    up.edition = "standard";
    up.difficulty = "hard";
    const online::sent_session sent = online::client(url(), lena.token).submit(up);
    ASSERT_TRUE(sent.how.ok) << sent.how.message;

    const std::string link = "velmora://127.0.0.1:" + std::to_string(server->port()) + "/sessions/";
    const std::string id = std::to_string(sent.session);
    const struct {
        std::string args, env;
        int status;
        const char* says;
    } rows[] = {
        {"'" + link + id + "?t=1' --speed 8", env, 0, "velmora: run 1 ended: 340 hits, score 24287"},
        {"--watch '" + link + id + "?t=10:00'", env, 1, ", before the link's moment t=10:00.0"},
        {"'" + link + id + "?t=1' --at 10:00", env, 1, ", before --at 10:00.0"},
        {"'" + link + "987654321'", env, 1, "the server knows no session 987654321"},
        // Another player without the song: what to add to watch it.
        {"'" + link + id + "'", "env XDG_DATA_HOME='" + dir / "other" + "' XDG_CACHE_HOME='" + dir / "other" + "' ", 1,
         "this run of Lena_link was played on a song whose stage"},
    };
    for (const auto& r : rows) {
        const std::string out = test_support::shell_output(r.env + program("velmora_play") + " " + r.args + " 2>&1", status);
        EXPECT_EQ(WEXITSTATUS(status), r.status) << r.args << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << r.args << ": " << out;
    }
    EXPECT_EQ(file_bytes(dir / ("cache/velmora/runs/session-" + id + ".vrp")), replay);
    EXPECT_EQ(file_bytes(dir / ("other/velmora/runs/session-" + id + ".vrp")), replay);
}

// Runs played before a server was set: each kept best is queued once
// (--submit --all) and verified on the stage it was played on; a best whose
// stage has changed since is said and skipped, never sent on another stage.
TEST(OnlineServer, KeptBestsPlayedOfflineAreQueuedOnceEach) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    ASSERT_EQ(setenv("XDG_CACHE_HOME", dir.path().c_str(), 1), 0);
    const online::registered kim = online::client(url()).register_player("Kim_offline");
    ASSERT_TRUE(kim.how.ok) << kim.how.message;
    library::song_library lib(dir / "library.sqlite3");
    const stagecache::stage_cache cache(userfiles::cache_dir());
    ASSERT_EQ(system(("mkdir -p '" + library::replays_dir() + "'").c_str()), 0);
    const stagecache::stage_key key = library::stage_key_of(converter::edition::standard, converter::difficulty::hard);
    std::vector<std::string> stages;
    for (std::uint64_t song = 1; song <= 2; ++song) {
        const stagecache::song_hash hash{song, song};
        stages.push_back(server_test::stage_bytes(40 + song, 3));
        std::string why;
        ASSERT_TRUE(cache.store(hash, key, {stages.back().begin(), stages.back().end()}, why)) << why;
        const std::string session = "offline-" + std::to_string(song);
        write_file(library::replays_dir() + "/" + session + ".vrp",
                   server_test::replay_bytes(stages.back(), 23, {{3, 900}}));
        library::song_row facts;
        facts.hash = hash.hex();
        facts.path = dir / ("song" + std::to_string(song) + ".flac");
        library::stage_row stage;
        stage.edition = "standard";
        stage.difficulty = "hard";
        lib.record_prepared(facts, stage);
        library::result_row run;
        run.song_hash = hash.hex();
        run.edition = "standard";
        run.difficulty = "hard";
        run.session = session;
        run.run = 1;
        run.hits = 3;
        run.score = 900;
        run.ratio = 20;
        lib.record_session({run}, session + ".vrp", 0);
    }
    // The second song's stage was made again since (a new format): its best cannot be verified.
    const std::string remade = server_test::stage_bytes(77, 3);
    std::string why;
    ASSERT_TRUE(cache.store({2, 2}, key, {remade.begin(), remade.end()}, why)) << why;

    library::backlog b = library::queue_kept_bests(lib, url(), 100);
    EXPECT_EQ(b.queued, 1u);
    ASSERT_EQ(b.skipped.size(), 1u);
    EXPECT_NE(b.skipped[0].find("song2.flac"), std::string::npos) << b.skipped[0];
    EXPECT_EQ(library::queue_kept_bests(lib, url(), 101).queued, 0u) << "queued twice";

    const online::account a{url(), "Kim_offline", kim.token};
    EXPECT_EQ(online::send_queue(lib, a, 100, false).sent, 1u);
    library::submission s = library::all_submissions(lib, url()).at(0);
    for (int i = 0; i < 300 && s.state == library::submission_state::pending; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        online::send_queue(lib, a, 100, false);
        s = library::all_submissions(lib, url()).at(0);
    }
    EXPECT_EQ(s.session, "offline-1");
    EXPECT_EQ(s.state, library::submission_state::verified) << s.reason;
    const std::string first = vaz::hash_bytes(stages[0].data(), stages[0].size()).hex();
    EXPECT_EQ(online::client(url()).get_board(first, "standard", "hard", 10).players, 1);
    EXPECT_EQ(library::queue_kept_bests(lib, url(), 102).queued, 0u) << "a verified run queued again";
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
}

// Through doubles: libsndfile's MP3 writer turns 16-bit values into noise.
void write_mp3(const std::string& path, int rate, const std::vector<std::int16_t>& values) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<double> scaled(values.begin(), values.end());
    for (double& v : scaled) v /= 32768.0;
    sf_writef_double(f, scaled.data(), static_cast<sf_count_t>(scaled.size() / 2));
    sf_close(f);
}

TEST(OnlineServer, AFlacAndAnMp3OfOneRecordingFindOneBoard) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    constexpr int rate = 44100;
    test_sound::write_sound(dir / "song.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, 2, test_sound::melody(1, 40, rate));
    write_mp3(dir / "song.mp3", rate, test_sound::melody(1, 40, rate));
    test_sound::write_sound(dir / "other.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, 2, test_sound::melody(2, 40, rate));
    library::song_library lib(dir / "library.sqlite3");
    const stagecache::stage_cache cache(dir / "cache");
    struct prepared {
        library::prepare_outcome how;
        std::string fingerprint;
    };
    const auto prepare = [&](const std::string& name) {
        prepared p;
        p.how = library::prepare_song(dir / name, converter::edition::standard, converter::difficulty::hard, 2, cache,
                                      &lib, {});
        EXPECT_EQ(p.how.status, library::prepare_status::prepared) << name << ": " << p.how.error;
        p.fingerprint = lib.fingerprint(p.how.hash.hex());
        EXPECT_FALSE(p.fingerprint.empty()) << name;
        return p;
    };
    const prepared flac = prepare("song.flac"), mp3 = prepare("song.mp3"), other = prepare("other.flac");
    std::string flac_stage;
    {
        std::ifstream in(flac.how.stage_path, std::ios::binary);
        flac_stage.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::string stage_hash = vaz::hash_bytes(flac_stage.data(), flac_stage.size()).hex();
    ASSERT_NE(flac.how.hash.hex(), mp3.how.hash.hex());

    // The FLAC's player puts a run on its stage's board, fingerprint and all.
    const online::registered ada = online::client(url()).register_player("Ada_flac");
    ASSERT_TRUE(ada.how.ok) << ada.how.message;
    write_file(dir / "rec.session", server_test::replay_bytes(flac_stage, 31, {{3, 700}}));
    ASSERT_EQ(library::queue_submission(lib, dir / "rec.session", "sess-flac", flac.how.hash.hex(), library::stage_choice{},
                                        flac.how.stage_path, url(), 100),
              "");
    EXPECT_EQ(online::send_queue(lib, {url(), "Ada_flac", ada.token}, 100, false).sent, 1u);
    library::submission s = library::all_submissions(lib, url()).at(0);
    for (int i = 0; i < 300 && s.state != library::submission_state::verified; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        online::send_queue(lib, {url(), "Ada_flac", ada.token}, 100, false);
        s = library::all_submissions(lib, url()).at(0);
    }
    ASSERT_EQ(s.state, library::submission_state::verified) << s.reason;

    const online::client c(url());
    const online::versions from_mp3 = c.recordings(mp3.fingerprint, 40000);
    ASSERT_TRUE(from_mp3.how.ok) << from_mp3.how.message;
    ASSERT_EQ(from_mp3.list.size(), 1u);
    EXPECT_EQ(from_mp3.list[0].stage, stage_hash);
    EXPECT_EQ(from_mp3.list[0].players, 1);
    EXPECT_EQ(from_mp3.list[0].edition + "/" + from_mp3.list[0].difficulty, "standard/hard");
    ASSERT_EQ(from_mp3.boards.size(), 1u);
    EXPECT_EQ(from_mp3.boards[0].stage, stage_hash);
    EXPECT_FALSE(from_mp3.boards[0].envelope) << "the FLAC's session sent none";

    // The MP3's own stage, sent by the client with an envelope, stays its own
    // board; the recording's board is still the FLAC's, verified first.
    online::session_upload up;
    up.stage = read_file(mp3.how.stage_path);
    up.replay = server_test::replay_bytes(up.stage, 32, {{3, 700}});
    up.edition = "standard";
    up.difficulty = "hard";
    up.fingerprint = mp3.fingerprint;
    up.length_ms = 40000;
    up.envelope = alignment::encode({{0x10, 0x80, 0xff}});
    const std::string mp3_hash = vaz::hash_bytes(up.stage.data(), up.stage.size()).hex();
    const online::sent_session sent = online::client(url(), ada.token).submit(up);
    ASSERT_TRUE(sent.how.ok) << sent.how.message;
    online::sent_session now = sent;
    for (int i = 0; i < 300 && now.status == "pending"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        now = c.session(sent.session);
    }
    ASSERT_EQ(now.status, "verified") << now.reason;
    const online::versions both = c.recordings(flac.fingerprint, 40000);
    ASSERT_TRUE(both.how.ok) << both.how.message;
    EXPECT_EQ(both.list.size(), 2u);
    ASSERT_EQ(both.boards.size(), 1u);
    EXPECT_EQ(both.boards[0].stage, stage_hash);
    EXPECT_EQ(c.get_board(mp3_hash, "standard", "hard", 10).recording_board, stage_hash)
        << "a copy's own board names the recording's";
    EXPECT_EQ(c.get_board(stage_hash, "standard", "hard", 10).recording_board, "");
    EXPECT_EQ(c.envelope(mp3_hash).bytes, up.envelope);
    EXPECT_EQ(c.envelope(stage_hash).how.status, 404);
    EXPECT_FALSE(c.envelope("not a hash").how.ok);
    up.envelope = up.envelope.substr(0, 6);
    const online::sent_session refused = online::client(url(), ada.token).submit(up);
    EXPECT_EQ(refused.how.status, 400);
    EXPECT_FALSE(refused.how.retry);
    EXPECT_TRUE(c.recordings(other.fingerprint, 40000).list.empty()) << "another recording";
    EXPECT_TRUE(c.recordings(mp3.fingerprint, 45000).list.empty()) << "5 s longer is another recording";
    const online::versions bad = c.recordings("not one", 40000);
    EXPECT_FALSE(bad.how.ok);
    EXPECT_EQ(bad.how.status, 400);
    unsetenv("XDG_DATA_HOME");
}

}  // namespace

namespace {

// A player's own folders, for velmora_play's command line and for this process.
struct player_home {
    std::string root;
    std::string env() const {
        return "env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER XDG_CONFIG_HOME='" + root +
               "/config' XDG_DATA_HOME='" + root + "/data' XDG_CACHE_HOME='" + root + "/cache' ";
    }
    void enter() const {
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    }
};

// Sends a player's queue until its one session has a verdict.
library::submission sent_and_verified(library::song_library& lib, const online::account& a) {
    EXPECT_EQ(online::send_queue(lib, a, 100, false).sent, 1u);
    library::submission s = library::all_submissions(lib, a.server).at(0);
    for (int i = 0; i < 300 && s.state != library::submission_state::verified; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        online::send_queue(lib, a, 100, false);
        s = library::all_submissions(lib, a.server).at(0);
    }
    return s;
}

}  // namespace

// One board for one recording: a copy with half a second of silence before
// the music, encoded lossily, plays the board's stage half a second later
// and its run lands on that board; offline it plays its own stage.
TEST(OnlineServer, ACopyWithALeadInPlaysTheBoardsStageAlignedAndJoinsItsBoard) {
    test_support::scratch_dir dir;
    const player_home first{dir / "first"}, second{dir / "second"};
    std::string why;
    const std::vector<std::int16_t> music = song::render(0);
    std::vector<std::int16_t> later(song::sample_rate * song::channel_count / 2, 0);
    later.insert(later.end(), music.begin(), music.end());
    ASSERT_TRUE(song::write_song(dir / "song.wav", music, why)) << why;
    ASSERT_TRUE(song::write_song(dir / "copy.ogg", later, why)) << why;

    // The first player's verified run makes the board, with the envelope of the file its stage came from.
    first.enter();
    std::string stage_hash, problem;
    {
        const std::unique_ptr<library::song_library> kept = library::open_library(problem);
        ASSERT_TRUE(kept) << problem;
        library::song_library& lib = *kept;
        const stagecache::stage_cache cache(userfiles::cache_dir());
        const library::prepare_outcome p = library::prepare_song(dir / "song.wav", converter::edition::standard,
                                                                 converter::difficulty::hard, 2, cache, &lib, {});
        ASSERT_EQ(p.status, library::prepare_status::prepared) << p.error;
        const std::string stage = file_bytes(p.stage_path);
        stage_hash = vaz::hash_bytes(stage.data(), stage.size()).hex();
        write_file(dir / "first.session", server_test::replay_bytes(stage, 41, {{2, 800}}));
        ASSERT_EQ(library::queue_submission(lib, dir / "first.session", "sess-first", p.hash.hex(),
                                            library::stage_choice{}, p.stage_path, url(), 100),
                  "");
        const online::registered ada = online::client(url()).register_player("Ada_board");
        ASSERT_TRUE(ada.how.ok) << ada.how.message;
        const library::submission s = sent_and_verified(lib, {url(), "Ada_board", ada.token});
        ASSERT_EQ(s.state, library::submission_state::verified) << s.reason;
        EXPECT_FALSE(online::client(url()).envelope(stage_hash).bytes.empty()) << "no envelope went with the stage";
    }

    // The copy's player: its own stage offline, the board's half a second later online.
    int status = 0;
    const std::string play = second.env() + program("velmora_play") + " --edition standard --difficulty hard '" +
                             dir / "copy.ogg" + "' 2>&1";
    std::string out = test_support::shell_output(play, status);
    const std::size_t own_at = out.find("the stage is ready: ");
    ASSERT_NE(own_at, std::string::npos) << out;
    EXPECT_EQ(out.find(stage_hash), std::string::npos) << out;
    EXPECT_EQ(out.find("-align="), std::string::npos) << out;
    out = test_support::shell_output(second.env() + program("velmora_play") + " --online " + url() +
                                         " --player Bo_copy 2>&1 && " + play, status);
    const std::size_t align_at = out.find("-align=");
    ASSERT_NE(align_at, std::string::npos) << out;
    EXPECT_NE(out.find("/boards/" + stage_hash + ".pat"), std::string::npos) << out;
    EXPECT_NEAR(std::atoi(out.c_str() + align_at + 7), 500, 5) << out;

    // The copy's run, on the board's stage, lands on the same board.
    second.enter();
    {
        const std::unique_ptr<library::song_library> kept = library::open_library(problem);
        ASSERT_TRUE(kept) << problem;
        library::song_library& lib = *kept;
        const std::string board_file = online::board_stage_file(stage_hash);
        write_file(dir / "second.session", server_test::replay_bytes(file_bytes(board_file), 42, {{1, 900}}));
        std::string song_hash;
        for (const library::song_row& r : lib.songs()) song_hash = r.hash;
        ASSERT_EQ(library::queue_submission(lib, dir / "second.session", "sess-second", song_hash,
                                            library::stage_choice{}, board_file, url(), 100),
                  "");
        const std::optional<online::account> bo = online::load_account(problem);
        ASSERT_TRUE(bo) << problem;
        const library::submission s = sent_and_verified(lib, *bo);
        ASSERT_EQ(s.state, library::submission_state::verified) << s.reason;
        EXPECT_EQ(online::client(url()).get_board(stage_hash, "standard", "hard", 10).players, 2);
    }
    // The game plays that run on the copy headless, on the board's stage (the
    // replay names it: another stage is refused) at the measured alignment.
    const std::string game = "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy " + program("velmora") + " '" +
                             dir / "copy.ogg" + "' '" + online::board_stage_file(stage_hash) + "' -window -align=" +
                             std::to_string(std::atoi(out.c_str() + align_at + 7)) + " -replay='" + dir / "second.session" + "'";
    out = test_support::shell_output(game + " 2>&1", status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    out = test_support::shell_output(game + " -align=30001 2>&1", status);
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
}
