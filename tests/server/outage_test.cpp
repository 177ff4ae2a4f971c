// The scoreboard server through failures: killed during a stream of
// submissions, a worker killed mid-job, PostgreSQL restarted under load.
// No answered submission may be lost or counted twice, requests during an
// outage are answered 503 rather than left hanging, and the server comes
// back by itself. Each test has a throwaway cluster of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "server_helpers.hpp"
#include "support/pg_cluster.hpp"

namespace {

using nlohmann::json;
using namespace server_test;
using clock_type = std::chrono::steady_clock;

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }

std::vector<std::string> server_options(int workers) {
    return {"--workers", std::to_string(workers), "--verifier", program("tests/fake_verify"), "--rate-per-address", "0",
            "--rate-per-token", "0", "--read-timeout", "5"};
}

httplib::Client client(int port) {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(5);
    c.set_read_timeout(30);
    c.set_write_timeout(30);
    return c;
}

std::string new_player(int port, const std::string& name) {
    auto r = client(port).Post("/v1/players", json{{"name", name}}.dump(), "application/json");
    return r && r->status == 201 ? body_json(r).value("token", "") : "";
}

// Submissions from several threads, each a replay of its own, until stopped.
class submission_stream {
public:
    submission_stream(int port, const std::string& stage, const std::string& token, int threads)
        : port_(port), stage_(stage), token_(token) {
        for (int t = 0; t < threads; ++t)
            threads_.emplace_back([this, t] {
                for (std::uint32_t i = 0; !stop_ && i < 100000; ++i) {
                    const std::uint32_t seed = static_cast<std::uint32_t>(t) * 100000 + i + 1;
                    if (seed % 10 == 7 || seed >= 996) continue;
                    const auto start = clock_type::now();
                    auto r = client(port_).Post("/v1/sessions", bearer(token_), session_form(stage_, replay_bytes(stage_, seed, {{1, 300}})));
                    const auto took = clock_type::now() - start;
                    std::lock_guard<std::mutex> lock(mutex_);
                    sent.insert(seed);
                    longest = std::max(longest, took);
                    if (!r) {
                        ++no_answer;
                        errors += httplib::to_string(r.error()) + "; ";
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        continue;
                    }
                    statuses[r->status]++;
                    if (r->status == 202) answered[seed] = body_json(r)["session"];
                    if (r->status == 503 && r->has_header("Retry-After")) ++with_retry_after;
                    if (r->status != 202) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            });
    }
    ~submission_stream() { finish(); }
    void finish() {
        stop_ = true;
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }

    std::mutex mutex_;
    std::set<std::uint32_t> sent;
    std::map<std::uint32_t, std::int64_t> answered;  // seed: session
    std::map<int, int> statuses;
    int no_answer = 0, with_retry_after = 0;
    std::string errors;
    clock_type::duration longest{};

private:
    const int port_;
    const std::string stage_, token_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

std::size_t answered_count(submission_stream& s) {
    std::lock_guard<std::mutex> lock(s.mutex_);
    return s.answered.size();
}

// Every answered submission is there, once: sent again, it answers its session.
void expect_every_answer_kept(submission_stream& s, int port, const std::string& stage, const std::string& token,
                              test_support::pg_cluster& cluster) {
    for (const auto& [seed, id] : s.answered) {
        auto r = client(port).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, seed, {{1, 300}})));
        ASSERT_TRUE(r) << "seed " << seed;
        ASSERT_EQ(r->status, 202) << r->body;
        EXPECT_EQ(body_json(r)["session"], id) << "seed " << seed;
    }
    // What was sent but not answered may or may not be kept; never twice.
    for (std::uint32_t seed : s.sent) {
        auto r = client(port).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, seed, {{1, 300}})));
        ASSERT_TRUE(r && r->status == 202) << "seed " << seed;
    }
    EXPECT_EQ(cluster.sql("SELECT count(*) FROM sessions"), std::to_string(s.sent.size()));
    EXPECT_EQ(cluster.sql("SELECT count(*) FROM runs"), std::to_string(s.sent.size()));
}

