// The real game binary started the way a player starts it, under the dummy
// drivers: every start-up failure gives one line on standard error and status
// 1; a good start reaches the frame loop and leaves it cleanly.
#include <SDL.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "results/replay_file.hpp"
#include "support/scratch.hpp"

namespace {

using shell_test::scratch_dir;
using shell_test::write_bytes;

std::string build_dir() {
    const char* dir = std::getenv("VELMORA_BUILD_DIR");
    return dir ? dir : VELMORA_DEFAULT_BUILD_DIR;
}

struct run_options {
    std::string cwd;
    std::vector<std::string> env;  // NAME=value, on top of the dummy drivers
    std::string program = build_dir() + "/velmora";
    double timeout_s = 20;
    double terminate_after_s = -1;  // send SIGTERM (a quit request) this long after start
    double kill_after_s = -1;       // send SIGKILL this long after start
};

struct run_result {
    int status = -1;      // exit status, -1 when killed by a signal
    int signal = 0;
    bool timed_out = false;
    bool alive_at_terminate = false;
    std::string err;
    std::string out;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

run_result run_velmora(const std::vector<std::string>& args, const run_options& opt) {
    const std::string err_file = opt.cwd + "/.stderr";
    const std::string out_file = opt.cwd + "/.stdout";
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        if (chdir(opt.cwd.c_str()) != 0) _exit(126);
        const int null_fd = open("/dev/null", O_RDWR);
        const int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int out_fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        for (const std::string& e : opt.env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(opt.program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    run_result r;
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    bool terminated = false;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
        if (!terminated && opt.terminate_after_s >= 0 && elapsed >= opt.terminate_after_s) {
            terminated = true;
            r.alive_at_terminate = true;
            kill(pid, SIGTERM);
        }
        if (opt.kill_after_s >= 0 && elapsed >= opt.kill_after_s) {
            r.alive_at_terminate = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        if (elapsed >= opt.timeout_s) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    r.err = read_file(err_file);
    r.out = read_file(out_file);
    return r;
}

int count_lines(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

// A 160x130 sheet of cyan, enough for the start-up to accept it.
void write_sheet(const std::string& path) {
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, 160, 130, 24, 0xff0000, 0x00ff00, 0x0000ff, 0);
    ASSERT_NE(s, nullptr);
    SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 0, 255, 255));
    ASSERT_EQ(SDL_SaveBMP(s, path.c_str()), 0);
    SDL_FreeSurface(s);
}

// A stage folder: data/p.bmp, a short song and a one-group pattern file.
class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir((dir / "data").c_str(), 0755), 0);
        write_sheet(dir / "data/p.bmp");
        shell_test::write_wav(dir / "song.wav", 44100, [](std::uint32_t k) { return (k % 100) * 100; });
        write_bytes(dir / "song.pat", {0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x3f, 0xff, 0xff, 0xff, 0xff});
        opt.cwd = dir.path();
    }

    // Expects status 1 and exactly one line on standard error holding every
    // one of the given words.
    void expect_failure(const std::vector<std::string>& args, const std::vector<std::string>& words) {
        const run_result r = run_velmora(args, opt);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1) << "signal " << r.signal << ", standard error:\n" << r.err;
        EXPECT_EQ(count_lines(r.err), 1) << r.err;
        EXPECT_EQ(r.err.rfind("velmora: ", 0), 0u) << r.err;
        for (const std::string& w : words) EXPECT_NE(r.err.find(w), std::string::npos) << "no \"" << w << "\" in " << r.err;
    }

    void expect_frame_loop(const std::vector<std::string>& args) {
        opt.terminate_after_s = 1.5;
        const run_result r = run_velmora(args, opt);
        EXPECT_TRUE(r.alive_at_terminate) << "ended before the quit request: status " << r.status << "\n" << r.err;
        EXPECT_FALSE(r.timed_out) << "the quit request was not polled";
        EXPECT_EQ(r.status, 0) << "signal " << r.signal << "\n" << r.err;
        EXPECT_EQ(r.err.find("velmora:"), std::string::npos) << r.err;
    }

    scratch_dir dir;
    run_options opt;
};

}  // namespace

TEST_F(Startup, NormalStartReachesTheFrameLoopAndQuitsWithStatusZero) {
    expect_frame_loop({"song.wav", "song.pat", "-window"});
}

TEST_F(Startup, DemoStartReachesTheFrameLoop) {
    expect_frame_loop({});
}

