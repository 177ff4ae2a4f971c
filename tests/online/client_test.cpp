// The game's side of the scoreboard server without PostgreSQL: a tiny local
// server answering garbage, too much, too slowly or not at all; the account
// file; the song library's queue through offline, refusals and a server
// back again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <httplib.h>
#include <thread>
#include <tuple>

#include "alignment/alignment.hpp"
#include "library/envelopes.hpp"
#include "library/play_session.hpp"
#include "library/prepare.hpp"
#include "library/submissions.hpp"
#include "online/account.hpp"
#include "online/board_stage.hpp"
#include "online/boards.hpp"
#include "online/client.hpp"
#include "online/sender.hpp"
#include "server/server_helpers.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"
#include "tools/song/song.hpp"
#include "vaz/files.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

// An HTTP server on a free port of 127.0.0.1 answering every request with `handler`.
class tiny_server {
public:
    explicit tiny_server(httplib::Server::Handler handler) {
        server_.Get(".*", handler);
        server_.Post(".*", handler);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 2000 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~tiny_server() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

// A server on a raw socket that sends a status line, then a header's bytes
// one every 50 ms for ever (until stopped): no HTTP library would.
class dribbling_server {
public:
    dribbling_server() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 4);
        thread_ = std::thread([this] {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            ::send(c, "HTTP/1.1 200 OK\r\nX-Slow: ", 25, MSG_NOSIGNAL);
            for (int i = 0; i < 400 && !stop_; ++i) {
                if (::send(c, "a", 1, MSG_NOSIGNAL) != 1) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ::close(c);
        });
    }
    ~dribbling_server() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port nothing listens on: one just given up, so connecting is refused.
std::string closed_url() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

online::limits quick() {
    online::limits l;
    l.connect_ms = 1000;
    l.answer_ms = 1500;
    l.json_bytes = 64 * 1024;
    return l;
}

TEST(Client, BadServersCostAtMostTheDeadlineAndNeverCount) {
    const std::string huge(1 << 20, 'x');
    struct row {
        const char* what;
        httplib::Server::Handler handler;
        bool retry;
        const char* message;
    };
    const std::vector<row> rows = {
        {"garbage", [](const auto&, auto& res) { res.set_content("<html>\x01\xff{", "text/html"); }, true,
         "not its API"},
        {"JSON but not an object", [](const auto&, auto& res) { res.set_content("[1,2]", "application/json"); }, true,
         "not its API"},
        {"a huge body", [&](const auto&, auto& res) { res.set_content(huge, "application/json"); }, true,
         "answered more than"},
        {"a huge body without a length",
         [](const auto&, auto& res) {
             res.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink& sink) {
                 const std::string block(64 * 1024, '{');
                 for (int i = 0; i < 64 && sink.is_writable(); ++i) sink.write(block.data(), block.size());
                 sink.done();
                 return true;
             });
         },
         true, "answered more than"},
        {"a body dribbled for ever",
         [](const auto&, auto& res) {
             res.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink& sink) {
                 for (int i = 0; i < 100 && sink.is_writable(); ++i) {
                     sink.write(" ", 1);
                     std::this_thread::sleep_for(std::chrono::milliseconds(50));
                 }
                 sink.done();
                 return true;
             });
         },
         true, "longer than"},
        {"no answer in time", [](const auto&, auto& res) {
             std::this_thread::sleep_for(std::chrono::milliseconds(2500));
             res.set_content("{}", "application/json");
         }, true, "longer than 1.5 s"},
        {"a server error", [](const auto&, auto& res) { res.status = 503; }, true, "answered 503"},
        {"too many requests",
         [](const auto&, auto& res) {
             res.status = 429;
             res.set_header("Retry-After", "7");
             res.set_content(R"({"error":"rate_limited","message":"slow down"})", "application/json");
         },
         true, "answered 429: slow down"},
        {"a refusal", [](const auto&, auto& res) {
             res.status = 422;
             res.set_content(R"({"error":"invalid_field","message":"bad edition"})", "application/json");
         }, false, "answered 422: bad edition"},
    };
    for (const row& r : rows) {
        tiny_server s(r.handler);
        const online::client c(s.url(), "t0k", quick());
        const auto start = clock_type::now();
        const online::registered reg = c.register_player("Mira");
        const online::board b = c.get_board(std::string(32, 'a'), "standard", "hard", 10);
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        EXPECT_FALSE(reg.how.ok) << r.what;
        EXPECT_TRUE(reg.token.empty()) << r.what;
        EXPECT_FALSE(b.how.ok) << r.what;
        EXPECT_EQ(reg.how.retry, r.retry) << r.what;
        EXPECT_NE(reg.how.message.find(r.message), std::string::npos) << r.what << ": " << reg.how.message;
        // Two calls, each bounded by its deadline (with the server's own slack).
        EXPECT_LT(seconds, 2 * 2.6) << r.what;
        if (std::string(r.what) == "too many requests") {
            EXPECT_EQ(reg.how.retry_after, 7);
        }
    }
    {
        dribbling_server slow;
        const auto start = clock_type::now();
        const online::sent_session r = online::client(slow.url(), "", quick()).session(1);
        EXPECT_FALSE(r.how.ok);
        EXPECT_TRUE(r.how.retry);
        EXPECT_LT(std::chrono::duration<double>(clock_type::now() - start).count(), 2.6) << "headers dribbled for ever";
    }
    const online::client gone(closed_url(), "", quick());
    const online::sent_session none = gone.session(1);
    EXPECT_FALSE(none.how.ok);
    EXPECT_TRUE(none.how.retry);
    EXPECT_EQ(none.how.status, 0);
}