bool wait_until(int seconds, const std::function<bool()>& done) {
    const auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    while (clock_type::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST(ServerOutage, KilledDuringAStreamOfSubmissionsLosesNoAnsweredOne) {
    test_support::pg_cluster cluster;
    const std::string stage = stage_bytes(80, 7);
    auto first = std::make_unique<test_support::server_process>(program("velmora_server"), cluster.url(), server_options(1));
    const std::string token = new_player(first->port(), "streamer");
    ASSERT_FALSE(token.empty());
    submission_stream stream(first->port(), stage, token, 6);
    ASSERT_TRUE(wait_until(60, [&] { return answered_count(stream) >= 30; }));
    first->stop(SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stream.finish();
    test_support::server_process second(program("velmora_server"), cluster.url(), server_options(1));
    expect_every_answer_kept(stream, second.port(), stage, token, cluster);
    // Every session is verified once, and the player has one best.
    EXPECT_TRUE(wait_until(120, [&] { return cluster.sql("SELECT count(*) FROM sessions WHERE status = 'pending'") == "0"; }));
    EXPECT_EQ(cluster.sql("SELECT count(*) FROM sessions WHERE status = 'verified'"), std::to_string(stream.sent.size()));
    EXPECT_EQ(cluster.sql("SELECT count(*) FROM bests"), "1");
}

TEST(ServerOutage, AWorkerKilledMidJobLeavesTheJobToTheNext) {
    test_support::pg_cluster cluster;
    test_support::server_process front(program("velmora_server"), cluster.url(), server_options(0));
    const std::string token = new_player(front.port(), "patient");
    const std::string stage = stage_bytes(30, 8);
    auto r = client(front.port()).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, 996, {{1, 90}})));
    ASSERT_TRUE(r && r->status == 202);
    const std::string id = std::to_string(body_json(r)["session"].get<std::int64_t>());
    const std::vector<std::string> worker = {program("velmora_server"), "--worker", "--database", cluster.url(), "--verifier",
                                             program("tests/fake_verify")};
    {
        test_support::child_program first(worker, cluster.root() + "/worker1.log");
        // Claimed: the row is locked by the worker's transaction.
        ASSERT_TRUE(wait_until(60, [&] {
            return cluster.sql("SELECT count(*) FROM (SELECT id FROM sessions WHERE id = " + id + " FOR UPDATE SKIP LOCKED) s") == "0";
        }));
        first.stop(SIGKILL);
    }
    EXPECT_EQ(cluster.sql("SELECT status FROM sessions WHERE id = " + id), "pending");
    test_support::child_program second(worker, cluster.root() + "/worker2.log");
    EXPECT_TRUE(wait_until(120, [&] { return cluster.sql("SELECT status FROM sessions WHERE id = " + id) == "verified"; }));
    EXPECT_EQ(cluster.sql("SELECT count(*) FROM bests WHERE session = " + id), "1");
}

// A worker whose verifier program is missing counts nothing against the
// sessions: it pauses, longer each time, and a worker that can verify takes
// every job meanwhile.
TEST(ServerOutage, AWorkerWithoutItsVerifierPausesAndLeavesTheJobsToOthers) {
    test_support::pg_cluster cluster;
    test_support::server_process front(program("velmora_server"), cluster.url(), server_options(0));
    const std::string token = new_player(front.port(), "waiting");
    const std::string stage = stage_bytes(30, 10);
    std::vector<std::string> ids;
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        auto r = client(front.port()).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, seed, {{1, 90}})));
        ASSERT_TRUE(r && r->status == 202);
        ids.push_back(std::to_string(body_json(r)["session"].get<std::int64_t>()));
    }
    const std::string log = cluster.root() + "/lost.log";
    {
        test_support::child_program lost({program("velmora_server"), "--worker", "--database", cluster.url(), "--verifier",
                                          cluster.root() + "/no_such_verifier"},
                                         log);
        std::this_thread::sleep_for(std::chrono::seconds(4));
        EXPECT_EQ(cluster.sql("SELECT count(*) || ' ' || sum(attempts) FROM sessions WHERE status = 'pending'"), "3 0");
    }
    std::ifstream in(log);
    std::string line;
    int pauses = 0;
    while (std::getline(in, line)) {
        if (line.find("event=worker_paused") == std::string::npos) continue;
        ++pauses;
        EXPECT_NE(line.find("cannot verify session " + ids[0] + ": the verifier program could not be started: No such file or directory"),
                  std::string::npos) << line;
    }
    // Pauses of 1 s and 2 s in 4 s: at most three tries, not a spin.
    EXPECT_GE(pauses, 1);
    EXPECT_LE(pauses, 3);
    test_support::child_program good({program("velmora_server"), "--worker", "--database", cluster.url(), "--verifier",
                                      program("tests/fake_verify")},
                                     cluster.root() + "/good.log");
    EXPECT_TRUE(wait_until(60, [&] { return cluster.sql("SELECT count(*) FROM sessions WHERE status = 'verified'") == "3"; }));
}