// --help and --version, alone, answer at once: no audio device needed.
TEST_F(Startup, HelpAndVersionAloneExitZeroWithoutAudio) {
    opt.env = {"SDL_AUDIODRIVER=no_such_driver"};
    opt.timeout_s = 5;
    for (const char* a : {"--help", "--version"}) {
        const run_result r = run_velmora({a}, opt);
        EXPECT_FALSE(r.timed_out) << a;
        EXPECT_EQ(r.status, 0) << a << "\n" << r.err;
        EXPECT_EQ(r.err, "") << a;
    }
}

TEST_F(Startup, AnyOtherSingleArgumentStillRunsTheDemo) {
    expect_frame_loop({"--help=x"});
}

TEST_F(Startup, MissingMusicFileEndsTheGameEvenWithAGoodPatternFile) {
    expect_failure({"missing.wav", "song.pat", "-window"}, {"music file", "\"missing.wav\"", "No such file"});
}

TEST_F(Startup, MissingMusicFileEndsTheGameBeforeThePatternFileIsOpened) {
    // Opening a FIFO with no writer blocks: the run would hang if the pattern
    // file were touched.
    ASSERT_EQ(mkfifo((dir / "blocking.pat").c_str(), 0644), 0);
    opt.timeout_s = 10;
    expect_failure({"missing.wav", "blocking.pat", "-window"}, {"music file", "\"missing.wav\""});
}

TEST_F(Startup, UndecodableMusicFileIsReported) {
    write_bytes(dir / "text.wav", {'h', 'e', 'l', 'l', 'o', '\n'});
    expect_failure({"text.wav", "song.pat", "-window"},
                   {"music file", "\"text.wav\"", "not a sound file that can be decoded"});
}

TEST_F(Startup, BadPatternFilesAreReportedWithWhatIsWrong) {
    write_bytes(dir / "empty.pat", {});
    write_bytes(dir / "count0.pat", {0x00, 0xff, 0xff, 0xff, 0xff});
    write_bytes(dir / "count3.pat", {0x03, 0xff, 0xff, 0xff, 0xff});
    write_bytes(dir / "one_terminator.pat", {0x02, 0xff, 0xff, 0xff, 0xff});
    write_bytes(dir / "cut.pat", {0x01, 0x05, 0, 0, 0, 0, 0, 0xc0});
    expect_failure({"song.wav", "missing.pat"}, {"pattern file", "\"missing.pat\"", "No such file"});
    expect_failure({"song.wav", "empty.pat"}, {"\"empty.pat\"", "empty"});
    expect_failure({"song.wav", "count0.pat"}, {"\"count0.pat\"", "0 groups", "1 or 2"});
    expect_failure({"song.wav", "count3.pat"}, {"\"count3.pat\"", "3 groups", "1 or 2"});
    expect_failure({"song.wav", "one_terminator.pat"}, {"\"one_terminator.pat\"", "terminator of group 2"});
    expect_failure({"song.wav", "cut.pat", "-window"}, {"\"cut.pat\"", "inside a record"});
}