// A board's own place read with whether the server only estimated it, and
// shown so; an entry without the field (an older server) is exact.
TEST(Client, ReadsAnEstimatedPlaceAndShowsItAsSuch) {
    tiny_server s([](const auto&, auto& res) {
        res.set_content(R"({"entries":[{"rank":1,"player":"ada","ratio":2.5}],"players":2000000,)"
                        R"("you":{"rank":1234567,"player":"dee","ratio":0.5,"rank_estimate":true}})",
                        "application/json");
    });
    const online::board b = online::client(s.url(), "t0k", quick()).get_board(std::string(32, 'a'), "standard", "hard", 10);
    ASSERT_TRUE(b.how.ok) << b.how.message;
    ASSERT_TRUE(b.you.has_value());
    EXPECT_TRUE(b.you->rank_estimate);
    EXPECT_EQ(b.you->rank, 1234567);
    ASSERT_EQ(b.entries.size(), 1u);
    EXPECT_FALSE(b.entries[0].rank_estimate);
    const std::vector<std::tuple<std::int64_t, bool, const char*>> rows = {
        {7, false, "7"}, {12345, false, "12345"}, {12, true, "~12"}, {123, true, "~123"},
        {1234, true, "~1,234"}, {1234567, true, "~1,234,567"}};
    for (const auto& [rank, estimate, text] : rows) EXPECT_EQ(online::place_text(rank, estimate), text);
}

// An envelope is at most some 120 KB: a server answering far more for one
// costs the client no more than that bound, whatever a file may be.
TEST(Client, AnEnvelopeFarLargerThanOneIsDropped) {
    const std::string huge(300 * 1024, 'e');
    tiny_server s([&](const auto&, auto& res) { res.set_content(huge, "application/octet-stream"); });
    const online::download d = online::client(s.url(), "", quick()).envelope(std::string(32, 'a'));
    EXPECT_FALSE(d.how.ok);
    EXPECT_TRUE(d.bytes.empty());
    EXPECT_NE(d.how.message.find("answered more than"), std::string::npos) << d.how.message;
}

// A stage's hash names a file in the player's cache: a server's recording
// answer gets through only with hashes of the one form the game makes.
TEST(Client, ARecordingsAnswerKeepsOnlyStageHashes) {
    tiny_server s([](const auto&, auto& res) {
        res.set_content(R"({"boards":[{"stage":"../../../../../../../../../x.pat","edition":"dynamics"},)"
                        R"({"stage":"0123456789ABCDEF0123456789ABCDEF","edition":"dynamics"},)"
                        R"({"stage":"0123456789abcdef0123456789abcdef","edition":"dynamics"}],"stages":[]})",
                        "application/json");
    });
    const online::versions v = online::client(s.url(), "", quick()).recordings("AQAA", 1000);
    ASSERT_TRUE(v.how.ok) << v.how.message;
    ASSERT_EQ(v.boards.size(), 1u);
    EXPECT_EQ(v.boards[0].stage, "0123456789abcdef0123456789abcdef");
}