TEST(ServerOutage, PostgresRestartedUnderLoadGives503AndTheServerComesBack) {
    test_support::pg_cluster cluster;
    const std::string log = cluster.root() + "/server.log";
    test_support::server_process server(program("velmora_server"), cluster.url(), server_options(1), log);
    const std::string token = new_player(server.port(), "steady");
    const std::string stage = stage_bytes(50, 9);
    submission_stream stream(server.port(), stage, token, 6);
    ASSERT_TRUE(wait_until(60, [&] { return answered_count(stream) >= 20; }));
    cluster.stop();
    // While it is away: quick 503s with Retry-After, for health too.
    const auto start = clock_type::now();
    auto health = client(server.port()).Get("/v1/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 503);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::size_t before = answered_count(stream);
    ASSERT_TRUE(cluster.start());
    EXPECT_TRUE(wait_until(60, [&] {
        auto h = client(server.port()).Get("/v1/health");
        return h && h->status == 200;
    }));
    EXPECT_TRUE(wait_until(60, [&] { return answered_count(stream) >= before + 20; }));
    stream.finish();
    EXPECT_GT(stream.statuses[503], 0);
    EXPECT_GT(stream.with_retry_after, 0);
    EXPECT_EQ(stream.no_answer, 0) << stream.errors;
    for (const auto& [status, count] : stream.statuses) EXPECT_TRUE(status == 202 || status == 503) << status << " x" << count;
    EXPECT_LT(stream.longest, std::chrono::seconds(10));
    expect_every_answer_kept(stream, server.port(), stage, token, cluster);
    // The outage is a line or two as it starts and as it ends, not a line for each 503.
    std::ifstream in(log);
    std::map<std::string, int> lines;
    for (std::string line; std::getline(in, line);)
        for (const char* event : {"event=database_unavailable pool=primary ", "event=database_recovered pool=primary down_ms=",
                                  "event=database_unavailable job=worker ", "event=database_recovered job=worker down_ms="})
            if (line.find(event) != std::string::npos) ++lines[event];
    for (const auto& [event, n] : lines) EXPECT_LE(n, 3) << event;
    EXPECT_GE(lines["event=database_unavailable pool=primary "], 1);
    EXPECT_GE(lines["event=database_recovered pool=primary down_ms="], 1);
    EXPECT_GE(lines["event=database_recovered job=worker down_ms="], 1);
    EXPECT_GT(stream.statuses[503], 3);
}

// The backup of server/README.md: a dump of a live server's database with
// verified and rejected runs, restored into a fresh cluster, serves the same
// boards, sessions and files, and takes new players and sessions after them.
TEST(ServerOutage, ADumpRestoredIntoAFreshClusterServesTheSameBoards) {
    const std::string bin = "/usr/lib/postgresql/15/bin/";
    test_support::pg_cluster cluster;
    const std::string stage = stage_bytes(40, 13);
    const std::string hash = vaz::hash_bytes(stage.data(), stage.size()).hex();
    const std::string board = "/v1/boards/" + hash + "/standard/hard?limit=100";
    std::vector<std::pair<std::string, std::int64_t>> sessions;  // token, session
    std::vector<std::string> seen;  // the board, then each session as its player reads it
    const auto read_all = [&](int port) {
        std::vector<std::string> out;
        auto b = client(port).Get(board.c_str());
        out.push_back(b ? b->body : "no answer");
        for (const auto& [token, id] : sessions) {
            auto r = client(port).Get(("/v1/sessions/" + std::to_string(id)).c_str(), bearer(token));
            out.push_back(r ? r->body : "no answer");
        }
        return out;
    };
    const std::string dump = cluster.root() + "/boards.dump";
    {
        test_support::server_process server(program("velmora_server"), cluster.url(), server_options(1));
        for (std::uint32_t seed : {11u, 12u, 17u, 13u}) {  // 17: refused by the re-play
            const std::string token = new_player(server.port(), "keeper" + std::to_string(seed));
            auto r = client(server.port()).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, seed, {{static_cast<std::int32_t>(1 + seed % 3), 90}})));
            ASSERT_TRUE(r && r->status == 202);
            sessions.emplace_back(token, body_json(r)["session"].get<std::int64_t>());
        }
        ASSERT_TRUE(wait_until(60, [&] { return cluster.sql("SELECT count(*) FROM sessions WHERE status = 'pending'") == "0"; }));
        seen = read_all(server.port());
        // Taken while the server runs: the dump is one snapshot.
        int status = 0;
        const std::string said = test_support::shell_output(bin + "pg_dump -Fc -f '" + dump + "' '" + cluster.url() + "' 2>&1", status);
        ASSERT_EQ(status, 0) << said;
    }
    ASSERT_EQ(json::parse(seen[0])["players"], 3) << seen[0];
    EXPECT_EQ(json::parse(seen[3])["status"], "rejected") << seen[3];
    cluster.stop();
    test_support::pg_cluster fresh;
    int status = 0;
    const std::string said =
        test_support::shell_output(bin + "pg_restore --no-owner --exit-on-error -d '" + fresh.url() + "' '" + dump + "' 2>&1", status);
    ASSERT_EQ(status, 0) << said;
    test_support::server_process restored(program("velmora_server"), fresh.url(), server_options(1));
    EXPECT_EQ(read_all(restored.port()), seen);
    auto s = client(restored.port()).Get(("/v1/stages/" + hash).c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->body, stage);
    // The identities go on from the copy's: a new player and session are new rows.
    const std::string token = new_player(restored.port(), "after_restore");
    ASSERT_FALSE(token.empty());
    auto r = client(restored.port()).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, 21, {{1, 90}})));
    ASSERT_TRUE(r && r->status == 202) << (r ? r->body : "no answer");
    EXPECT_GT(body_json(r)["session"].get<std::int64_t>(), sessions.back().second);
    EXPECT_TRUE(wait_until(60, [&] {
        auto b = client(restored.port()).Get(board.c_str());
        return b && body_json(b)["players"] == 4;
    }));
}

}  // namespace