TEST_F(Startup, UnreadableSpriteSheetIsReported) {
    write_bytes(dir / "data/p.bmp", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'});
    expect_failure({"song.wav", "song.pat", "-window"}, {"sprite sheet", "p.bmp", "not a readable image"});
    expect_failure({}, {"sprite sheet", "p.bmp"});
}

TEST_F(Startup, MissingSpriteSheetIsReportedInDemoAndNormalStart) {
    if (access(INSTALLED_SPRITE_SHEET, F_OK) == 0) GTEST_SKIP() << "a sheet is installed at " INSTALLED_SPRITE_SHEET;
    // The game also looks beside its own folder, so run a copy that has no
    // data folder near it.
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "run").c_str(), 0755), 0);
    {
        std::ifstream in(build_dir() + "/velmora", std::ios::binary);
        std::ofstream out(dir / "bin/velmora", std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(chmod((dir / "bin/velmora").c_str(), 0755), 0);
    ASSERT_EQ(std::remove((dir / "data/p.bmp").c_str()), 0);
    ASSERT_EQ(rmdir((dir / "data").c_str()), 0);
    opt.program = dir / "bin/velmora";
    opt.cwd = dir / "run";
    expect_failure({dir / "song.wav", dir / "song.pat", "-window"}, {"sprite sheet", "data/p.bmp"});
    expect_failure({}, {"sprite sheet", "data/p.bmp"});
    // With a missing music file the music is reported first.
    expect_failure({dir / "missing.wav", dir / "song.pat"}, {"music file"});
}

// The build folder holds the data beside its programs, as an install does,
// so the built game runs from any folder wherever the build folder is.
TEST_F(Startup, TheBuiltGameFindsItsDataFromAnyFolder) {
    EXPECT_EQ(read_file(build_dir() + "/data/p.bmp"), read_file(VELMORA_SOURCE_DIR "/data/p.bmp"));
    ASSERT_EQ(mkdir((dir / "run").c_str(), 0755), 0);
    opt.cwd = dir / "run";
    expect_frame_loop({});
}

TEST_F(Startup, NoAudioDeviceEndsTheGameWithAMessage) {
    opt.env.push_back("SDL_AUDIODRIVER=no_such_driver");
    expect_failure({"song.wav", "song.pat", "-window"}, {"audio output device"});
}

TEST_F(Startup, RefusedVideoModeEndsTheGameWithAMessage) {
#ifdef VELMORA_SANITIZED
    GTEST_SKIP() << "a sanitized game cannot have a library preloaded";
#endif
    opt.env.push_back(std::string("LD_PRELOAD=") + FAIL_VIDEO_MODE_LIB);
    expect_failure({"song.wav", "song.pat", "-window"}, {"640x480 32-bit video mode"});
}

// A session fed from a replay while it is recorded: the run ends the same way
// each time, and the recording is the replay byte for byte up to the update
// that left the result screen, so every update saw exactly the recorded keys;
// it adds where the run started, showed its result and ended. One tracer at 4 pixels per update comes back
// through the resting ship; Return starts the run, Space leaves the result.
// The recorded offset is replayed and recorded again unless -offset= is given.
TEST_F(Startup, AReplayedSessionIsRecordedAsTheSameFileAndEndsItsRunTheSameWay) {
    write_bytes(dir / "fast.pat", {0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x40, 0xff, 0xff, 0xff, 0xff});
    results::replay r;
    r.seed = 4242;
    r.offset_ms = 100;
    std::string error;
    ASSERT_TRUE(results::hash_file(dir / "fast.pat", r.pattern, error)) << error;
    constexpr std::uint32_t space = 1u << 0, enter = 1u << 2, before = 1u << results::replay_key_count;
    auto add = [&r](std::uint32_t keys, int updates) {
        for (int i = 0; i < updates; ++i) results::append_update(r, keys);
    };
    add(0, 10);
    add(enter, 1);  // update 11 starts the run
    add(enter | enter * before, 2);
    add(enter * before, 1);
    add(0, 230);
    add(space, 1);  // update 245 leaves the result screen: the recording ends here
    results::replay recorded = r;
    add(0, 5);  // on the title again, where the replay ends
    ASSERT_EQ(results::write_replay_file(dir / "session.vrp", r), "");

    opt.timeout_s = 30;
    const run_result first =
        run_velmora({"song.wav", "fast.pat", "-window", "-replay=session.vrp", "-record=again.vrp"}, opt);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out.find("velmora: run 1 ended: 1 hits, score "), 0u) << first.out;
    EXPECT_NE(first.out.find("velmora: wrote replay \"again.vrp\": 1 run, 245 updates, "), std::string::npos)
        << first.out;
    results::replay again;
    ASSERT_EQ(results::read_replay_file(dir / "again.vrp", again).status, results::replay_status::ok);
    ASSERT_EQ(again.finished_runs.size(), 1u);
    const results::run_summary& run = again.finished_runs[0];
    EXPECT_EQ(run.start_update, 11u);
    EXPECT_GT(run.result_update, 11u);
    EXPECT_LT(run.result_update, 245u - 60u) << "the result screen takes keys after 60 updates";
    EXPECT_EQ(run.end_update, 245u);
    EXPECT_EQ(run.hits, 1);
    EXPECT_EQ("velmora: run 1 ended: 1 hits, score " + std::to_string(run.score) + "\n",
              first.out.substr(0, first.out.find('\n') + 1));
    recorded.finished_runs = again.finished_runs;
    const std::vector<std::uint8_t> recorded_bytes = results::encode_replay(recorded);
    EXPECT_EQ(read_file(dir / "again.vrp"), std::string(recorded_bytes.begin(), recorded_bytes.end()));

    const run_result second =
        run_velmora({"song.wav", "fast.pat", "-window", "-replay=again.vrp", "-offset=-20", "-record=third.vrp"}, opt);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out.substr(0, second.out.find('\n') + 1), first.out.substr(0, first.out.find('\n') + 1));
    results::replay third;
    ASSERT_EQ(results::read_replay_file(dir / "third.vrp", third).status, results::replay_status::ok);
    EXPECT_EQ(third.offset_ms, -20);
    EXPECT_EQ(third.update_count, 245u);

    // A replay whose run now goes otherwise than recorded says so.
    again.finished_runs[0].hits = 2;
    ASSERT_EQ(results::write_replay_file(dir / "tampered.vrp", again), "");
    const run_result tampered = run_velmora({"song.wav", "fast.pat", "-window", "-replay=tampered.vrp"}, opt);
    EXPECT_EQ(tampered.status, 0) << tampered.err;
    EXPECT_EQ(tampered.err, "velmora: run 1 of the replay went otherwise than recorded: hits 1, recorded 2 (1 hits, score " +
                                std::to_string(again.finished_runs[0].score) + " after " +
                                std::to_string(results::frames_played(again.finished_runs[0])) + " updates)\n");
    // A run that starts later than recorded, its counters alike, names the start.
    again.finished_runs[0].hits = 1;
    again.finished_runs[0].start_update -= 1;
    ASSERT_EQ(results::write_replay_file(dir / "shifted.vrp", again), "");
    const run_result shifted = run_velmora({"song.wav", "fast.pat", "-window", "-replay=shifted.vrp"}, opt);
    EXPECT_NE(shifted.err.find("went otherwise than recorded: started at update " +
                               std::to_string(again.finished_runs[0].start_update + 1) + ", recorded " +
                               std::to_string(again.finished_runs[0].start_update) + " ("),
              std::string::npos)
        << shifted.err;
}