TEST(Client, RefusesAddressesItCannotUse) {
    for (const char* bad : {"ftp://h", "127.0.0.1:8029", "http://", "http://a b", ""})
        EXPECT_FALSE(online::client::check_address(bad).empty()) << bad;
    for (const char* good : {"http://127.0.0.1:8029", "https://scores.example/velmora/", "http://h"})
        EXPECT_EQ(online::client::check_address(good), "") << good;
    // Never a request for a board that is not a board's name.
    const online::board b = online::client("http://127.0.0.1:1").get_board("../../etc", "standard", "hard", 10);
    EXPECT_FALSE(b.how.ok);
    EXPECT_EQ(b.how.status, 0);
}

TEST(Account, KeptForThePlayerAloneWrittenWholeAndForgotten) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1), 0);
    const online::account a{"http://127.0.0.1:8029", "Mira", "0123abcd"};
    ASSERT_EQ(online::save_account(a), "");
    struct stat st {};
    ASSERT_EQ(stat(online::account_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string problem;
    const std::optional<online::account> back = online::load_account(problem);
    ASSERT_TRUE(back.has_value()) << problem;
    EXPECT_EQ(back->server + " " + back->player + " " + back->token, "http://127.0.0.1:8029 Mira 0123abcd");
    // Only the account file, no temporary left beside it.
    EXPECT_EQ(dir.entries().size(), 1u);
    EXPECT_NE(online::save_account({"http://h", "Mi\nra", "t"}), "");
    EXPECT_EQ(online::load_account(problem)->player, "Mira") << "a refused account leaves the old one";
    EXPECT_EQ(online::forget_account(), "");
    problem.clear();
    EXPECT_FALSE(online::load_account(problem).has_value());
    EXPECT_EQ(problem, "") << "no file is offline, not a problem";
    ASSERT_EQ(::mkdir((dir / "velmora").c_str(), 0700) == 0 || errno == EEXIST, true);
    FILE* f = std::fopen(online::account_path().c_str(), "w");
    std::fputs("server = http://h\n", f);
    std::fclose(f);
    EXPECT_FALSE(online::load_account(problem).has_value());
    EXPECT_NE(problem.find("names no server or token"), std::string::npos);
    unsetenv("XDG_CONFIG_HOME");
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// What a fake scoreboard answers a submission, then a question about it.
struct fake_answer {
    int status;
    std::string body;
};

TEST(Queue, KeepsEverySessionUntilTheServerTakesItAndThenItsVerdict) {
    struct row {
        const char* what;
        std::optional<fake_answer> submit;  // nothing: no server at all
        library::submission_state state;    // after the pass
        bool copies_kept;
        const char* reason;
        const char* poll = R"({"status":"verified","runs":[]})";  // what the session's page says after
    };
    const std::vector<row> rows = {
        {"offline", std::nullopt, library::submission_state::queued, true, "no answer"},
        {"server error", fake_answer{500, "{}"}, library::submission_state::queued, true, "answered 500"},
        {"rate limited", fake_answer{429, R"({"message":"later"})"}, library::submission_state::queued, true, "later"},
        {"garbage", fake_answer{202, "<html>"}, library::submission_state::queued, true, "not its API"},
        {"refused", fake_answer{422, R"({"message":"bad stage"})"}, library::submission_state::rejected, false, "bad stage"},
        {"taken", fake_answer{202, R"({"session":5,"status":"pending"})"}, library::submission_state::verified, false, ""},
        {"taken, then not verifiable by the server", fake_answer{202, R"({"session":5,"status":"pending"})"},
         library::submission_state::queued, true, "signal 11", R"({"status":"unverified","reason":"signal 11","runs":[]})"},
    };
    for (const row& r : rows) {
        test_support::scratch_dir dir;
        ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
        library::song_library lib(dir / "library.sqlite3");
        const std::string stage = server_test::stage_bytes(40);
        write_file(dir / "stage.pat", stage);
        write_file(dir / "rec.session", server_test::replay_bytes(stage, 11, {{5, 900}}));
        const std::string session = std::string(32, 'c') + "-standard-100-4242";
        std::unique_ptr<tiny_server> s;
        if (r.submit)
            s = std::make_unique<tiny_server>([&](const httplib::Request& req, httplib::Response& res) {
                if (req.method == "GET") return res.set_content(r.poll, "application/json");
                EXPECT_EQ(req.get_file_value("stage").content, stage) << r.what << ": the stage goes with it";
                EXPECT_EQ(req.get_file_value("difficulty").content, "hard") << r.what;
                res.status = r.submit->status;
                res.set_content(r.submit->body, "application/json");
            });
        const std::string server = s ? s->url() : closed_url();
        ASSERT_EQ(library::queue_submission(lib, dir / "rec.session", session, std::string(32, 'c'), library::stage_choice{},
                                            dir / "stage.pat", server, 100),
                  "");
        // The recording and stage may go now: the copies are what is sent.
        std::remove((dir / "rec.session").c_str());
        std::remove((dir / "stage.pat").c_str());

        const online::send_report report = online::send_queue(lib, {server, "Mira", "t0k"}, 1000, false, quick());
        const library::submission after = library::all_submissions(lib, server).at(0);
        EXPECT_EQ(library::state_name(after.state), std::string(library::state_name(r.state))) << r.what;
        EXPECT_NE(after.reason.find(r.reason), std::string::npos) << r.what << ": " << after.reason;
        struct stat st {};
        EXPECT_EQ(stat((library::outbox_dir() + "/" + session + ".vrp").c_str(), &st) == 0, r.copies_kept) << r.what;
        if (r.state == library::submission_state::queued) {
            EXPECT_EQ(report.waiting + report.answered, 1u) << r.what;
            EXPECT_GE(after.next_try_at, 1000 + library::retry_delay(0)) << r.what;
            EXPECT_TRUE(library::submissions_to_send(lib, server, 1001).empty()) << r.what << ": not due yet";
            EXPECT_EQ(library::submissions_to_send(lib, server, after.next_try_at).size(), 1u) << r.what;
        }
        unsetenv("XDG_DATA_HOME");
    }
}

TEST(Queue, AQueuedSessionGoesOutOnceTheServerIsBack) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    const std::string stage = server_test::stage_bytes(40);
    write_file(dir / "stage.pat", stage);
    write_file(dir / "rec.session", server_test::replay_bytes(stage, 11, {{5, 900}}));
    int submissions = 0;
    tiny_server s([&](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "POST") ++submissions;
        res.status = req.method == "POST" ? 202 : 200;
        res.set_content(R"({"session":9,"status":"pending"})", "application/json");
    });
    // The same address down first: queued, and tried again at the next start.
    const std::string server = s.url();
    {
        library::song_library lib(dir / "library.sqlite3");
        ASSERT_EQ(library::queue_submission(lib, dir / "rec.session", "sess-1", std::string(32, 'd'), library::stage_choice{}, dir / "stage.pat", server, 100),
                  "");
        online::send_report down = online::send_queue(lib, {closed_url(), "Mira", "t"}, 1000, false, quick());
        EXPECT_EQ(down.sent, 0u) << "another server's queue is not this one's";
        library::mark_retry(lib, library::all_submissions(lib, server).at(0), 5000, "no answer");
    }
    library::song_library lib(dir / "library.sqlite3");
    EXPECT_EQ(online::send_queue(lib, {server, "Mira", "t"}, 2000, false, quick()).sent, 0u) << "not due yet";
    const online::send_report r = online::send_queue(lib, {server, "Mira", "t"}, 2000, true, quick());
    EXPECT_EQ(r.sent, 1u);
    EXPECT_EQ(submissions, 1);
    EXPECT_EQ(library::all_submissions(lib, server).at(0).state, library::submission_state::pending);
    EXPECT_EQ(library::all_submissions(lib, server).at(0).server_session, 9);
    // Sent once: the next pass only asks after it.
    online::send_queue(lib, {server, "Mira", "t"}, 9000, true, quick());
    EXPECT_EQ(submissions, 1);
    unsetenv("XDG_DATA_HOME");
}