// The operator's script, run again and again: with its cluster stopped,
// with it running under a server already, and after the cluster was stopped.
TEST(ServerOutage, ServerScriptRunsAgainWithTheClusterUpOrDown) {
    test_support::pg_cluster scratch;  // its folder only; the script makes a cluster of its own beside it
    const std::string folder = scratch.root() + "/boards";
    const std::string script = test_support::source_dir() + "/scripts/server.sh";
    const auto start = [&](const char* log) {
        return std::make_unique<test_support::child_program>(
            std::vector<std::string>{"/bin/bash", script, VELMORA_BUILD_DIR, folder, "127.0.0.1:0", "--verifier",
                                     program("tests/fake_verify")},
            scratch.root() + "/" + log);
    };
    const auto listening = [](test_support::child_program& p) { return p.first_line(60).find("listening on") != std::string::npos; };
    auto first = start("first.log");
    ASSERT_TRUE(listening(*first)) << "a new cluster";
    auto second = start("second.log");
    EXPECT_TRUE(listening(*second)) << "its cluster running, a server on it";
    EXPECT_EQ(first->stop(SIGTERM), 0);
    EXPECT_EQ(second->stop(SIGTERM), 0);
    int status = 0;
    test_support::shell_output(test_support::source_dir() + "/scripts/pg_cluster.sh stop '" + folder + "'", status);
    ASSERT_EQ(status, 0);
    auto third = start("third.log");
    EXPECT_TRUE(listening(*third)) << "its cluster stopped";
    EXPECT_EQ(third->stop(SIGTERM), 0);
    test_support::shell_output(test_support::source_dir() + "/scripts/pg_cluster.sh stop '" + folder + "'", status);
}