// Killed on the result screen, the game has already kept the finished run.
TEST_F(Startup, AGameKilledOnTheResultScreenKeepsItsRecordedRun) {
    write_bytes(dir / "fast.pat", {0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x40, 0xff, 0xff, 0xff, 0xff});
    results::replay r;
    std::string error;
    ASSERT_TRUE(results::hash_file(dir / "fast.pat", r.pattern, error)) << error;
    const std::uint32_t enter = 1u << 2, before = 1u << results::replay_key_count;
    for (std::uint32_t keys : {0u, 0u, 0u, 0u, 0u, enter, enter * before}) results::append_update(r, keys);
    for (int i = 0; i < 2000; ++i) results::append_update(r, 0);  // about 30 s of result screen
    ASSERT_EQ(results::write_replay_file(dir / "session.vrp", r), "");

    opt.kill_after_s = 6;
    const run_result killed =
        run_velmora({"song.wav", "fast.pat", "-window", "-replay=session.vrp", "-record=kept.vrp"}, opt);
    ASSERT_EQ(killed.signal, SIGKILL) << "status " << killed.status << "\n" << killed.err;
    results::replay kept;
    const results::replay_read_result read = results::read_replay_file(dir / "kept.vrp", kept);
    ASSERT_EQ(read.status, results::replay_status::ok) << results::describe_replay_failure("kept.vrp", read);
    // Up to the update that showed the result screen: the start, then idle
    // until the last event was fired (tracers still out do not hold it back).
    ASSERT_EQ(kept.runs.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kept.runs[i].keys, r.runs[i].keys);
    EXPECT_EQ(kept.runs[3].keys, 0u);
    EXPECT_LT(kept.update_count, 20u);
    // The run as the result screen first showed it, not yet ended.
    ASSERT_EQ(kept.finished_runs.size(), 1u);
    EXPECT_EQ(kept.finished_runs[0].start_update, 6u);
    EXPECT_EQ(kept.finished_runs[0].result_update, kept.update_count);
    EXPECT_EQ(kept.finished_runs[0].end_update, 0u);
    for (const std::string& name : dir.entries()) EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
}

TEST_F(Startup, ASessionQuitBeforeAnyRunEndedWritesNoReplay) {
    opt.terminate_after_s = 1.5;
    const run_result r = run_velmora({"song.wav", "song.pat", "-window", "-record=run.vrp"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "velmora: no run was finished, so \"run.vrp\" was not written\n");
    EXPECT_NE(access((dir / "run.vrp").c_str(), F_OK), 0);
}