TEST(Queue, ASessionWithoutAFinishedRunIsNotQueued) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    library::song_library lib(dir / "library.sqlite3");
    const std::string stage = server_test::stage_bytes(40);
    write_file(dir / "stage.pat", stage);
    write_file(dir / "rec.session", server_test::replay_bytes(stage, 11, {}));
    EXPECT_EQ(library::queue_submission(lib, dir / "rec.session", "s", "h", library::stage_choice{}, dir / "stage.pat",
                                        "http://h", 1),
              "");
    EXPECT_EQ(library::queue_submission(lib, dir / "missing.session", "s", "h", library::stage_choice{},
                                        dir / "stage.pat", "http://h", 1),
              "");
    EXPECT_TRUE(library::all_submissions(lib, "http://h").empty());
    write_file(dir / "cut.session", "VRP");
    EXPECT_NE(library::queue_submission(lib, dir / "cut.session", "s", "h", library::stage_choice{}, dir / "stage.pat",
                                        "http://h", 1),
              "");
    unsetenv("XDG_DATA_HOME");
}

// A board is named by its stage's bytes, found in the cache by the song's
// hash: the library's while the file is as it was linked, read again once
// the file changed. A stage not in the cache asks no server, unless the
// board is looked up by the song's recording, which prepares nothing. A
// copy's stage whose board names its recording's board shows that board,
// unless the file was measured as another mix: it keeps its own.
TEST(Board, TheLibrarysHashFindsTheStageOnlyWhileTheFileIsUnchanged) {
    struct row {
        const char* what;
        bool linked, touched, by_recording, sound;
        online::board_failure failed;
        int asks;
        bool measured = false, clear = false;  // a row of the recording's board stage
    };
    const row rows[] = {
        {"linked", true, false, false, false, online::board_failure::none, 1},
        {"linked, then changed", true, true, false, false, online::board_failure::not_prepared, 0},
        {"not linked", false, false, false, false, online::board_failure::not_prepared, 0},
        {"not linked, by a recording it cannot tell", false, false, true, false, online::board_failure::song, 0},
        {"not linked, by its recording", false, false, true, true, online::board_failure::none, 2},
        {"linked, aligned to the recording's board", true, false, false, false, online::board_failure::none, 1, true, true},
        {"linked, another mix of the recording", true, false, false, false, online::board_failure::none, 1, true, false},
    };
    for (const row& r : rows) {
        test_support::scratch_dir dir;
        ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
        library::song_library lib(dir / "library.sqlite3");
        const std::string song = dir / "song.wav";
        if (r.sound) test_sound::write_wav16(song, 44100, 1, test_sound::pulsing_tone(8 * 44100, 440.0, 4.0, 12000.0, 1));
        else write_file(song, "no sound at all");
        // Any hash but the file's own: only the library can name it.
        const stagecache::song_hash linked = vaz::hash_bytes("another song", 12);
        const stagecache::stage_cache cache(dir / "cache");
        const std::string stage_file =
            cache.entry_path(linked, library::stage_key_of(converter::edition::standard, converter::difficulty::hard));
        std::filesystem::create_directories(std::filesystem::path(stage_file).parent_path());
        const std::string stage = server_test::stage_bytes(40);
        write_file(stage_file, stage);
        write_file(dir / "rec.session", server_test::replay_bytes(stage, 11, {{5, 900}}));
        ASSERT_EQ(library::queue_submission(lib, dir / "rec.session", linked.hex() + "-standard-100-4242", linked.hex(),
                                            library::stage_choice{}, stage_file, closed_url(), 100),
                  "");
        if (r.linked) library::record_play(lib, song, linked.hex(), 100);
        const std::string recording_board(32, 'b');
        if (r.measured)
            lib.record_board_stage(linked.hex(), library::stage_choice{},
                                   {recording_board, dir / "b.pat", 12.5, r.clear, r.clear ? "" : "another mix", 100});
        const timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
        if (r.touched) {
            ASSERT_EQ(::utimensat(AT_FDCWD, song.c_str(), times, 0), 0);
        }
        std::atomic<int> asked{0};
        tiny_server s([&](const httplib::Request& req, httplib::Response& res) {
            ++asked;
            const std::string board = vaz::hash_bytes(stage.data(), stage.size()).hex();
            if (req.path == "/v1/boards/" + recording_board + "/standard/hard") {
                res.set_content(R"({"entries":[],"players":5})", "application/json");
                return;
            }
            if (req.path == "/v1/recordings") {
                EXPECT_NE(req.get_param_value("length_ms"), "0");
                res.set_content(R"({"stages":[],"boards":[{"stage":")" + board +
                                    R"(","edition":"standard","difficulty":"hard","players":3}]})",
                                "application/json");
                return;
            }
            EXPECT_EQ(req.path, "/v1/boards/" + board + "/standard/hard");
            res.set_content(R"({"entries":[{"rank":1,"player":"ada","ratio":2.5}],"players":3,"recording_board":")" +
                                (r.measured ? recording_board : board) + "\"}",
                            "application/json");
        });
        online::board_question q;
        q.song = song;
        q.by_recording = r.by_recording;
        const online::board_summary b = online::look_up_board({s.url(), "Mira", "t0k"}, q, cache, &lib, quick());
        EXPECT_EQ(static_cast<int>(b.failed), static_cast<int>(r.failed)) << r.what << ": " << b.why;
        EXPECT_EQ(asked.load(), r.asks) << r.what;
        if (r.failed == online::board_failure::none) {
            EXPECT_EQ(b.got.players, r.measured && r.clear ? 5 : 3) << r.what;
            if (r.linked) {
                EXPECT_EQ(b.state, "queued") << r.what << ": the linked song's last session";
            }
        }
        if (r.by_recording) {
            stagecache::song_hash own;
            std::string why;
            ASSERT_TRUE(stagecache::hash_file(song, own, why)) << why;
            EXPECT_FALSE(std::filesystem::exists(cache.entry_path(
                own, library::stage_key_of(converter::edition::standard, converter::difficulty::hard))))
                << r.what << ": nothing prepared";
        }
        if (r.failed == online::board_failure::not_prepared) {
            EXPECT_EQ(b.why, "not prepared yet") << r.what;
        }
        if (r.failed == online::board_failure::song) {
            EXPECT_NE(b.why.find("cannot decode"), std::string::npos) << r.what << ": " << b.why;
        }
        unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace

// A song's board stage as the server's answers make it: only a board on
// another stage of this edition and difficulty is downloaded (checked by its
// hash) and measured; the server's trouble records nothing and keeps the row
// measured before; the alignment's verdict, clear or not, is recorded.
TEST(BoardStage, OnlyAnotherStagesBoardIsDownloadedCheckedAndAligned) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    ASSERT_EQ(setenv("XDG_CACHE_HOME", dir.path().c_str(), 1), 0);
    // This file's envelope, kept as preparing keeps it; the board's copy
    // has half a second more before the music.
    const std::vector<std::int16_t> music = song::render(0);
    std::vector<float> floats(music.size());
    for (std::size_t i = 0; i < music.size(); ++i) floats[i] = static_cast<float>(music[i]) / 32768.0f;
    const alignment::envelope mine = alignment::make_envelope(floats.data(), floats.size() / 2, 2, song::sample_rate);
    alignment::envelope theirs;
    theirs.values.assign(500 / alignment::hop_ms, 0);
    theirs.values.insert(theirs.values.end(), mine.values.begin(), mine.values.end());
    const std::string song_hash(32, 'a');
    ASSERT_EQ(library::keep_envelope(song_hash, mine), "");
    const std::string stage = server_test::stage_bytes(40), stage_hash = vaz::hash_bytes(stage.data(), stage.size()).hex();
    const std::string own_hash(32, 'c'), good_envelope = alignment::encode(theirs);

    struct row {
        const char* what;
        const char* boards;   // the "boards" answer, STAGE for the board's stage hash
        std::string stage;    // what the server sends for it
        std::string envelope;
        bool recorded;        // a row measured now
        bool clear;
        const char* why;      // in the row or the outcome
        bool fingerprinted = true;  // false: a stage cached before fingerprints were kept; made from the file
    };
    const std::string board_of = R"({"stage":"STAGE","edition":"standard","difficulty":"hard","players":1,"envelope":)";
    const row rows[] = {
        {"no board yet", "[]", stage, good_envelope, false, false, ""},
        {"own stage", R"([{"stage":"OWN","edition":"standard","difficulty":"hard","envelope":true}])", stage, good_envelope, false, false, ""},
        {"another difficulty", R"([{"stage":"STAGE","edition":"standard","difficulty":"easy","envelope":true}])", stage, good_envelope, false, false, ""},
        {"another stage's bytes", "", stage + "x", good_envelope, false, false, "another stage"},
        {"no envelope", "false}]", stage, good_envelope, true, false, "no envelope"},
        {"a bad envelope", "true}]", stage, "not one", false, false, "does not read"},
        {"aligned", "true}]", stage, good_envelope, true, true, ""},
        {"aligned, its fingerprint made from the file", "true}]", stage, good_envelope, true, true, "", false},
    };
    int n = 0;
    for (const row& r : rows) {
        library::song_library lib(dir / ("library" + std::to_string(++n) + ".sqlite3"));
        library::song_row facts;
        facts.hash = song_hash;
        facts.path = dir / "song.wav";
        facts.duration = 72;
        library::stage_row own_stage;
        own_stage.edition = "standard";
        own_stage.difficulty = "hard";
        lib.record_prepared(facts, own_stage);
        if (r.fingerprinted) lib.set_fingerprint(song_hash, "AQAAfingerprint");
        else test_sound::write_wav16(dir / "song.wav", song::sample_rate, 2, music);
        std::filesystem::remove_all(std::filesystem::path(online::board_stage_file(stage_hash)).parent_path());
        std::string boards = *r.boards == '[' ? r.boards : "[" + board_of + (*r.boards ? r.boards : "true}]");
        for (auto [from, to] : {std::pair<std::string, std::string>{"STAGE", stage_hash}, {"OWN", own_hash}})
            for (std::size_t at; (at = boards.find(from)) != std::string::npos;) boards.replace(at, from.size(), to);
        tiny_server s([&](const httplib::Request& req, httplib::Response& res) {
            if (req.path == "/v1/recordings")
                res.set_content(R"({"stages":[],"boards":)" + boards + "}", "application/json");
            else if (req.path == "/v1/stages/" + stage_hash)
                res.set_content(r.stage, "application/octet-stream");
            else if (req.path == "/v1/stages/" + stage_hash + "/envelope")
                res.set_content(r.envelope, "application/octet-stream");
            else
                res.status = 404;
        });
        const online::board_stage_question q{song_hash, dir / "song.wav", own_hash, dir / "own.pat", {}};
        const online::board_stage_outcome o = online::refresh_board_stage({s.url(), "Mira", "t0k"}, lib, q, quick());
        EXPECT_TRUE(o.asked) << r.what << ": " << o.why;
        EXPECT_FALSE(lib.fingerprint(song_hash).empty()) << r.what;
        const std::optional<library::board_stage_row> kept = lib.board_stage(song_hash, {});
        ASSERT_EQ(kept.has_value(), r.recorded) << r.what << ": " << o.why;
        if (!r.recorded) {
            EXPECT_NE(o.why.find(r.why), std::string::npos) << r.what << ": " << o.why;
            continue;
        }
        EXPECT_EQ(kept->stage_hash, stage_hash) << r.what;
        EXPECT_EQ(kept->clear, r.clear) << r.what << ": " << kept->why;
        EXPECT_NE(kept->why.find(r.why), std::string::npos) << r.what << ": " << kept->why;
        // The stage is kept whole, under its hash.
        const std::vector<std::uint8_t> kept_stage = test_sound::read_bytes(kept->stage_file);
        EXPECT_EQ(vaz::hash_bytes(kept_stage.data(), kept_stage.size()).hex(), stage_hash);
        if (r.clear) {
            // This file's music comes half a second earlier than the board's.
            EXPECT_NEAR(kept->offset_ms, -500, 5) << r.what;
            // Out of reach later: the row measured stays, nothing asked.
            const online::board_stage_outcome away = online::refresh_board_stage({closed_url(), "Mira", "t0k"}, lib, q, quick());
            EXPECT_FALSE(away.asked);
            ASSERT_TRUE(away.row) << away.why;
            EXPECT_EQ(away.row->offset_ms, kept->offset_ms);
            EXPECT_NE(away.why, "");
        }
    }
    // Without a server nothing is asked or kept.
    library::song_library lib(dir / "offline.sqlite3");
    EXPECT_FALSE(online::refresh_board_stage({}, lib, {song_hash, dir / "song.wav", own_hash, dir / "own.pat", {}}).asked);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
}
