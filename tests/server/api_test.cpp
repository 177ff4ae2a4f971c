// The scoreboard server's API against a real PostgreSQL: its answers, the
// same replay twice and another player's replay, verification by workers
// and the boards they fill, and bad input from outside. One throwaway
// cluster and server for the whole binary.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chromaprint.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "alignment/alignment.hpp"
#include "gametask/rules.hpp"
#include "results/result_row.hpp"
#include "server/names.hpp"
#include "server/pages.hpp"
#include "server/plays.hpp"
#include "server/store.hpp"
#include "server/tokens.hpp"
#include "made_music.hpp"
#include "server_helpers.hpp"
#include "support/pg_cluster.hpp"

namespace {

using nlohmann::json;
using namespace server_test;

test_support::pg_cluster* cluster = nullptr;
test_support::server_process* server = nullptr;

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }

class environment : public ::testing::Environment {
public:
    void SetUp() override {
        cluster = new test_support::pg_cluster();
        // The stand-in verifier leaves its marks in the cluster's folder.
        setenv("FAKE_VERIFY_MARKS", cluster->root().c_str(), 1);
        server = new test_support::server_process(
            program("velmora_server"), cluster->url(),
            {"--workers", "2", "--verifier", program("tests/fake_verify"), "--read-timeout", "2", "--threads", "48",
             "--verify-wall-seconds", "3", "--rate-per-address", "0", "--rate-per-token", "0", "--verify-attempts", "3",
             "--verify-retry-seconds", "0.2", "--players-per-address", "0", "--refusal-log-seconds", "1",
             // Kept far longer than any test: a verdict must reach the board's readers at once, not by age.
             "--board-cache-ms", "60000"},
            cluster->root() + "/server.log");
    }
    void TearDown() override {
        // A clean stop: under the sanitizers a leak or an error would end it otherwise.
        const int status = server->stop();
        if (status != 0) ADD_FAILURE() << "velmora_server ended with status " << status << " on SIGTERM";
        delete server;
        delete cluster;
    }
};
const auto* registered = ::testing::AddGlobalTestEnvironment(new environment);

httplib::Client client(int port = 0) {
    httplib::Client c("127.0.0.1", port ? port : server->port());
    c.set_connection_timeout(5);
    c.set_read_timeout(20);
    c.set_write_timeout(20);
    return c;
}

std::string new_player(const std::string& name) {
    auto r = client().Post("/v1/players", json{{"name", name}}.dump(), "application/json");
    EXPECT_TRUE(r);
    if (!r) return {};
    EXPECT_EQ(r->status, 201) << r->body;
    return body_json(r).value("token", "");
}

// Waits (at most 60 s) until the session is no longer pending; its answer,
// as read with this token (none when empty).
json settled(std::int64_t session, const std::string& token = {}) {
    json j;
    for (int i = 0; i < 600; ++i) {
        auto r = client().Get(("/v1/sessions/" + std::to_string(session)).c_str(), token.empty() ? httplib::Headers{} : bearer(token));
        if (r && r->status == 200) {
            j = body_json(r);
            if (j.value("status", "") != "pending") return j;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return j;
}

// Whether the server's log holds this text, waiting at most 5 s: a verdict
// is logged just after its commit.
std::string log_text() {
    std::ifstream in(cluster->root() + "/server.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool logged(const std::string& text) {
    for (int i = 0; i < 50; ++i) {
        if (log_text().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void expect_error(const httplib::Result& r, int status, const std::string& code, const std::string& row) {
    ASSERT_TRUE(r) << row << ": no answer (" << httplib::to_string(r.error()) << ")";
    EXPECT_EQ(r->status, status) << row << ": " << r->body;
    const json j = body_json(r);
    ASSERT_TRUE(j.is_object()) << row << ": not JSON: " << r->body;
    if (!code.empty()) {
        EXPECT_EQ(j.value("error", ""), code) << row;
    }
    if (status >= 400) {
        EXPECT_FALSE(j.value("message", "").empty()) << row;
    }
}

bool send_all(int s, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(s, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// What comes back until the server closes the connection; "<no end>" is
// appended when `seconds` passed first.
std::string read_to_end(int s, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string got;
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) got += "<no end>";
        return got;
    }
}

// Sends raw bytes on a fresh connection and reads what comes back until the
// server closes it or `seconds` pass.
std::string raw_exchange(const std::string& bytes, int seconds) {
    const int s = connect_to(server->port());
    if (s < 0) return "connect failed";
    send_all(s, bytes);
    const std::string got = read_to_end(s, seconds);
    close(s);
    return got;
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM).
long status_kib(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

TEST(ServerApi, AnswersEveryRouteWithJsonAndTheRightStatus) {
    const std::string token = new_player("route_rows");
    new_player("Zoë_Ivy");
    new_player("lila_lane");
    const std::string hash(32, 'a');
    struct row {
        const char* what;
        std::string method, path, body, type;
        httplib::Headers headers;
        int status;
        const char* code;
    };
    const std::vector<row> rows = {
        {"health", "GET", "/v1/health", "", "", {}, 200, ""},
        {"name too short", "POST", "/v1/players", R"({"name":"ab"})", "application/json", {}, 422, "invalid_name"},
        {"name too long", "POST", "/v1/players", R"({"name":"abcdefghijklmnopqrstuvwxy"})", "application/json", {}, 422, "invalid_name"},
        {"name with a control", "POST", "/v1/players", R"({"name":"ab\u0001cd"})", "application/json", {}, 422, "invalid_name"},
        {"name with an end space", "POST", "/v1/players", R"({"name":"abcd "})", "application/json", {}, 422, "invalid_name"},
        {"name not text", "POST", "/v1/players", R"({"name":5})", "application/json", {}, 400, "invalid_json"},
        {"extra field", "POST", "/v1/players", R"({"name":"abcd","admin":true})", "application/json", {}, 400, "invalid_json"},
        {"invalid JSON", "POST", "/v1/players", R"({"name":)", "application/json", {}, 400, "invalid_json"},
        {"player as text", "POST", "/v1/players", R"({"name":"abcd"})", "text/plain", {}, 415, "unsupported_media_type"},
        {"player body too large", "POST", "/v1/players", std::string(2000, ' '), "application/json", {}, 413, "payload_too_large"},
        {"name taken in another case", "POST", "/v1/players", R"({"name":"ROUTE_ROWS"})", "application/json", {}, 409, "name_taken"},
        {"name taken in another case beyond ASCII", "POST", "/v1/players", R"({"name":"ZOË_IVY"})", "application/json", {}, 409, "name_taken"},
        {"name taken decomposed", "POST", "/v1/players", "{\"name\":\"Zoe\u0308_Ivy\"}", "application/json", {}, 409, "name_taken"},
        {"name taken with a Cyrillic o", "POST", "/v1/players", R"({"name":"r\u043eute_rows"})", "application/json", {}, 409, "name_taken"},
        {"name taken with capital I for l", "POST", "/v1/players", R"({"name":"lila_Iane"})", "application/json", {}, 409, "name_taken"},
        {"name taken in full-width letters", "POST", "/v1/players", R"({"name":"\uff52oute_rows"})", "application/json", {}, 409, "name_taken"},
        {"name with a zero-width space", "POST", "/v1/players", R"({"name":"route\u200b_rows"})", "application/json", {}, 422, "invalid_name"},
        {"name with a right-to-left override", "POST", "/v1/players", R"({"name":"\u202eroute_rows"})", "application/json", {}, 422, "invalid_name"},
        {"name with a soft hyphen", "POST", "/v1/players", R"({"name":"route\u00ad_rows"})", "application/json", {}, 422, "invalid_name"},
        {"name with a private-use character", "POST", "/v1/players", R"({"name":"route\ue000"})", "application/json", {}, 422, "invalid_name"},
        {"name with an unassigned code point", "POST", "/v1/players", R"({"name":"route\u0378"})", "application/json", {}, 422, "invalid_name"},
        {"name with a no-break space", "POST", "/v1/players", R"({"name":"route\u00a0rows"})", "application/json", {}, 422, "invalid_name"},
        {"session without a token", "POST", "/v1/sessions", "--x--\r\n", "multipart/form-data; boundary=x", {}, 401, "unauthorized"},
        {"session with a malformed token", "POST", "/v1/sessions", "--x--\r\n", "multipart/form-data; boundary=x", bearer("zz' OR 1=1"), 401, "unauthorized"},
        {"session with an unknown token", "POST", "/v1/sessions", "--x\r\nContent-Disposition: form-data; name=\"edition\"\r\n\r\nstandard\r\n--x--\r\n",
         "multipart/form-data; boundary=x", bearer(std::string(64, 'f')), 400, "missing_part"},
        {"session as JSON", "POST", "/v1/sessions", "{}", "application/json", bearer(token), 415, "unsupported_media_type"},
        {"multipart cut short", "POST", "/v1/sessions", "--x\r\nContent-Disposition: form-data; name=\"stage\"\r\n\r\nabc",
         "multipart/form-data; boundary=x", bearer(token), 400, ""},
        {"multipart without a boundary", "POST", "/v1/sessions", "abc", "multipart/form-data", bearer(token), 400, ""},
        {"session id not a number", "GET", "/v1/sessions/abc", "", "", {}, 404, "not_found"},
        {"session id path-like", "GET", "/v1/sessions/..%2F..%2Fetc%2Fpasswd", "", "", {}, 404, "not_found"},
        {"session id too long", "GET", "/v1/sessions/1234567890123456789012", "", "", {}, 404, "not_found"},
        {"no such session", "GET", "/v1/sessions/987654321", "", "", {}, 404, "not_found"},
        {"no such replay", "GET", "/v1/sessions/987654321/replay", "", "", {}, 404, "not_found"},
        {"stage path-like", "GET", "/v1/stages/../../etc/passwd", "", "", {}, 404, "not_found"},
        {"stage not hex", "GET", "/v1/stages/" + std::string(32, 'z'), "", "", {}, 404, "not_found"},
        {"no such stage", "GET", "/v1/stages/" + hash, "", "", {}, 404, "not_found"},
        {"envelope of no stage", "GET", "/v1/stages/" + hash + "/envelope", "", "", {}, 404, "not_found"},
        {"envelope path-like", "GET", "/v1/stages/" + hash + "/envelope/../../replay", "", "", {}, 404, "not_found"},
        {"envelope sent to its download", "POST", "/v1/stages/" + hash + "/envelope", alignment::encode({{1, 2, 3}}), "application/octet-stream", {}, 405,
         "method_not_allowed"},
        {"board of no edition", "GET", "/v1/boards/" + hash + "/platinum/hard", "", "", {}, 404, "unknown_edition"},
        {"board of no difficulty", "GET", "/v1/boards/" + hash + "/standard/insane", "", "", {}, 404, "unknown_difficulty"},
        {"board limit 0", "GET", "/v1/boards/" + hash + "/standard/hard?limit=0", "", "", {}, 400, "invalid_limit"},
        {"board limit 101", "GET", "/v1/boards/" + hash + "/standard/hard?limit=101", "", "", {}, 400, "invalid_limit"},
        {"board limit SQL", "GET", "/v1/boards/" + hash + "/standard/hard?limit=1;DROP%20TABLE%20bests", "", "", {}, 400, "invalid_limit"},
        {"board with an unknown token", "GET", "/v1/boards/" + hash + "/standard/hard", "", "", bearer(std::string(64, 'e')), 401, "unauthorized"},
        {"empty board", "GET", "/v1/boards/" + hash + "/dynamics/easy", "", "", {}, 200, ""},
        {"unknown route", "GET", "/v2/boards", "", "", {}, 404, "not_found"},
    };
    for (const row& r : rows) {
        httplib::Client c = client();
        const httplib::Result res = r.method == "GET" ? c.Get(r.path.c_str(), r.headers)
                                                      : c.Post(r.path.c_str(), r.headers, r.body, r.type.c_str());
        expect_error(res, r.status, r.code, r.what);
    }
    // The unknown token's row above was refused for its parts before the
    // token was looked up; with whole parts it is refused for the token.
    const std::string stage = stage_bytes(20, 90);
    expect_error(client().Post("/v1/sessions", bearer(std::string(64, 'f')), session_form(stage, replay_bytes(stage, 1, {{1, 10}}))),
                 401, "unauthorized", "unknown token, whole parts");
}

TEST(ServerApi, SqlInANameIsKeptAsText) {
    const std::string name = "x'); DROP TABLE players;";
    auto r = client().Post("/v1/players", json{{"name", name}}.dump(), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 201) << r->body;
    EXPECT_EQ(body_json(r)["name"], name);
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM players WHERE name = 'x''); DROP TABLE players;'"), "1");
}

// An envelope laid out as the game encodes one: its mark, the count, the
// values; also past the most values, which the game's encoder never writes.
std::string envelope_of(std::uint32_t count, unsigned seed) {
    std::string e = alignment::encode({}).substr(0, 4);
    for (int i = 0; i < 4; ++i) e += static_cast<char>(count >> (8 * i) & 0xffu);
    std::mt19937 random(seed);
    for (std::uint32_t i = 0; i < count; ++i) e += static_cast<char>(random() & 0xffu);
    return e;
}

TEST(ServerApi, RefusesBadSubmissionsBeforeStoringAnything) {
    const std::string token = new_player("checker");
    const std::string stage = stage_bytes(50, 1);
    const std::string good = replay_bytes(stage, 11, {{3, 900}});
    std::string truncated = good.substr(0, good.size() - 9);
    results::replay v1;
    v1.version = 1;
    v1.pattern = vaz::hash_bytes(stage.data(), stage.size());
    results::append_update(v1, 0);
    const auto v1_bytes = results::encode_replay(v1);
    results::replay endless;
    endless.pattern = v1.pattern;
    for (int i = 0; i < 432001; ++i) results::append_update(endless, 0);
    endless.finished_runs.push_back({0, 100, 200, 0, 0});
    const auto endless_bytes = results::encode_replay(endless);
    results::replay unfinished = endless;
    unfinished.finished_runs.clear();
    unfinished.runs = {{10, 0}};
    unfinished.update_count = 10;
    const auto unfinished_bytes = results::encode_replay(unfinished);

    auto form = [&](std::function<void(httplib::MultipartFormDataItems&)> change) {
        httplib::MultipartFormDataItems items = session_form(stage, good);
        change(items);
        return items;
    };
    auto set = [](const char* name, std::string value) {
        return [name, value](httplib::MultipartFormDataItems& items) {
            for (auto& i : items)
                if (i.name == name) i.content = value;
        };
    };
    auto add = [](const char* name, std::string value) {
        return [name, value](httplib::MultipartFormDataItems& items) { items.push_back({name, value, name, "application/octet-stream"}); };
    };
    struct row {
        const char* what;
        httplib::MultipartFormDataItems items;
        int status;
        const char* code;
    };
    const std::vector<row> rows = {
        {"no replay part", form([](auto& i) { i.erase(i.begin() + 1); }), 400, "missing_part"},
        {"a part twice", form([&](auto& i) { i.push_back({"edition", "standard", "", ""}); }), 400, "duplicate_part"},
        {"an unknown part", form([&](auto& i) { i.push_back({"../../etc/passwd", "x", "x", ""}); }), 400, "unknown_part"},
        {"unknown edition", form(set("edition", "platinum")), 422, "unknown_edition"},
        {"edition with SQL", form(set("edition", "standard'; DROP TABLE sessions; --")), 422, "unknown_edition"},
        {"unknown difficulty", form(set("difficulty", "insane")), 422, "unknown_difficulty"},
        {"stage not a pattern", form(set("stage", "\x05garbage")), 422, "invalid_stage"},
        {"stage cut in a record", form(set("stage", stage.substr(0, 20))), 422, "invalid_stage"},
        {"stage too large", form(set("stage", std::string((8u << 20) + 1, '\x01'))), 413, "stage_too_large"},
        {"replay truncated", form(set("replay", truncated)), 422, "invalid_replay"},
        {"replay not a replay", form(set("replay", "hello")), 422, "invalid_replay"},
        {"replay of version 1", form(set("replay", std::string(v1_bytes.begin(), v1_bytes.end()))), 422, "invalid_replay"},
        {"replay of another stage", form(set("replay", replay_bytes(stage_bytes(50, 2), 11, {{3, 900}}))), 422, "stage_mismatch"},
        {"session too long", form(set("replay", std::string(endless_bytes.begin(), endless_bytes.end()))), 422, "session_too_long"},
        {"no finished run", form(set("replay", std::string(unfinished_bytes.begin(), unfinished_bytes.end()))), 422, "no_finished_run"},
        {"title with a control", form(set("title", "a\x1b[2Jb")), 422, "invalid_field"},
        {"title not UTF-8", form(set("title", "caf\xe9")), 422, "invalid_field"},
        {"title too long", form(set("title", std::string(300, 'a'))), 422, "invalid_field"},
        {"length not a number", form(set("length_ms", "3 minutes")), 422, "invalid_field"},
        {"length negative", form(set("length_ms", "-5")), 422, "invalid_field"},
        {"length of twenty digits", form(set("length_ms", "18000055555555555555")), 422, "invalid_field"},
        {"envelope cut short", form(add("envelope", envelope_of(600, 1).substr(0, 300))), 400, "bad_envelope"},
        {"envelope past its count", form(add("envelope", envelope_of(600, 1) + "x")), 400, "bad_envelope"},
        {"envelope of another format", form(add("envelope", "RIFF" + envelope_of(600, 1).substr(4))), 400, "bad_envelope"},
        {"envelope too large", form(add("envelope", envelope_of(200 * 600 + 1, 1))), 400, "bad_envelope"},
        {"envelope under another name", form(add("envelopes", envelope_of(600, 1))), 400, "unknown_part"},
    };
    const std::string before = cluster->sql("SELECT count(*) FROM sessions") + "/" + cluster->sql("SELECT count(*) FROM replays");
    for (const row& r : rows) expect_error(client().Post("/v1/sessions", bearer(token), r.items), r.status, r.code, r.what);
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM sessions") + "/" + cluster->sql("SELECT count(*) FROM replays"), before);
}

TEST(ServerApi, RefusesRawRequestsItCannotTake) {
    const std::string token = new_player("raw_rows");
    const std::string session = "POST /v1/sessions HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
                                "\r\nContent-Type: multipart/form-data; boundary=x\r\n";
    const std::string player = "POST /v1/players HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";
    const std::string kib_chunk = "400\r\n" + std::string(1024, ' ') + "\r\n";
    const struct {
        const char* what;
        std::string bytes;
        const char* start;  // of the answer; "" for closed without one
        const char* code;
    } rows[] = {
        {"session declared past its limit", session + "Content-Length: 100000000\r\n\r\n", "HTTP/1.1 413", "payload_too_large"},
        {"player chunked past its limit", player + "Transfer-Encoding: chunked\r\n\r\n" + kib_chunk + kib_chunk + "0\r\n\r\n",
         "HTTP/1.1 413", "payload_too_large"},
        {"chunk size not hex", player + "Transfer-Encoding: chunked\r\n\r\nzz\r\n{}\r\n0\r\n\r\n", "HTTP/1.1 400", "bad_request"},
        {"header too large", "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431", "headers_too_large"},
        {"path too long", "GET /v1/health?" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 414", "uri_too_long"},
        {"board page's path too long", "GET /boards/" + std::string(9000, 'a') + "/standard/hard HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 414", "uri_too_long"},
        {"session page's query too long", "GET /sessions/1?t=" + std::string(9000, '1') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 414", "uri_too_long"},
        {"method of no route", "DELETE /v1/health HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405", "method_not_allowed"},
        {"not HTTP", std::string("\x16\x03\x01\x02\x00 hello\r\n\r\n"), "HTTP/1.1 400", "bad_request"},
        // Silent past the read time-out (2 s) within its headers: closed, unanswered.
        {"slow header closed", "GET /v1/health HTTP/1.1\r\nHo", "", ""},
        {"slow board page closed", "GET /boards/" + std::string(32, 'a') + "/standard/hard HTTP/1.1\r\nHo", "", ""},
        {"slow session page closed", "GET /sessions/1 HTTP/1.1\r\nHost: x\r\nAcc", "", ""},
    };
    const std::string before = cluster->sql("SELECT count(*) FROM players") + "/" + cluster->sql("SELECT count(*) FROM sessions");
    for (const auto& r : rows) {
        const std::string answer = raw_exchange(r.bytes, 10);
        if (*r.start == 0) {
            EXPECT_EQ(answer, "") << r.what;
            continue;
        }
        EXPECT_EQ(answer.rfind(r.start, 0), 0u) << r.what << ": " << answer;
        EXPECT_NE(answer.find(std::string("\"error\":\"") + r.code + "\""), std::string::npos) << r.what << ": " << answer;
        EXPECT_EQ(answer.find("<no end>"), std::string::npos) << r.what << ": the connection was left open";
    }
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM players") + "/" + cluster->sql("SELECT count(*) FROM sessions"), before);
}

TEST(ServerApi, ChunkedBodiesPastTheLimitAreCutWithMemoryBounded) {
    const std::string token = new_player("chunky");
    const struct {
        const char* path;
        std::string headers;
    } rows[] = {
        {"/v1/players", "Content-Type: application/json\r\n"},
        {"/v1/sessions", "Content-Type: multipart/form-data; boundary=x\r\nAuthorization: Bearer " + token + "\r\n"},
    };
    const std::string chunk = "10000\r\n" + std::string(1 << 16, 'a') + "\r\n";
    constexpr std::size_t most = 200u << 20;
    const std::string sessions = cluster->sql("SELECT count(*) FROM sessions");
    for (const auto& r : rows) {
        const long peak_before = status_kib(server->pid(), "VmHWM");
        const int s = connect_to(server->port());
        ASSERT_GE(s, 0);
        timeval tv{10, 0};
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ASSERT_TRUE(send_all(s, std::string("POST ") + r.path + " HTTP/1.1\r\nHost: x\r\n" + r.headers + "Transfer-Encoding: chunked\r\n\r\n"));
        // Chunks until the answer comes (or the server stops reading), 200 MB at most.
        std::size_t sent = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (pollfd p{s, POLLIN, 0}; sent < most && std::chrono::steady_clock::now() < until; sent += 1 << 16) {
            if (!send_all(s, chunk) || poll(&p, 1, 0) > 0) break;
        }
        const std::string answer = read_to_end(s, 10);
        close(s);
        EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << r.path << ": " << answer.substr(0, 300);
        EXPECT_NE(answer.find("payload_too_large"), std::string::npos) << r.path;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << r.path << ": " << answer.substr(0, 300);
        EXPECT_LT(sent, most / 4) << r.path << ": read on long past its limit";
        const long grown = status_kib(server->pid(), "VmHWM") - peak_before;
        EXPECT_LT(grown, 50 << 10) << r.path << ": the server's peak memory grew by " << grown << " KiB";
    }
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM sessions"), sessions);
}

TEST(ServerApi, ASecondServerOnAPortInUseFailsAtStart) {
    const std::string log = cluster->root() + "/second_server.log";
    test_support::child_program second(
        {program("velmora_server"), "--database", cluster->url(), "--listen", "127.0.0.1:" + std::to_string(server->port())}, log);
    EXPECT_EQ(second.first_line(60), "");
    EXPECT_EQ(second.stop(SIGTERM), 1);
    std::ifstream in(log);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("address in use"), std::string::npos) << said;
    auto r = client().Get("/v1/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

// The service starts from its configuration file, the command line
// overriding it; a file that is not one is refused, naming its line.
TEST(ServerApi, StartsFromItsConfigurationFileAndTheCommandLineWins) {
    const std::string conf = cluster->root() + "/server.conf";
    std::ofstream(conf) << "# the boards\ndatabase = " << cluster->url()
                        << "\nlisten = 127.0.0.1:1  # overridden below\nworkers = 0\nworker = no\n";
    test_support::child_program from_file({program("velmora_server"), "--config", conf, "--listen", "127.0.0.1:0"},
                                          cluster->root() + "/conf_server.log");
    const std::string line = from_file.first_line(60);
    const auto colon = line.rfind(':');
    ASSERT_NE(colon, std::string::npos) << line;
    httplib::Client c("127.0.0.1", std::stoi(line.substr(colon + 1)));
    auto r = c.Get("/v1/health");
    ASSERT_TRUE(r) << line;
    EXPECT_EQ(r->status, 200);

    const struct {
        const char* text;
        const char* says;
    } bad[] = {
        {"database = x\nlisten 127.0.0.1:80\n", "server.conf:2: expected \"name = value\""},
        {"Database = x\n", "server.conf:1: \"Database\" is not a setting"},
        {"config = other.conf\n", "server.conf:1: \"config\" is not a setting"},
        {"worker = maybe\n", "server.conf:1: worker must be yes or no"},
        {"database = x\nwokers = 2\n", "unknown option \"--wokers\""},
        {"database = x\nworkers = many\n", "--workers must be a whole number"},
    };
    for (const auto& row : bad) {
        std::ofstream(conf) << row.text;
        int status = 0;
        const std::string said =
            test_support::shell_output(program("velmora_server") + " --config '" + conf + "' 2>&1", status);
        EXPECT_EQ(WEXITSTATUS(status), 2) << row.text;
        EXPECT_NE(said.find(row.says), std::string::npos) << row.text << ": " << said;
    }
    int status = 0;
    const std::string missing =
        test_support::shell_output(program("velmora_server") + " --config /nonexistent/server.conf 2>&1", status);
    EXPECT_NE(missing.find("cannot read the configuration file \"/nonexistent/server.conf\""), std::string::npos)
        << missing;
}

TEST(ServerApi, AThousandSlowClientsCostOthersNothingAndAreClosedAtTheHeaderDeadline) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    ASSERT_GE(files.rlim_cur, 1200u) << "too few open files allowed for this test";
    test_support::server_process s(program("velmora_server"), cluster->url(),
                                   {"--header-timeout", "2", "--read-timeout", "5", "--max-connections-per-address", "2000",
                                    "--rate-per-address", "0"});
    std::vector<int> slow;
    for (int i = 0; i < 1000; ++i) {
        const int fd = connect_to(s.port());
        ASSERT_GE(fd, 0) << "connection " << i;
        send_all(fd, "GET /v1/health HTTP/1.1\r\n");
        slow.push_back(fd);
    }
    const auto opened = std::chrono::steady_clock::now();
    // A byte now and then on each, a normal client's requests between.
    for (int round = 0; round < 4; ++round) {
        for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int i = 0; i < 5; ++i) {
            const auto start = std::chrono::steady_clock::now();
            auto r = client(s.port()).Get("/v1/health");
            ASSERT_TRUE(r) << "round " << round;
            EXPECT_EQ(r->status, 200);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "round " << round;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_LT(status_kib(s.pid(), "VmRSS"), 200 << 10);
    // Each is closed, unanswered, once its headers are 2 s late.
    std::vector<pollfd> waiting;
    for (int fd : slow) waiting.push_back({fd, POLLIN, 0});
    std::size_t closed = 0, answered = 0;
    auto first_close = std::chrono::steady_clock::duration::max();
    while (closed < slow.size() && std::chrono::steady_clock::now() - opened < std::chrono::seconds(15)) {
        if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
        for (pollfd& p : waiting) {
            if (p.fd < 0 || !p.revents) continue;
            char c;
            if (recv(p.fd, &c, 1, MSG_DONTWAIT) > 0) ++answered;
            first_close = std::min(first_close, std::chrono::steady_clock::now() - opened);
            ++closed;
            close(p.fd);
            p.fd = -1;
        }
    }
    for (const pollfd& p : waiting)
        if (p.fd >= 0) close(p.fd);
    EXPECT_EQ(closed, slow.size());
    EXPECT_EQ(answered, 0u);
    EXPECT_GE(first_close, std::chrono::milliseconds(1500)) << "closed before their deadline";
    EXPECT_EQ(s.stop(), 0);
}

TEST(ServerApi, BodiesPastTheMemoryForBodiesAreRefusedUnreadAndSmallOnesTaken) {
    test_support::server_process s(program("velmora_server"), cluster->url(), {"--body-memory", "1"});
    const std::string token = new_player("roomy");
    // A chunked session counts as its limit (12 MB), past the 1 MiB for bodies.
    const int fd = connect_to(s.port());
    ASSERT_GE(fd, 0);
    send_all(fd, "POST /v1/sessions HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
                     "\r\nContent-Type: multipart/form-data; boundary=x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n--x--\r\n");
    const std::string answer = read_to_end(fd, 10);
    close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
    EXPECT_NE(answer.find("server_busy"), std::string::npos) << answer;
    EXPECT_NE(answer.find("Retry-After: 1"), std::string::npos) << answer;
    // A body that declares its small length fits, as does the next once it is done.
    for (const char* name : {"roomy_two", "roomy_three"}) {
        auto r = client(s.port()).Post("/v1/players", json{{"name", name}}.dump(), "application/json");
        ASSERT_TRUE(r) << name;
        EXPECT_EQ(r->status, 201) << name << ": " << r->body;
    }
}

TEST(ServerApi, ConnectionsPastTheirCapAreClosedAtOnceAndTheRestServed) {
    for (const char* cap : {"--max-connections-per-address", "--max-connections"}) {
        test_support::server_process s(program("velmora_server"), cluster->url(), {cap, "4", "--rate-per-address", "0"});
        std::vector<int> held;
        for (int i = 0; i < 4; ++i) held.push_back(connect_to(s.port()));
        // Past the cap: closed at once, while the four stay open.
        const int fifth = connect_to(s.port());
        ASSERT_GE(fifth, 0) << cap;
        EXPECT_EQ(read_to_end(fifth, 3), "") << cap;
        close(fifth);
        pollfd p{held[0], POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << cap << ": a held connection was closed";
        for (int fd : held) close(fd);
        // Their places free again once they are gone.
        int status = 0;
        for (int i = 0; i < 20 && status != 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            auto r = client(s.port()).Get("/v1/health");
            status = r ? r->status : 0;
        }
        EXPECT_EQ(status, 200) << cap;
        // A clean stop with connections open, one of them mid-request.
        const int idle = connect_to(s.port()), mid = connect_to(s.port());
        send_all(mid, "POST /v1/players HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 20\r\n\r\n{");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(s.stop(), 0) << cap;
        close(idle);
        close(mid);
    }
}

TEST(ServerApi, TheSameReplayTwiceIsOneSessionAndNeverAnotherPlayers) {
    const std::string alice = new_player("alice_twice"), bob = new_player("bob_twice");
    const std::string stage = stage_bytes(40, 3);
    const std::string replay = replay_bytes(stage, 21, {{2, 500}});
    auto first = client().Post("/v1/sessions", bearer(alice), session_form(stage, replay));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 202) << first->body;
    const std::int64_t id = body_json(first)["session"];
    EXPECT_EQ(body_json(first)["status"], "pending");
    auto again = client().Post("/v1/sessions", bearer(alice), session_form(stage, replay));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 202);
    EXPECT_EQ(body_json(again)["session"], id);
    expect_error(client().Post("/v1/sessions", bearer(bob), session_form(stage, replay)), 409, "replay_taken", "bob");
    EXPECT_EQ(settled(id)["status"], "verified");
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM sessions WHERE replay IN (SELECT replay FROM sessions WHERE id = " +
                           std::to_string(id) + ")"),
              "1");
    const std::string board = "/v1/boards/" + vaz::hash_bytes(stage.data(), stage.size()).hex() + "/standard/hard";
    const json j = body_json(client().Get(board.c_str(), bearer(bob)));
    EXPECT_EQ(j["players"], 1);
    EXPECT_TRUE(j["you"].is_null()) << j.dump();
    EXPECT_EQ(j["entries"][0]["player"], "alice_twice");
}

// A session sent with these labels: its status and body.
std::pair<int, json> send(const std::string& token, const std::string& stage, const std::string& replay,
                          const std::string& edition = "standard", const std::string& difficulty = "hard") {
    auto r = client().Post("/v1/sessions", bearer(token), session_form(stage, replay, edition, difficulty));
    if (!r) return {0, nullptr};
    return {r->status, body_json(r)};
}

// The replay changed as a copier would, its checksum made to fit again.
std::string rewritten(const std::string& bytes, const std::function<void(results::replay&)>& change) {
    results::replay r;
    EXPECT_EQ(results::decode_replay(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), r).status,
              results::replay_status::ok);
    change(r);
    const std::vector<std::uint8_t> out = results::encode_replay(r);
    return std::string(out.begin(), out.end());
}

void expect_copy(const std::pair<int, json>& answer, std::int64_t original, const std::string& row) {
    EXPECT_EQ(answer.first, 409) << row << ": " << answer.second.dump();
    EXPECT_EQ(answer.second.value("error", ""), "copied_run") << row;
    EXPECT_EQ(answer.second.value("original", std::int64_t{0}), original) << row;
    EXPECT_NE(answer.second.value("message", "").find("session " + std::to_string(original)), std::string::npos) << row;
}

std::string sessions_of(const std::string& stage) {
    return cluster->sql("SELECT count(*) FROM sessions WHERE stage = '" + vaz::hash_bytes(stage.data(), stage.size()).hex() + "'");
}

TEST(ServerApi, ARunCopiedUnderAnotherHeaderCountsOnlyForItsPlayer) {
    const std::string ann = new_player("ann_copied"), cal = new_player("cal_copier");
    const std::string stage = stage_bytes(40, 11);
    const auto first = send(ann, stage, replay_bytes(stage, 101, {{2, 500}}));
    ASSERT_EQ(first.first, 202) << first.second.dump();
    const std::int64_t id = first.second["session"];
    ASSERT_EQ(settled(id)["status"], "verified");
    auto fetched = client().Get(("/v1/sessions/" + std::to_string(id) + "/replay").c_str());
    ASSERT_TRUE(fetched && fetched->status == 200);
    const std::string offset = rewritten(fetched->body, [](results::replay& r) { r.offset_ms += 40; });
    expect_copy(send(cal, stage, offset), id, "offset changed");
    expect_copy(send(cal, stage, rewritten(fetched->body, [](results::replay& r) { r.seed = 103; })), id, "seed changed");
    // Its run beside one of the copier's own: that run is still the copy.
    expect_copy(send(cal, stage, rewritten(fetched->body, [](results::replay& r) {
                    const std::uint32_t start = r.update_count;
                    for (int i = 0; i < 50; ++i) results::append_update(r, i % 10 < 5 ? 1u << 8 : 0u);
                    r.finished_runs.push_back({start, start + 40, start + 50, 0, 0});
                })),
                id, "one run copied");
    // Its own player is answered the session it has.
    const auto again = send(ann, stage, offset);
    EXPECT_EQ(again.first, 202) << again.second.dump();
    EXPECT_EQ(again.second["session"], id);
    EXPECT_EQ(sessions_of(stage), "1");
}

TEST(ServerApi, ANearCopyOfAVerifiedRunIsRefusedAndOtherRunsAreNot) {
    const std::string dee = new_player("dee_original"), fox = new_player("fox_near"), gil = new_player("gil_still");
    const std::string stage = stage_bytes(40, 12);
    // 80 key changes with 1500 updates of no key in the middle.
    const std::uint32_t length = 2500;
    const std::vector<tap> taps = random_taps(21, 40, 1500);
    const auto first = send(dee, stage, replay_of_taps(stage, 111, taps, length));
    ASSERT_EQ(first.first, 202) << first.second.dump();
    const std::int64_t id = first.second["session"];
    ASSERT_EQ(settled(id)["status"], "verified");

    // A quarter of the taps moved by 1 or 2 updates, 5% left out.
    std::vector<tap> near = taps;
    for (std::size_t i = 0; i < near.size(); i += 4) near[i].at += 1 + (i / 4) % 2;
    near.erase(near.begin() + 20, near.begin() + 22);
    expect_copy(send(fox, stage, replay_of_taps(stage, 113, near, length, 25)), id, "near copy");

    // Other runs with the same long stillness are no copies of it or of each other.
    const auto still = send(gil, stage, replay_of_taps(stage, 121, random_taps(22, 40, 1500), length));
    ASSERT_EQ(still.first, 202) << still.second.dump();
    EXPECT_EQ(settled(still.second["session"])["status"], "verified");
    const auto other = send(fox, stage, replay_of_taps(stage, 131, random_taps(23, 40, 1500), length));
    EXPECT_EQ(other.first, 202) << other.second.dump();
}

TEST(ServerApi, ARunOfFewKeyChangesIsRefusedOnlyAsAnExactCopy) {
    const std::string hal = new_player("hal_few"), ivy = new_player("ivy_few");
    const std::string stage = stage_bytes(40, 13);
    const std::string original = replay_bytes(stage, 201, {{1, 100}});
    // Seed 203 spells one Z tap longer: the rest of its changes are 201's.
    const std::string close = replay_bytes(stage, 203, {{1, 100}});
    for (const std::string* r : {&original, &close}) {
        results::replay decoded;
        ASSERT_EQ(results::decode_replay(reinterpret_cast<const std::uint8_t*>(r->data()), r->size(), decoded).status,
                  results::replay_status::ok);
        ASSERT_LT(server::play_of(decoded).runs[0].changes.size(), server::near_copy_min_changes);
    }
    const auto first = send(hal, stage, original);
    ASSERT_EQ(first.first, 202) << first.second.dump();
    const std::int64_t id = first.second["session"];
    ASSERT_EQ(settled(id)["status"], "verified");
    const auto near = send(ivy, stage, close);
    EXPECT_EQ(near.first, 202) << near.second.dump();
    expect_copy(send(ivy, stage, rewritten(original, [](results::replay& r) { r.offset_ms = -7; })), id, "exact copy");
    // A run of a key or two held a while is no one's: two players who play
    // it alike to the update are both kept.
    const std::vector<tap> held = {{30, 36, 5}, {200, 10, 6}};
    const auto still_hal = send(hal, stage, replay_of_taps(stage, 205, held, 600));
    const auto still_ivy = send(ivy, stage, replay_of_taps(stage, 209, held, 600));
    ASSERT_EQ(still_hal.first, 202) << still_hal.second.dump();
    ASSERT_EQ(still_ivy.first, 202) << still_ivy.second.dump();
    EXPECT_NE(still_hal.second["session"], still_ivy.second["session"]);
    EXPECT_EQ(settled(still_ivy.second["session"])["status"], "verified");
}

TEST(ServerApi, CopiesSentAtOnceKeepOneSession) {
    std::vector<std::string> tokens;
    for (int i = 0; i < 12; ++i) tokens.push_back(new_player("racer_" + std::to_string(i)));
    for (int round = 0; round < 3; ++round) {
        const std::string stage = stage_bytes(40, 20 + round);
        const std::string base = replay_bytes(stage, 401, {{1, 50}});
        std::vector<std::string> copies;
        for (std::size_t i = 0; i < tokens.size(); ++i)
            copies.push_back(rewritten(base, [i](results::replay& r) { r.offset_ms = static_cast<std::int32_t>(i); }));
        std::vector<std::pair<int, json>> answers(tokens.size());
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < tokens.size(); ++i)
            threads.emplace_back([&, i] { answers[i] = send(tokens[i], stage, copies[i]); });
        for (std::thread& t : threads) t.join();
        std::vector<std::int64_t> kept;
        for (const auto& a : answers)
            if (a.first == 202) kept.push_back(a.second["session"]);
        ASSERT_EQ(kept.size(), 1u) << "round " << round;
        for (const auto& a : answers)
            if (a.first != 202) expect_copy(a, kept[0], "sent at once, round " + std::to_string(round));
        EXPECT_EQ(sessions_of(stage), "1");
    }
}

TEST(ServerApi, AStageKeepsTheLabelsItWasFirstSentWith) {
    const std::string jo = new_player("jo_labels"), kit = new_player("kit_labels");
    const std::string stage = stage_bytes(40, 14);
    const auto first = send(jo, stage, replay_bytes(stage, 301, {{1, 10}}), "dynamics", "easy");
    ASSERT_EQ(first.first, 202) << first.second.dump();
    const std::string seeds_replay = replay_bytes(stage, 303, {{1, 10}});
    const auto hard = send(kit, stage, seeds_replay, "dynamics", "hard");
    EXPECT_EQ(hard.first, 422) << hard.second.dump();
    EXPECT_EQ(hard.second.value("error", ""), "label_mismatch");
    EXPECT_EQ(hard.second.value("message", ""), "the stage was first sent as dynamics/easy, not dynamics/hard");
    EXPECT_EQ(send(jo, stage, seeds_replay, "standard", "easy").first, 422) << "its own player, another edition";
    const auto same = send(kit, stage, seeds_replay, "dynamics", "easy");
    EXPECT_EQ(same.first, 202) << same.second.dump();
    EXPECT_EQ(sessions_of(stage), "2");
}

TEST(ServerApi, WorkersVerifyAndBoardsKeepEachPlayersBestInTheGamesOrder) {
    const std::string stage = stage_bytes(60, 4);
    const std::string hash = vaz::hash_bytes(stage.data(), stage.size()).hex();
    struct submitted {
        std::string player;
        std::uint32_t seed;  // 7 (mod 10): the re-play refuses it
        std::vector<run_claim> runs;
        const char* status;
    };
    // Ratios: score / (hits x 15), the score itself without hits.
    const std::vector<submitted> rows = {
        {"ada", 31, {{2, 600}, {4, 1500}}, "verified"},  // 20, 25: run 2
        {"ada", 33, {{1, 150}}, "verified"},               // 10: keeps run 2 of the first
        {"bea", 41, {{2, 750}}, "verified"},               // 25 with 2 hits: ahead of ada's 25 with 4
        {"cyd", 47, {{0, 9999}}, "rejected"},              // refused by the re-play: never on the board
        {"dan", 51, {{0, 30}}, "verified"},                // 30 without hits
        {"eve", 61, {{5, 150}}, "verified"},               // 2
        {"eve", 998, {{0, 99999}}, "unverified"},          // the re-play crashes every time: never judged
        {"fay", 997, {{0, 99999}}, "rejected"},            // the re-play answers nonsense
        {"gus", 999, {{0, 99999}}, "rejected"},            // the re-play never ends
    };
    const auto board_of = [&](const std::string& labels, int limit, const std::string& token = {}) {
        return body_json(client().Get(("/v1/boards/" + hash + "/" + labels + "?limit=" + std::to_string(limit)).c_str(),
                                      token.empty() ? httplib::Headers{} : bearer(token)));
    };
    // Read (and kept) empty before any verdict: each verified best must show at once after.
    EXPECT_EQ(board_of("zetaflux/normal", 3)["players"], 0);
    std::map<std::string, std::string> tokens;
    std::vector<std::int64_t> ids;
    for (const submitted& s : rows) {
        if (!tokens.count(s.player)) tokens[s.player] = new_player(s.player);
        auto r = client().Post("/v1/sessions", bearer(tokens[s.player]),
                               session_form(stage, replay_bytes(stage, s.seed, s.runs), "zetaflux", "normal"));
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 202) << r->body;
        ids.push_back(body_json(r)["session"]);
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const json j = settled(ids[i], tokens[rows[i].player]);
        EXPECT_EQ(j["status"], rows[i].status) << "row " << i << ": " << j.dump();
        EXPECT_EQ(j["stage"], hash);
        EXPECT_EQ(j["edition"], "zetaflux");
        EXPECT_EQ(j["runs"].size(), rows[i].runs.size());
        // Why a run was refused is its player's: anyone else sees the status alone.
        const std::string path = "/v1/sessions/" + std::to_string(ids[i]);
        const std::string other = tokens[rows[i].player == "ada" ? "bea" : "ada"];
        for (const httplib::Headers& h : {httplib::Headers{}, bearer(other), bearer(std::string(64, 'e')), bearer("not a token")}) {
            const json seen = body_json(client().Get(path.c_str(), h));
            EXPECT_EQ(seen["status"], rows[i].status) << "row " << i << ": " << seen.dump();
            EXPECT_EQ(seen["reason"], "") << "row " << i << ": " << seen.dump();
        }
        if (std::string(rows[i].status) != "verified") {
            EXPECT_FALSE(j["reason"].get<std::string>().empty()) << j.dump();
        }
        // One line of the log per verdict, naming its session.
        if (std::string(rows[i].status) == "rejected" || std::string(rows[i].status) == "verified") {
            EXPECT_TRUE(logged("event=verdict session=" + std::to_string(ids[i]) + " status=" + rows[i].status + " ms="))
                << "row " << i;
        }
    }
    const json board = board_of("zetaflux/normal", 3, tokens["eve"]);
    ASSERT_TRUE(board.is_object());
    EXPECT_EQ(board["players"], 4);
    std::vector<std::string> names;
    for (const json& e : board["entries"]) names.push_back(e["player"]);
    EXPECT_EQ(names, (std::vector<std::string>{"dan", "bea", "ada"}));
    EXPECT_EQ(board["entries"][2]["run"], 2);
    EXPECT_EQ(board["entries"][2]["session"], ids[0]);
    EXPECT_EQ(board["entries"][0]["rank"], 1);
    // Rates as the game shows them, beside the number: eve's 150 / (5 x 15).
    EXPECT_EQ(board["entries"][0]["ratio_text"], "30.00");
    EXPECT_EQ(board["you"]["ratio_text"], "2.00");
    ASSERT_TRUE(board["you"].is_object()) << board.dump();
    EXPECT_EQ(board["you"]["rank"], 4);
    EXPECT_EQ(board["you"]["player"], "eve");
    // Each player's own rank, counted along the order, is their place in the whole board.
    const json whole = board_of("zetaflux/normal", 100);
    ASSERT_EQ(whole["entries"].size(), 4u);
    for (std::size_t i = 0; i < whole["entries"].size(); ++i) {
        const std::string name = whole["entries"][i]["player"];
        const json mine = board_of("zetaflux/normal", 1, tokens[name]);
        EXPECT_EQ(mine["you"]["rank"], i + 1) << name;
        EXPECT_EQ(mine["you"]["session"], whole["entries"][i]["session"]) << name;
        EXPECT_EQ(mine["entries"], json::array({whole["entries"][0]})) << name << ": the kept rows cut to the limit";
    }
    // The same stage under other labels is another board, empty, whatever is kept for this one.
    for (const char* other : {"zetaflux/hard", "standard/normal"}) {
        const json empty = board_of(other, 10, tokens["dan"]);
        EXPECT_EQ(empty["entries"], json::array()) << other;
        EXPECT_EQ(empty["players"], 0) << other;
        EXPECT_TRUE(empty["you"].is_null()) << other;
    }
    // The same order as the game's own comparison of the same rows.
    std::vector<results::result_row> game_rows;
    for (const json& e : board["entries"]) {
        results::result_row r;
        r.ratio = e["ratio"];
        r.hits = e["hits"];
        game_rows.push_back(r);
    }
    EXPECT_TRUE(std::is_sorted(game_rows.begin(), game_rows.end(), results::better_result));
    // The index boards are read along has the game's order: changing the
    // order needs a schema step of its own, not an edit of an applied one.
    std::string order = results::best_order_sql;
    for (std::size_t at; (at = order.find(" ASC")) != std::string::npos;) order.erase(at, 4);
    EXPECT_NE(cluster->sql("SELECT indexdef FROM pg_indexes WHERE indexname = 'bests_order'").find(order),
              std::string::npos)
        << order;
    // The files come back as they were sent.
    auto s = client().Get(("/v1/stages/" + hash).c_str());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->body, stage);
    auto rp = client().Get(("/v1/sessions/" + std::to_string(ids[2]) + "/replay").c_str());
    ASSERT_TRUE(rp);
    EXPECT_EQ(rp->body, replay_bytes(stage, 41, {{2, 750}}));
}

TEST(ServerApi, AFailedRePlayIsTriedAgainAndNeverJudged) {
    const std::string token = new_player("unlucky");
    const std::string stage = stage_bytes(25, 11);
    const auto send = [&](std::uint32_t seed) {
        auto r = client().Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, seed, {{1, 40}})));
        EXPECT_TRUE(r && r->status == 202) << (r ? r->body : httplib::to_string(r.error()));
        return r && r->status == 202 ? body_json(r) : json::object();
    };
    // Killed from outside the first time: tried again, then verified.
    const std::int64_t killed = send(994).value("session", 0);
    EXPECT_EQ(settled(killed)["status"], "verified");
    EXPECT_EQ(cluster->sql("SELECT attempts || ' ' || fault FROM sessions WHERE id = " + std::to_string(killed)),
              "1 the re-play ended by signal 9 (Killed)");
    EXPECT_TRUE(logged("event=verifier_failed session=" + std::to_string(killed) + " attempt=1 of=3"));
    // Crashing every time: unverified with its reason after the last of three attempts.
    const std::int64_t crashing = send(998).value("session", 0);
    const json j = settled(crashing, token);
    EXPECT_EQ(j["status"], "unverified");
    EXPECT_EQ(j["reason"], "the re-play ended by signal 11 (Segmentation fault)");
    const std::string attempts = "SELECT attempts FROM sessions WHERE id = " + std::to_string(crashing);
    EXPECT_EQ(cluster->sql(attempts), "3");
    // Sent again it is pending again, its attempts counted from none.
    const json again = send(998);
    EXPECT_EQ(again.value("session", 0), crashing);
    EXPECT_EQ(again.value("status", ""), "pending");
    EXPECT_EQ(settled(crashing)["status"], "unverified");
    EXPECT_EQ(cluster->sql(attempts), "3");
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM bests WHERE session = " + std::to_string(crashing)), "0");
}

// A worker's statement that fails names its session and statement in the
// log, and the job is taken again once the statement can run.
TEST(ServerApi, AWorkersFailedStatementNamesItsSessionAndTheJobIsTakenAgain) {
    const std::string token = new_player("doomed_best");
    const std::string player = cluster->sql("SELECT id FROM players WHERE name = 'doomed_best'");
    cluster->sql("CREATE FUNCTION refuse_best() RETURNS trigger LANGUAGE plpgsql AS 'BEGIN RAISE EXCEPTION ''no best today''; END'");
    cluster->sql("CREATE TRIGGER refuse_best BEFORE INSERT ON bests FOR EACH ROW WHEN (NEW.player = " + player +
                 ") EXECUTE FUNCTION refuse_best()");
    const std::string stage = stage_bytes(20, 78);
    auto sent = client().Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, 3, {{1, 30}})));
    ASSERT_TRUE(sent && sent->status == 202);
    const std::string id = std::to_string(body_json(sent)["session"].get<std::int64_t>());
    EXPECT_TRUE(logged("event=job_failed job=worker retry_ms=100 error=\"session " + id + ": statement record_best: ERROR:  no best today"));
    EXPECT_EQ(cluster->sql("SELECT status FROM sessions WHERE id = " + id), "pending");
    cluster->sql("DROP TRIGGER refuse_best ON bests");
    cluster->sql("DROP FUNCTION refuse_best()");
    EXPECT_EQ(settled(std::stoll(id), token)["status"], "verified");
}

// GET /metrics as Prometheus reads it: "name{labels} value" lines under
// their HELP and TYPE, by name; a line of another form fails the test.
std::map<std::string, double> scrape() {
    std::map<std::string, double> samples;
    auto r = client().Get("/metrics");
    if (!r) {
        ADD_FAILURE() << "no answer from /metrics";
        return samples;
    }
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u) << r->get_header_value("Content-Type");
    std::set<std::string> typed;
    std::istringstream in(r->body);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# HELP ", 0) == 0) continue;
        if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream t(line.substr(7));
            std::string name, type;
            t >> name >> type;
            EXPECT_TRUE(type == "counter" || type == "gauge" || type == "histogram") << line;
            EXPECT_TRUE(typed.insert(name).second) << "typed twice: " << line;
            continue;
        }
        const std::size_t space = line.rfind(' ');
        const std::string key = line.substr(0, space), name = key.substr(0, key.find('{'));
        char* end = nullptr;
        const double value = std::strtod(line.c_str() + space + 1, &end);
        const bool labels_whole = key.find('{') == std::string::npos || key.back() == '}';
        EXPECT_TRUE(space != std::string::npos && *end == '\0' && labels_whole && !name.empty() &&
                    name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos) << line;
        std::string family = name;
        for (const char* suffix : {"_bucket", "_sum", "_count"})
            if (!typed.count(family) && family.size() > std::strlen(suffix) &&
                family.compare(family.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
                family.erase(family.size() - std::strlen(suffix));
        EXPECT_TRUE(typed.count(family)) << "a sample before its TYPE: " << line;
        EXPECT_TRUE(samples.emplace(key, value).second) << "twice: " << line;
    }
    return samples;
}

TEST(ServerApi, MetricsCountKnownRequestsInPrometheusText) {
    const std::map<std::string, double> before = scrape();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(client().Get("/v1/health"));
    ASSERT_TRUE(client().Get("/v2/nothing"));
    ASSERT_TRUE(client().Post("/v1/players", std::string(2000, ' '), "application/json"));
    const std::string token = new_player("metered");
    const std::string stage = stage_bytes(20, 77);
    httplib::MultipartFormDataItems form = session_form(stage, replay_bytes(stage, 5, {{1, 30}}));
    form.push_back({"envelope", envelope_of(100, 5), "envelope", "application/octet-stream"});
    auto sent = client().Post("/v1/sessions", bearer(token), form);
    ASSERT_TRUE(sent && sent->status == 202);
    EXPECT_EQ(settled(body_json(sent)["session"], token)["status"], "verified");
    ASSERT_TRUE(client().Get(("/v1/stages/" + vaz::hash_bytes(stage.data(), stage.size()).hex() + "/envelope").c_str()));
    const std::map<std::string, double> after = scrape();
    const auto moved = [&](const std::string& key) {
        const auto a = after.find(key), b = before.find(key);
        if (a == after.end()) return -1.0;
        return a->second - (b == before.end() ? 0 : b->second);
    };
    const std::string health = "{route=\"GET /v1/health\"";
    const struct {
        std::string key;
        double by;
    } rows[] = {
        {"velmora_http_requests_total" + health + ",status=\"200\"}", 3},
        {"velmora_http_request_duration_seconds_count" + health + "}", 3},
        {"velmora_http_request_duration_seconds_bucket" + health + ",le=\"+Inf\"}", 3},
        {"velmora_http_requests_total{route=\"none\",status=\"404\"}", 1},
        {"velmora_http_requests_total{route=\"POST /v1/players\",status=\"413\"}", 1},
        {"velmora_http_requests_total{route=\"POST /v1/players\",status=\"201\"}", 1},
        {"velmora_http_requests_total{route=\"POST /v1/sessions\",status=\"202\"}", 1},
        {"velmora_http_requests_total{route=\"GET /metrics\",status=\"200\"}", 1},
        {"velmora_http_requests_total{route=\"GET /v1/stages/{hash}/envelope\",status=\"200\"}", 1},
        {"velmora_http_refusals_total{reason=\"payload_too_large\"}", 1},
        {"velmora_http_refusals_total{reason=\"not_found\"}", 1},
        {"velmora_verifications_total{outcome=\"verified\"}", 1},
        {"velmora_verification_duration_seconds_count", 1},
    };
    for (const auto& row : rows) EXPECT_EQ(moved(row.key), row.by) << row.key;
    // Buckets count up to their bound: never fewer than the bucket before.
    double last = 0;
    for (const char* le : {"0.0005", "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1"}) {
        const std::string key = "velmora_http_request_duration_seconds_bucket" + health + ",le=\"" + le + "\"}";
        ASSERT_TRUE(after.count(key)) << key;
        EXPECT_GE(after.at(key), last) << key;
        last = after.at(key);
    }
    EXPECT_EQ(after.at("velmora_database_connections_max{pool=\"primary\"}"), 16);
    EXPECT_LE(after.at("velmora_database_connections_in_use{pool=\"primary\"}"), 16);
    EXPECT_EQ(after.at("velmora_verification_queue_read_ok"), 1);
    EXPECT_GE(after.at("velmora_verification_queue_depth"), 0);
    EXPECT_GE(after.at("velmora_verification_oldest_pending_seconds"), 0);
    // Refusals reach the log summed up, never a line a request.
    EXPECT_TRUE(logged("event=refusals seconds=1 "));
    EXPECT_TRUE(logged("payload_too_large="));
    EXPECT_EQ(log_text().find("/v1/health"), std::string::npos);
}

// A player or an address whose re-plays spent their CPU budget for the hour
// is refused new sessions, and nothing of them is stored; an address makes
// only so many players an hour.
TEST(ServerApi, FloodsAreRefusedWithRetryAfter) {
    const std::string stage = stage_bytes(25, 12);
    const std::string flooder = new_player("flooder"), bystander = new_player("bystander");
    auto first = client().Post("/v1/sessions", bearer(flooder), session_form(stage, replay_bytes(stage, 995, {{1, 40}})));
    ASSERT_TRUE(first && first->status == 202);
    const std::int64_t spent = body_json(first)["session"];
    // Verified, or on a machine loaded past the wall-clock limit rejected: its CPU is counted either way.
    const json verdict = settled(spent);
    ASSERT_NE(verdict["status"], "pending") << verdict.dump();
    EXPECT_GE(std::stoll(cluster->sql("SELECT verify_cpu_ms FROM sessions WHERE id = " + std::to_string(spent))), 150)
        << verdict.dump();
    EXPECT_EQ(cluster->sql("SELECT address FROM sessions WHERE id = " + std::to_string(spent)), "127.0.0.1");

    const std::vector<std::string> quick = {"--rate-per-address", "0", "--rate-per-token", "0", "--players-per-address", "0"};
    const auto with = [&](std::vector<std::string> more) {
        more.insert(more.end(), quick.begin(), quick.end());
        return more;
    };
    test_support::server_process per_player(program("velmora_server"), cluster->url(), with({"--verify-budget-per-player", "0.1"}));
    test_support::server_process per_address(program("velmora_server"), cluster->url(),
                                             with({"--verify-budget-per-player", "0", "--verify-budget-per-address", "0.1"}));
    struct row {
        const char* what;
        int port;
        const std::string& token;
        std::uint32_t seed;
        int status;
    };
    const std::vector<row> rows = {
        {"the flooder past its budget", per_player.port(), flooder, 2, 429},
        {"another player", per_player.port(), bystander, 3, 202},
        {"another player from the flooding address", per_address.port(), bystander, 4, 429},
    };
    for (const row& r : rows) {
        const std::string sessions = cluster->sql("SELECT count(*) FROM sessions");
        auto res = client(r.port).Post("/v1/sessions", bearer(r.token), session_form(stage, replay_bytes(stage, r.seed, {{1, 40}})));
        if (r.status == 202) {
            ASSERT_TRUE(res) << r.what;
            EXPECT_EQ(res->status, 202) << r.what << ": " << res->body;
            continue;
        }
        expect_error(res, 429, "verification_budget", r.what);
        ASSERT_TRUE(res && res->has_header("Retry-After")) << r.what;
        const int wait = std::stoi(res->get_header_value("Retry-After"));
        EXPECT_TRUE(wait >= 3500 && wait <= 3600) << r.what << ": " << wait;
        EXPECT_EQ(cluster->sql("SELECT count(*) FROM sessions"), sessions) << r.what;
    }

    const int made = std::stoi(cluster->sql(
        "SELECT count(*) FROM players WHERE address = '127.0.0.1' AND created_at > now() - interval '1 hour'"));
    test_support::server_process few_players(program("velmora_server"), cluster->url(),
                                             {"--rate-per-address", "0", "--players-per-address", std::to_string(made + 1)});
    auto one = client(few_players.port()).Post("/v1/players", json{{"name", "last_one"}}.dump(), "application/json");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->status, 201) << one->body;
    auto more = client(few_players.port()).Post("/v1/players", json{{"name", "one_more"}}.dump(), "application/json");
    expect_error(more, 429, "too_many_players", "a player past the address's limit");
    EXPECT_TRUE(more && more->has_header("Retry-After"));
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM players WHERE name = 'one_more'"), "0");
}

// A board of 3,000 players made in SQL, their ratios on and just beside
// bucket edges, ties in ratio, hits and time; its buckets as a migration
// fills them from the bests. Then every place the API answers is the count
// of the rows ahead, as is its player count, on the default exact top and
// past a small one, and bests recorded by two transactions at once keep
// the buckets the count of their rows.
constexpr int histogram_players = 3000;
const std::string histogram_stage(32, 'b');
const std::string histogram_board = "/v1/boards/" + histogram_stage + "/standard/hard?limit=5";

std::string histogram_token(int g) {
    char text[65];
    std::snprintf(text, sizeof text, "%064x", 0x5000000 + g);
    return text;
}

// Each named player's place, counting the rows up to its own in the order
// the game's comparison spells out, and the rows in its bucket of ratio.
struct counted {
    std::int64_t place = 0, bucket_rows = 0;
};
std::map<std::string, counted> counted_places(pqxx::connection& c) {
    pqxx::nontransaction n(c);
    std::map<std::string, counted> out;
    for (const pqxx::row& r : n.exec_params(
             "SELECT p.name, count(*) OVER (ORDER BY b.ratio DESC, b.hits, b.played_at, b.session, b.run ROWS UNBOUNDED PRECEDING),"
             " count(*) OVER (PARTITION BY ratio_key(b.ratio) >> 34)"
             " FROM bests b JOIN players p ON p.id = b.player WHERE b.stage = $1 AND b.edition = 'standard' AND b.difficulty = 'hard'",
             histogram_stage))
        out[r[0].as<std::string>()] = {r[1].as<std::int64_t>(), r[2].as<std::int64_t>()};
    return out;
}

// A verified session of one run for the named player on the histogram's board.
std::int64_t add_run(pqxx::work& w, const std::string& name, double ratio, int hits) {
    static int replays = 0;
    const std::string replay = "hist-replay-" + std::to_string(++replays);
    w.exec_params("INSERT INTO replays (hash, bytes) VALUES ($1, '\\x00'::bytea)", replay);
    return w.exec_params1(
        "WITH s AS (INSERT INTO sessions (player, stage, replay, edition, difficulty, updates, status, submitted_at)"
        "   SELECT id, $2, $3, 'standard', 'hard', 1, 'verified', 1800000000000000 FROM players WHERE name = $1 RETURNING id)"
        " INSERT INTO runs (session, run, hits, score, ratio, updates, played_at)"
        "   SELECT id, 1, $5, 0, $4, 1, 1800000000000000 FROM s RETURNING session",
        name, histogram_stage, replay, ratio, hits)[0].as<std::int64_t>();
}

void expect_buckets_count_the_board(pqxx::connection& c, const std::string& row) {
    pqxx::nontransaction n(c);
    const std::string board = "stage = $1 AND edition = 'standard' AND difficulty = 'hard'";
    EXPECT_EQ(n.exec_params1("SELECT count(*) FROM (SELECT l.level, ratio_key(ratio) >> l.shift AS bucket, count(*) AS players"
                             " FROM bests CROSS JOIN (VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift)"
                             " WHERE " + board + " GROUP BY 1, 2) counted FULL JOIN (SELECT level, bucket, players FROM board_buckets"
                             " WHERE " + board + ") kept USING (level, bucket) WHERE counted.players IS DISTINCT FROM kept.players",
                             histogram_stage)[0].as<int>(), 0) << row << ": buckets differ from the bests";
}

// Asks the board as each sampled player and each of the first 25; every
// place agrees with the count or, past exact_top only and marked an
// estimate, lies within half its bucket of it.
void expect_places(int port, pqxx::connection& c, std::vector<int> sample, std::int64_t exact_top, const std::string& row) {
    const std::map<std::string, counted> places = counted_places(c);
    for (const auto& [name, place] : places)
        if (place.place <= 25 && name.find_first_not_of("0123456789", 4) == std::string::npos) sample.push_back(std::atoi(name.c_str() + 4));
    int estimated = 0;
    for (int g : sample) {
        const std::string name = "hist" + std::to_string(g);
        const json j = body_json(client(port).Get(histogram_board.c_str(), bearer(histogram_token(g))));
        ASSERT_TRUE(j.is_object() && j["you"].is_object()) << row << " " << name << ": " << j.dump();
        EXPECT_EQ(j["players"], places.size()) << row;
        const std::int64_t rank = j["you"]["rank"], truth = places.at(name).place;
        if (!j["you"]["rank_estimate"].get<bool>()) {
            EXPECT_EQ(rank, truth) << row << " " << name;
            continue;
        }
        ++estimated;
        EXPECT_GT(truth, exact_top) << row << " " << name << ": estimated " << rank << ", true " << truth;
        EXPECT_LE(std::abs(rank - truth), places.at(name).bucket_rows / 2) << row << " " << name << ": estimated " << rank;
    }
    if (exact_top < 100) {
        EXPECT_GT(estimated, 0) << row << ": no place past the exact top was estimated";
    }
}

TEST(ServerApi, BoardPlacesFromTheBucketsAreTheCountOfTheRowsAhead) {
    pqxx::connection c(cluster->url());
    {
        pqxx::work w(c);
        // Ratios on bucket edges of the finest level (1 + 2^-18) and of
        // coarser ones (1, 1 + 2^-8, 1.5), and just under them.
        w.exec_params(
            "INSERT INTO players (name, token_hash) SELECT 'hist' || g,"
            " sha256(convert_to(lpad(to_hex(g + $2), 64, '0'), 'UTF8')) FROM generate_series(1, $1) g",
            histogram_players, 0x5000000);
        w.exec_params("INSERT INTO stages (hash, bytes, events) VALUES ($1, '\\x01'::bytea, 0)", histogram_stage);
        w.exec_params("INSERT INTO replays (hash, bytes) SELECT 'hist' || g, '\\x00'::bytea FROM generate_series(1, $1) g",
                      histogram_players);
        w.exec_params(
            "INSERT INTO sessions (player, stage, replay, edition, difficulty, updates, status, submitted_at)"
            " SELECT p.id, $1, 'hist' || g, 'standard', 'hard', 1, 'verified', 1700000000000000 + g % 5"
            " FROM generate_series(1, $2) g JOIN players p ON p.name = 'hist' || g",
            histogram_stage, histogram_players);
        w.exec_params(
            "INSERT INTO runs (session, run, hits, score, ratio, updates, played_at)"
            " SELECT s.id, 1, (g * 104729) % 4, 0, (ARRAY[0, 1 - 2 ^ -40, 1, 1 + 2 ^ -18 - 2 ^ -40, 1 + 2 ^ -18, 1 + 2 ^ -8,"
            "   1.5 - 2 ^ -40, 1.5, 2.5, 100000, 3])[1 + (g * 7919) % 11], 1, s.submitted_at"
            " FROM generate_series(1, $1) g JOIN sessions s ON s.replay = 'hist' || g",
            histogram_players);
        w.exec_params(
            "INSERT INTO bests (stage, edition, difficulty, player, session, run, ratio, hits, score, played_at)"
            " SELECT s.stage, s.edition, s.difficulty, s.player, r.session, r.run, r.ratio, r.hits, r.score, r.played_at"
            " FROM runs r JOIN sessions s ON s.id = r.session WHERE s.stage = $1",
            histogram_stage);
        w.exec_params("INSERT INTO board_buckets (stage, edition, difficulty, level, bucket, players)"
                      " SELECT stage, edition, difficulty, l.level, ratio_key(ratio) >> l.shift, count(*) FROM bests"
                      " CROSS JOIN (VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift) WHERE stage = $1"
                      " GROUP BY 1, 2, 3, 4, 5",
                      histogram_stage);
        w.commit();
    }
    std::vector<int> sample;
    for (int g = 1; g <= histogram_players; g += g < 40 ? 1 : 37) sample.push_back(g);
    expect_buckets_count_the_board(c, "made in SQL");
    expect_places(server->port(), c, sample, 10000, "exact top of 10,000");
    // Its board's rows are kept a short while, and written below from outside it.
    const int small_top_cache_ms = 300;
    test_support::server_process small_top(program("velmora_server"), cluster->url(),
                                           {"--board-exact-top", "20", "--rate-per-address", "0", "--rate-per-token", "0",
                                            "--board-cache-ms", std::to_string(small_top_cache_ms)});
    expect_places(small_top.port(), c, sample, 20, "exact top of 20");
    // Two at once: hist1 leaves its bucket for hist2's, which hist2 leaves
    // (and a bucket of one empties) while the first has not committed; a
    // new player joins.
    {
        pqxx::work w(c);
        w.exec("INSERT INTO players (name, token_hash) VALUES ('hist_new', '\\x01'::bytea), ('hist_solo', '\\x02'::bytea)");
        for (const auto& [name, ratio] : std::vector<std::pair<std::string, double>>{{"hist_new", 1}, {"hist_solo", 7}})
            server::record_best(w, add_run(w, name, ratio, 0), histogram_stage, "standard", "hard",
                                w.exec_params1("SELECT id FROM players WHERE name = $1", name)[0].as<std::int64_t>());
        w.commit();
    }
    const auto player_id = [&](const std::string& name) {
        pqxx::nontransaction n(c);
        return n.exec_params1("SELECT id FROM players WHERE name = $1", name)[0].as<std::int64_t>();
    };
    const auto ratio_of = [&](const std::string& name) {
        pqxx::nontransaction n(c);
        return n.exec_params1("SELECT ratio FROM bests b JOIN players p ON p.id = b.player WHERE p.name = $1", name)[0].as<double>();
    };
    const double first_ratio = ratio_of("hist1"), second_ratio = ratio_of("hist2");
    ASSERT_LT(first_ratio, second_ratio);
    const std::int64_t first_id = player_id("hist1"), second_id = player_id("hist2"), solo_id = player_id("hist_solo");
    pqxx::work first(c);
    server::record_best(first, add_run(first, "hist1", second_ratio, 0), histogram_stage, "standard", "hard", first_id);
    std::string second_failed;
    std::thread second([&] {
        try {
            pqxx::connection c2(cluster->url());
            pqxx::work w(c2);
            server::record_best(w, add_run(w, "hist2", second_ratio * 2, 0), histogram_stage, "standard", "hard", second_id);
            server::record_best(w, add_run(w, "hist_solo", 100000, 0), histogram_stage, "standard", "hard", solo_id);
            w.commit();
        } catch (const std::exception& e) {
            second_failed = e.what();
        }
    });
    // The second waits on the first's bucket row.
    bool waited = false;
    for (int i = 0; i < 100 && !waited; ++i) {
        pqxx::connection look(cluster->url());
        pqxx::nontransaction n(look);
        waited = n.exec1("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'")[0].as<int>() > 0;
        if (!waited) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(waited) << "the second writer never waited on the first";
    first.commit();
    second.join();
    EXPECT_EQ(second_failed, "");
    EXPECT_EQ(ratio_of("hist1"), second_ratio);
    EXPECT_EQ(ratio_of("hist_solo"), 100000);
    expect_buckets_count_the_board(c, "after two writers");
    {
        pqxx::nontransaction n(c);
        EXPECT_EQ(n.exec1("SELECT count(*) FROM board_buckets WHERE players = 0")[0].as<int>(), 0) << "an empty bucket kept";
    }
    // The shared server keeps its rows past the test's end; one that has kept none.
    test_support::server_process fresh(program("velmora_server"), cluster->url(), {"--rate-per-address", "0"});
    expect_places(fresh.port(), c, {1, 2, 3, 4, 5, 100, 2000}, 10000, "after two writers");
    // Writes from outside a server show on its board once what it kept is older than its time to live.
    std::this_thread::sleep_for(std::chrono::milliseconds(small_top_cache_ms + 50));
    expect_places(small_top.port(), c, sample, 20, "after two writers, kept a while before");
}

TEST(ServerApi, ADatabaseErrorNamesItsStatementAndKeepsItsState) {
    // The player's lock held elsewhere past a short lock time-out: recording a best fails at its first statement.
    pqxx::connection holder(cluster->url()), c(cluster->url());
    pqxx::work held(holder);
    held.exec("SELECT pg_advisory_xact_lock(424242)");
    pqxx::work w(c);
    w.exec("SET LOCAL lock_timeout = '50ms'");
    try {
        server::record_best(w, 1, histogram_stage, "standard", "hard", 424242);
        ADD_FAILURE() << "the lock was taken";
    } catch (const pqxx::sql_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("statement player_lock: ", 0), 0u) << e.what();
        EXPECT_EQ(e.sqlstate(), "55P03") << "lock_not_available, as the database said";
    }
}

TEST(ServerApi, SlowClientsAreDroppedAndOthersServed) {
    // Many connections that send half a request and then nothing.
    std::vector<int> slow;
    for (int i = 0; i < 24; ++i) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(server->port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const std::string parts[] = {
            "GET /v1/hea",
            "POST /v1/players HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 40\r\n\r\n{\"na",
            "GET /boards/" + std::string(32, 'a') + "/standard/ha",
            "GET /sessions/1 HTTP/1.1\r\nHost: x\r\n",
        };
        const std::string& part = parts[i % 4];
        send(s, part.data(), part.size(), MSG_NOSIGNAL);
        slow.push_back(s);
    }
    const auto start = std::chrono::steady_clock::now();
    auto r = client().Get("/v1/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // Past the read time-out (2 s) each is answered with a 4xx or closed.
    for (int s : slow) {
        timeval tv{15, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[512];
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        const std::string got = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
        EXPECT_TRUE(n == 0 || got.rfind("HTTP/1.1 4", 0) == 0) << "got " << n << " bytes: " << got;
        close(s);
    }
}

TEST(ServerApi, RatesPastTheirLimitAreRefusedWithRetryAfter) {
    test_support::server_process limited(program("velmora_server"), cluster->url(),
                                         {"--rate-per-address", "0.5", "--burst-per-address", "3", "--rate-per-token", "0"});
    // The pages count against the same allowance as the JSON routes.
    const std::string board_page = "/boards/" + std::string(32, 'a') + "/standard/hard";
    const std::pair<std::string, bool> requests[] = {
        {"/v1/health", false}, {board_page, false}, {"/sessions/1", false}, {board_page, true}, {"/sessions/1", true},
    };
    for (const auto& [path, refused] : requests) {
        auto r = client(limited.port()).Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status == 429, refused) << path << ": " << r->status;
        if (r->status == 429) {
            EXPECT_TRUE(r->has_header("Retry-After")) << path;
            EXPECT_EQ(body_json(r)["error"], "rate_limited") << path;
        }
    }

    // Behind a trusted proxy each client it names has its own allowance,
    // and the proxy's own connections are not held to the per-address cap;
    // a name that is no address counts as the proxy.
    test_support::server_process proxied(program("velmora_server"), cluster->url(),
                                         {"--rate-per-address", "0.5", "--burst-per-address", "3",
                                          "--max-connections-per-address", "2", "--trusted-proxy", "127.0.0.1"});
    const auto status_for = [&](const std::string& forwarded) {
        httplib::Headers h;
        if (!forwarded.empty()) h.emplace("X-Forwarded-For", forwarded);
        auto r = client(proxied.port()).Get("/v1/health", h);
        return r ? r->status : 0;
    };
    const std::vector<std::pair<std::string, int>> rows = {
        {"10.0.0.1", 200}, {"10.0.0.1", 200}, {"10.0.0.1", 200}, {"10.0.0.1", 429},
        {"198.51.100.7, 10.0.0.2", 200},  // the last address is the one the proxy added
        {"10.0.0.9, 10.0.0.1", 429},      // a client cannot pick another's allowance by prepending
        {"not an address", 200}, {"", 200}, {"", 200}, {"", 429},
    };
    for (const auto& [forwarded, status] : rows) EXPECT_EQ(status_for(forwarded), status) << forwarded;
    std::vector<int> held;
    for (int i = 0; i < 5; ++i) held.push_back(server_test::connect_to(proxied.port()));
    for (int fd : held) EXPECT_GE(fd, 0);
    auto through = client(proxied.port()).Get("/v1/health", {{"X-Forwarded-For", "10.0.0.3"}});
    ASSERT_TRUE(through) << "five connections from the proxy shut it out";
    EXPECT_EQ(through->status, 200);
    for (int fd : held) ::close(fd);

    test_support::server_process per_token(program("velmora_server"), cluster->url(),
                                           {"--rate-per-address", "0", "--rate-per-token", "0.1", "--burst-per-token", "1"});
    const std::string token = new_player("hasty");
    const std::string stage = stage_bytes(30, 5);
    auto first = client(per_token.port()).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, 71, {{1, 1}})));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 202) << first->body;
    auto second = client(per_token.port()).Post("/v1/sessions", bearer(token), session_form(stage, replay_bytes(stage, 72, {{1, 1}})));
    expect_error(second, 429, "rate_limited", "second submission");
    EXPECT_TRUE(second && second->has_header("Retry-After"));
}

// velmora_server admin ARGS on the tests' database, by "tester": its exit
// status and what it printed on either stream. The words hold no quote.
struct admin_result {
    int status;
    std::string out;
};
admin_result admin(const std::vector<std::string>& args, bool with_database = true) {
    std::string command = program("velmora_server") + " admin";
    for (const std::string& a : args) command += " '" + a + "'";
    if (with_database) command += " --database '" + cluster->url() + "'";
    int status = 0;
    std::string out = test_support::shell_output(command + " --by tester 2>&1", status);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// A board as "name:session" per entry, read through a server that keeps nothing.
std::vector<std::string> board_names(int port, const std::string& stage, const std::string& labels = "standard/hard") {
    const json j = body_json(client(port).Get(("/v1/boards/" + stage + "/" + labels + "?limit=100").c_str()));
    std::vector<std::string> out;
    for (const json& e : j.value("entries", json::array()))
        out.push_back(e["player"].get<std::string>() + ":" + std::to_string(e["session"].get<std::int64_t>()));
    EXPECT_EQ(j.value("players", -1), static_cast<int>(out.size())) << stage;
    return out;
}

// Bucket rows of the stage's boards that differ from a count of its bests.
std::string bucket_mismatches(const std::string& stage) {
    const std::string of = "stage = '" + stage + "'";
    return cluster->sql("SELECT count(*) FROM (SELECT edition, difficulty, l.level, ratio_key(ratio) >> l.shift AS bucket,"
                        " count(*) AS players FROM bests CROSS JOIN (VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift)"
                        " WHERE " + of + " GROUP BY 1, 2, 3, 4) counted FULL JOIN (SELECT edition, difficulty, level, bucket, players"
                        " FROM board_buckets WHERE " + of + ") kept USING (edition, difficulty, level, bucket)"
                        " WHERE counted.players IS DISTINCT FROM kept.players");
}

std::string hex_of(const std::string& bytes) { return vaz::hash_bytes(bytes.data(), bytes.size()).hex(); }

std::string plain_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

std::int64_t verified_session(const std::string& token, const std::string& stage, std::uint32_t seed, std::vector<run_claim> runs) {
    const std::int64_t id = send(token, stage, replay_bytes(stage, seed, runs)).second.value("session", 0);
    EXPECT_EQ(settled(id)["status"], "verified") << seed;
    return id;
}

TEST(ServerApi, KeepersHideRestrictRenameAndDeletePlayersEachWithAnAuditRow) {
    test_support::server_process reader(program("velmora_server"), cluster->url(), {"--workers", "0", "--board-cache-ms", "0"});
    const std::string kim = new_player("kim_keep"), lou = new_player("lou_keep");
    const std::string stage = stage_bytes(30, 41), other = stage_bytes(30, 42), hash = hex_of(stage), other_hash = hex_of(other);
    // kim: 20 with 2 hits (a), 10 (b), and a run on another stage (c); lou: 20 with 1 hit, ahead of a.
    const std::int64_t a = verified_session(kim, stage, 201, {{2, 600}}), b = verified_session(kim, stage, 203, {{1, 150}});
    const std::int64_t l = verified_session(lou, stage, 205, {{1, 300}}), c = verified_session(kim, other, 209, {{1, 300}});
    const std::string kim_id = cluster->sql("SELECT id FROM players WHERE name = 'kim_keep'");
    const std::string kim_replays = cluster->sql("SELECT string_agg(quote_literal(replay), ',') FROM sessions WHERE player = " + kim_id);
    const auto at = [](const std::string& name, std::int64_t session) { return name + ":" + std::to_string(session); };
    struct row {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> board, other_board;  // after it
        std::string printed;                          // a part of what it printed
    };
    const std::vector<row> rows = {
        {{"hide", std::to_string(a), "--reason", "clipped"}, 0, {at("lou_keep", l), at("kim_keep", b)}, {at("kim_keep", c)}, "hidden"},
        {{"restore", std::to_string(a)}, 0, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)}, "restored"},
        {{"hide", std::to_string(a)}, 2, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)}, "needs --reason"},
        {{"restrict", "kim_keep", "--reason", "a bot plays"}, 0, {at("lou_keep", l)}, {}, "on 2 boards"},
        {{"lift", "KIM_keep"}, 0, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)}, "let back"},
        // Hiding a run that is not the best changes no board.
        {{"hide", std::to_string(b), "--reason", "not a real run"}, 0, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)}, ""},
        {{"runs", "--player", "kim_keep"}, 0, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)},
         std::to_string(b) + "\tkim_keep\t" + hash + "\tstandard\thard\tverified\thidden\t1\t1:1/150\tnot a real run"},
        {{"rename", "kim_keep", "LOU_keep"}, 1, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)}, "is taken"},
        {{"rename", "kim_keep", "k"}, 1, {at("lou_keep", l), at("kim_keep", a)}, {at("kim_keep", c)}, "cannot be a name"},
        {{"rename", "kim_keep", "kim_kept"}, 0, {at("lou_keep", l), at("kim_kept", a)}, {at("kim_kept", c)}, "renamed"},
        {{"note", "kim_kept", "kim_keep asked to leave"}, 0, {at("lou_keep", l), at("kim_kept", a)}, {at("kim_kept", c)}, "noted"},
        {{"hide", "99999999", "--reason", "x"}, 1, {at("lou_keep", l), at("kim_kept", a)}, {at("kim_kept", c)}, "no session"},
        {{"lift", "nobody_here"}, 1, {at("lou_keep", l), at("kim_kept", a)}, {at("kim_kept", c)}, "no player is named"},
        {{"delete-player", "kim_kept", "--reason", "asked"}, 0, {at("lou_keep", l)}, {}, "deleted with 3 sessions"},
    };
    for (const row& r : rows) {
        const admin_result got = admin(r.args);
        const std::string what = r.args[0] + " " + r.args[1];
        EXPECT_EQ(got.status, r.status) << what << ": " << got.out;
        EXPECT_NE(got.out.find(r.printed), std::string::npos) << what << ": " << got.out;
        EXPECT_EQ(board_names(reader.port(), hash), r.board) << what;
        EXPECT_EQ(board_names(reader.port(), other_hash), r.other_board) << what;
        EXPECT_EQ(bucket_mismatches(hash), "0") << what;
        EXPECT_EQ(bucket_mismatches(other_hash), "0") << what;
        if (r.args[0] == "restrict") {
            // Refused with the reason while restricted, nothing stored.
            const auto refused = send(kim, stage, replay_bytes(stage, 221, {{1, 30}}));
            EXPECT_EQ(refused.first, 403);
            EXPECT_EQ(refused.second.value("error", ""), "player_restricted");
            EXPECT_NE(refused.second.value("message", "").find("a bot plays"), std::string::npos) << refused.second.dump();
        }
    }
    EXPECT_EQ(send(kim, stage, replay_bytes(stage, 223, {{1, 30}})).first, 401) << "the token left with its player";
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM runs WHERE session IN (" + std::to_string(a) + ", " + std::to_string(b) + ", " +
                           std::to_string(c) + ")") + " " + cluster->sql("SELECT count(*) FROM replays WHERE hash IN (" + kim_replays + ")"),
              "0 0");
    EXPECT_EQ(client().Get(("/v1/sessions/" + std::to_string(l) + "/replay").c_str())->status, 200) << "another's replay stays";
    // The names are free again, and the audit keeps the deleted player's id alone.
    EXPECT_FALSE(new_player("kim_kept").empty());
    EXPECT_EQ(cluster->sql("SELECT string_agg(action || '/' || by_name, ',' ORDER BY id) FROM audit WHERE player = " + kim_id),
              "hide/tester,restore/tester,restrict/tester,lift/tester,hide/tester,rename/tester,note/tester,delete-player/tester");
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM audit WHERE detail LIKE '%kim%'"), "0");
    const admin_result last = admin({"audit", "--limit", "1"});
    EXPECT_NE(last.out.find("\tdelete-player\t#" + kim_id + "\t"), std::string::npos) << last.out;
    EXPECT_EQ(last.out.find("kim"), std::string::npos) << last.out;
    // The server's configuration names the database; a keeper's role that
    // may take the tables' owner's (and has no rights of its own) acts as it.
    cluster->sql("CREATE ROLE keeper LOGIN NOINHERIT; GRANT velmora TO keeper");
    std::string url = cluster->url();
    url.replace(url.find("velmora@"), 7, "keeper");
    const std::string config = cluster->root() + "/keeper.conf";
    std::ofstream(config) << "database = " << url << "\nlisten = 127.0.0.1:0\nworkers = 2\n";
    const admin_result noted = admin({"note", "lou_keep", "seen by a keeper", "--config", config}, false);
    EXPECT_EQ(noted.status, 0) << noted.out;
    EXPECT_EQ(cluster->sql("SELECT by_name || ' ' || detail FROM audit WHERE action = 'note' ORDER BY id DESC LIMIT 1"),
              "tester seen by a keeper");
}

TEST(ServerApi, ReverifyHidesWhatTheGameNowPlaysOtherwiseKeepsItAndChargesNoOne) {
    test_support::server_process reader(program("velmora_server"), cluster->url(), {"--workers", "0", "--board-cache-ms", "0"});
    const std::string mo = new_player("mo_again"), ned = new_player("ned_again");
    const std::string stage = stage_bytes(30, 43), other = stage_bytes(30, 44), hash = hex_of(stage), other_hash = hex_of(other);
    const std::int64_t m = verified_session(mo, stage, 231, {{2, 600}}), n = verified_session(ned, stage, 233, {{1, 150}});
    const std::int64_t m2 = verified_session(mo, other, 235, {{1, 300}});
    const std::string ids = std::to_string(m) + ", " + std::to_string(n) + ", " + std::to_string(m2);
    const std::string v = std::to_string(gametask::rules::logic_version), spent = cluster->sql(
        "SELECT string_agg(spent_at::text, ',' ORDER BY id) FROM sessions WHERE id IN (" + ids + ")");
    EXPECT_EQ(cluster->sql("SELECT string_agg(logic_version::text, ',' ORDER BY id) FROM sessions WHERE id IN (" + ids + ")"),
              v + "," + v + "," + v);
    // m was verified by an older logic: of its stage's, the one queued; the game now plays it otherwise.
    cluster->sql("UPDATE sessions SET logic_version = 0 WHERE id = " + std::to_string(m));
    std::ofstream(cluster->root() + "/refuse-" + hash) << "refuse\n";
    const std::string fake = program("tests/fake_verify");
    {
        // With mo's lock held the worker's new verdict waits: the board is read while the session is queued.
        pqxx::connection c(cluster->url());
        pqxx::work hold(c);
        hold.exec_params("SELECT pg_advisory_xact_lock($1)", std::stoll(cluster->sql("SELECT id FROM players WHERE name = 'mo_again'")));
        const admin_result queued = admin({"reverify", "--stage", hash, "--verifier", fake});
        EXPECT_EQ(queued.status, 0) << queued.out;
        EXPECT_NE(queued.out.find("1 sessions queued"), std::string::npos) << queued.out;
        for (int i = 0; i < 100 && cluster->sql("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted") == "0"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(board_names(reader.port(), hash), (std::vector<std::string>{"mo_again:" + std::to_string(m), "ned_again:" + std::to_string(n)}));
        EXPECT_EQ(cluster->sql("SELECT status FROM sessions WHERE id = " + std::to_string(m)), "pending");
        hold.commit();
    }
    const json judged = settled(m, mo);  // the reason is told to its own player
    EXPECT_EQ(judged["status"], "rejected");
    EXPECT_EQ(judged["reason"], "run 1: score: recorded 300, replayed 299");
    EXPECT_EQ(board_names(reader.port(), hash), std::vector<std::string>{"ned_again:" + std::to_string(n)});
    EXPECT_EQ(bucket_mismatches(hash), "0");
    // Kept for review, hidden with the reason, its replay still served.
    EXPECT_EQ(cluster->sql("SELECT hidden || ' ' || hidden_reason FROM sessions WHERE id = " + std::to_string(m)),
              "true run 1: score: recorded 300, replayed 299");
    EXPECT_EQ(client().Get(("/v1/sessions/" + std::to_string(m) + "/replay").c_str())->status, 200);
    // The other stage: by version only what another logic verified; --all everything; either verified again and recorded.
    cluster->sql("UPDATE sessions SET logic_version = NULL WHERE id = " + std::to_string(m2));
    for (const auto& [all, printed] : {std::pair{false, "1 sessions queued"}, {false, "0 sessions queued"}, {true, "1 sessions queued"}}) {
        std::vector<std::string> args = {"reverify", "--stage", other_hash, "--verifier", fake};
        if (all) args.push_back("--all");
        const admin_result r = admin(args);
        EXPECT_NE(r.out.find(printed), std::string::npos) << r.out;
        EXPECT_EQ(settled(m2)["status"], "verified");
        EXPECT_EQ(board_names(reader.port(), other_hash), std::vector<std::string>{"mo_again:" + std::to_string(m2)});
    }
    // Re-plays asked for by the keepers cost the players nothing.
    EXPECT_EQ(cluster->sql("SELECT string_agg(spent_at::text, ',' ORDER BY id) FROM sessions WHERE id IN (" + ids + ")"), spent);
    EXPECT_EQ(cluster->sql("SELECT string_agg(status || ' ' || hidden || ' ' || logic_version, ',' ORDER BY id) FROM sessions"
                           " WHERE id IN (" + ids + ")"),
              "rejected true 0,verified false " + v + ",verified false " + v);
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM audit WHERE action = 'reverify' AND by_name = 'tester'"), "4");
}

using server::html_escape;

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(ServerApi, PagesShowBoardsAndSessionsEscapedAndWithoutHiddenRuns) {
    const std::string evil_name = "<script>alert(1)</script>", evil_title = "\"><img src=x onerror=alert(1)>";
    const std::string ann = new_player("page_ann"), bob = new_player("page_bob");
    // Older rules or a keeper's rename may have let any name through.
    cluster->sql("UPDATE players SET name = '" + evil_name + "' WHERE name = 'page_ann'");
    const std::string stage = stage_bytes(30, 71), hash = hex_of(stage);
    auto form = session_form(stage, replay_bytes(stage, 301, {{2, 600}}));
    for (auto& item : form)
        if (item.name == "title") item.content = evil_title;
    form.push_back({"artist", evil_name, "", ""});
    auto posted = client().Post("/v1/sessions", bearer(ann), form);
    ASSERT_TRUE(posted);
    ASSERT_EQ(posted->status, 202) << posted->body;
    const std::string a = std::to_string(body_json(posted)["session"].get<std::int64_t>());
    EXPECT_EQ(settled(std::stoll(a))["status"], "verified");
    // bob's run is ahead of ann's, then hidden before anything reads the board.
    const std::string b = std::to_string(verified_session(bob, stage, 303, {{1, 300}}));
    EXPECT_EQ(admin({"hide", b, "--reason", "not a real run"}).status, 0);
    const std::string board_path = "/boards/" + hash + "/standard/hard", port = std::to_string(server->port());
    const json board = body_json(client().Get(("/v1/boards/" + hash + "/standard/hard").c_str()));
    ASSERT_EQ(board["entries"].size(), 1u) << board.dump();
    const std::string rate = "<td>" + board["entries"][0]["ratio_text"].get<std::string>() + "</td>";
    struct row {
        const char* what;
        std::string path;
        httplib::Headers headers;
        int status;
        std::vector<std::string> parts;  // each in the page
    };
    const std::vector<row> rows = {
        {"board", board_path, {}, 200,
         {html_escape(evil_name), html_escape(evil_title), rate, "href=\"/sessions/" + a + "\"",
          "href=\"velmora://127.0.0.1:" + port + "/sessions/" + a + "\""}},
        // A Host that is no host[:port] never reaches the page: the links name the address reached.
        {"board with a hostile Host", board_path, {{"Host", evil_title}}, 200, {"href=\"velmora://127.0.0.1:" + port + "/sessions/" + a + "\""}},
        {"session with a quoting Host", "/sessions/" + a, {{"Host", "x' onmouseover='y"}}, 200,
         {"href=\"velmora://127.0.0.1:" + port + "/sessions/" + a + "\""}},
        {"board with another server's Host", board_path, {{"Host", "boards.example:9000"}}, 200,
         {"href=\"velmora://boards.example:9000/sessions/" + a + "\""}},
        {"session", "/sessions/" + a, {}, 200,
         {html_escape(evil_name), html_escape(evil_title), rate, "Status: verified", "href=\"/v1/sessions/" + a + "/replay\"",
          "href=\"velmora://127.0.0.1:" + port + "/sessions/" + a + "\""}},
        {"hidden session", "/sessions/" + b, {}, 404, {"Not found"}},
        {"unknown session", "/sessions/99999999", {}, 404, {"Not found"}},
        {"session not a number", "/sessions/a1", {}, 404, {"Not found"}},
        {"unknown stage", "/boards/" + std::string(32, '0') + "/standard/hard", {}, 404, {"Not found"}},
        {"unknown edition", "/boards/" + hash + "/nosuch/hard", {}, 404, {"Not found"}},
        {"unknown difficulty", "/boards/" + hash + "/standard/extreme", {}, 404, {"Not found"}},
        {"stage not a hash", "/boards/" + hash.substr(1) + "/standard/hard", {}, 404, {"Not found"}},
    };
    for (const row& r : rows) {
        auto got = client().Get(r.path.c_str(), r.headers);
        ASSERT_TRUE(got) << r.what;
        EXPECT_EQ(got->status, r.status) << r.what;
        EXPECT_EQ(got->get_header_value("Content-Type"), "text/html; charset=utf-8") << r.what;
        for (const std::string& part : r.parts) EXPECT_NE(got->body.find(part), std::string::npos) << r.what << ": " << part << " in\n" << got->body;
        for (const std::string& raw : {evil_name, evil_title, std::string("page_bob"), "/sessions/" + b + "\""})
            EXPECT_EQ(got->body.find(raw), std::string::npos) << r.what << ": " << raw << " in\n" << got->body;
    }
    auto head = client().Head(board_path.c_str());
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(head->body, "");

    // With a public address configured, links use it whatever Host says.
    test_support::child_program pub({program("velmora_server"), "--database", cluster->url(), "--listen", "127.0.0.1:0",
                                     "--public-url", "http://Boards.Example:8443/"},
                                    cluster->root() + "/public_server.log");
    const std::string line = pub.first_line(60);
    ASSERT_NE(line.rfind(':'), std::string::npos) << line;
    httplib::Client c("127.0.0.1", std::stoi(line.substr(line.rfind(':') + 1)));
    for (const std::string& host : {std::string("other.example"), evil_title}) {
        for (const std::string& path : {board_path, "/sessions/" + a}) {
            auto got = c.Get(path.c_str(), {{"Host", host}});
            ASSERT_TRUE(got) << path;
            EXPECT_NE(got->body.find("href=\"velmora://boards.example:8443/sessions/" + a + "\""), std::string::npos) << path << got->body;
            EXPECT_EQ(got->body.find("other.example"), std::string::npos) << path << got->body;
        }
    }
    auto session = c.Get(("/sessions/" + a).c_str());
    ASSERT_TRUE(session);
    EXPECT_NE(session->body.find("<a href=\"http://boards.example:8443/sessions/" + a + "\">"), std::string::npos) << session->body;
}

TEST(ServerApi, AReplayDownloadCountsOncePerViewerADay) {
    const std::string cy = new_player("watch_cy"), di = new_player("watch_di"), ed = new_player("watch_ed");
    const std::string stage = stage_bytes(30, 72), hash = hex_of(stage);
    const std::int64_t s = verified_session(cy, stage, 311, {{1, 300}});
    const std::string id = std::to_string(s), replay = "/v1/sessions/" + id + "/replay";
    struct row {
        const char* what;
        httplib::Headers headers;
        bool head;
        int watches;  // after it
    };
    const std::vector<row> rows = {
        {"a player", bearer(di), false, 1},
        {"the same player again", bearer(di), false, 1},
        {"its own player", bearer(cy), false, 2},
        {"no token", {}, false, 3},
        {"the same address again", {}, false, 3},
        {"an unknown token counts as its address", bearer(std::string(64, 'e')), false, 3},
        {"a HEAD downloads nothing", bearer(ed), true, 3},
        {"another player", bearer(ed), false, 4},
    };
    for (const row& r : rows) {
        auto got = r.head ? client().Head(replay.c_str(), r.headers) : client().Get(replay.c_str(), r.headers);
        ASSERT_TRUE(got) << r.what;
        EXPECT_EQ(got->status, 200) << r.what;
        EXPECT_EQ(body_json(client().Get(("/v1/sessions/" + id).c_str()))["watches"], r.watches) << r.what;
        const std::string n = std::to_string(r.watches);
        auto page = client().Get(("/sessions/" + id).c_str());
        EXPECT_NE(page->body.find("<span class=\"watches\">" + n + "</span>"), std::string::npos) << r.what << ":\n" << page->body;
        auto board = client().Get(("/boards/" + hash + "/standard/hard").c_str());
        EXPECT_NE(board->body.find("<td class=\"n watches\">" + n + "</td>"), std::string::npos) << r.what << ":\n" << board->body;
    }
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM watches WHERE session = " + id), "4");
    EXPECT_EQ(client().Get("/v1/sessions/99999999/replay")->status, 404);
    // Viewers are keyed with the database's secret: no unkeyed hash of an
    // address or a player is stored, and the address's keyed one is.
    const std::string player_ids = "SELECT 'player ' || id FROM players WHERE name LIKE 'watch\\___'";
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM watches WHERE session = " + id +
                           " AND viewer IN (SELECT sha256(convert_to(v, 'UTF8')) FROM (" + player_ids +
                           " UNION SELECT 'address 127.0.0.1') x(v))"),
              "0");
    const std::string secret = unhex(cluster->sql("SELECT encode(secret, 'hex') FROM server_secrets WHERE name = 'watch_viewer'"));
    ASSERT_EQ(secret.size(), 32u);
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM watches WHERE session = " + id + " AND viewer = '\\x" +
                           plain_hex(server::keyed_hash(secret, "address 127.0.0.1")) + "'"),
              "1");
}

// Players kept before names had keys get theirs at start, oldest first: a
// look-alike of an older or already keyed name, or a name the rules refuse,
// keeps none. Many players are keyed in a few statements, not one each.
TEST(ServerApi, PlayersKeptBeforeNameKeysGetTheirsOldestFirst) {
    const std::string held = new_player("rekey_pat");
    ASSERT_FALSE(held.empty());
    const struct {
        std::string name;
        bool keyed;
    } rows[] = {
        {"rekey_l1", true},
        {"rekey_I1", false},                      // reads as the older rekey_l1
        {"rekey_p\xd0\xb0t", false},              // Cyrillic a: reads as rekey_pat, keyed before
        {"ab", false},                            // too short under today's rules
        {"rekey_\"quote\\back", true},           // kept as text whatever it holds
        {"REKEY_Q\xef\xbd\x92", true},             // fullwidth r
    };
    pqxx::connection c(cluster->url());
    {
        pqxx::work w(c);
        for (const auto& r : rows)
            w.exec_params("INSERT INTO players (name, token_hash) VALUES ($1, sha256(convert_to($1, 'UTF8')))", r.name);
        w.exec("INSERT INTO players (name, token_hash) SELECT 'rekey_many_' || n, sha256(convert_to('rekey_many_' || n, 'UTF8'))"
               " FROM generate_series(1, 20000) n");
        w.commit();
    }
    const auto started = std::chrono::steady_clock::now();
    server::key_old_names(c);
    std::printf("keyed 20,006 names in %.2f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    pqxx::work w(c);
    for (const auto& r : rows) {
        const pqxx::row key = w.exec_params1("SELECT coalesce(name_key, '<none>') FROM players WHERE name = $1", r.name);
        EXPECT_EQ(key[0].as<std::string>(), r.keyed ? server::check_name(r.name).key : "<none>") << r.name;
    }
    EXPECT_EQ(cluster->sql("SELECT count(*) FROM players WHERE name LIKE 'rekey\\_many\\_%' AND name_key IS NOT NULL"), "20000");
    EXPECT_EQ(cluster->sql("SELECT name_key FROM players WHERE name = 'rekey_many_777'"), server::check_name("rekey_many_777").key);
}

// Watch rows past their age are pruned by a worker in batches while it is
// idle, younger ones kept; the counts on the sessions stay.
TEST(ServerApi, AWorkerPrunesWatchRowsPastTheirAgeAndKeepsTheRest) {
    const std::string token = new_player("prune_fay");
    const std::string id = std::to_string(verified_session(token, stage_bytes(30, 74), 321, {{1, 300}}));
    const std::string today = "(now() AT TIME ZONE 'UTC')::date";
    const auto days_ago = [&](int d) {
        return "SELECT count(*) FROM watches WHERE session = " + id + " AND day = " + today + " - " + std::to_string(d);
    };
    // More old rows than one batch, and one a day short of the age.
    cluster->sql("INSERT INTO watches (session, day, viewer) SELECT " + id + ", " + today +
                 " - 31, sha256(int4send(n)) FROM generate_series(1, 2500) n");
    cluster->sql("INSERT INTO watches (session, day, viewer) VALUES (" + id + ", " + today + " - 29, '\\x01')");
    cluster->sql("UPDATE sessions SET watches = 2501 WHERE id = " + id);
    test_support::child_program worker({program("velmora_server"), "--worker", "--database", cluster->url(), "--verifier",
                                        program("tests/fake_verify")},
                                       cluster->root() + "/prune_worker.log");
    std::string left;
    for (int i = 0; i < 300 && (left = cluster->sql(days_ago(31))) != "0"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(left, "0");
    EXPECT_EQ(cluster->sql(days_ago(29)), "1");
    EXPECT_EQ(body_json(client().Get(("/v1/sessions/" + id).c_str()))["watches"], 2501);
}

// A hundred rows read from the board's kept copy: the page's latency and
// the JSON route's over 2,000 requests each, one after another, reported
// (not asserted).
TEST(ServerApi, ABoardPageOfAHundredRowsIsServedWhole) {
    const std::string stage = stage_bytes(30, 73), hash = hex_of(stage);
    std::vector<std::int64_t> ids;
    for (int i = 0; i < 100; ++i) {
        const std::string token = new_player("hundred_" + std::to_string(i));
        const auto sent = send(token, stage, replay_bytes(stage, 5000 + static_cast<std::uint32_t>(i) * 10, {{1, 30 + i}}));
        ASSERT_EQ(sent.first, 202) << sent.second.dump();
        ids.push_back(sent.second["session"]);
    }
    for (std::int64_t id : ids) ASSERT_EQ(settled(id)["status"], "verified") << id;
    httplib::Client c = client();
    c.set_keep_alive(true);
    for (const std::string& path : {"/boards/" + hash + "/standard/hard", "/v1/boards/" + hash + "/standard/hard?limit=100"}) {
        std::vector<double> ms;
        std::size_t bytes = 0;
        for (int i = 0; i < 2000; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            auto r = c.Get(path.c_str());
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            ASSERT_TRUE(r && r->status == 200) << path << " " << i;
            bytes = r->body.size();
            if (i == 0 && path[1] == 'b') {
                EXPECT_EQ(count_of(r->body, "<a href=\"/sessions/"), 100u);
                EXPECT_NE(r->body.find("100 players"), std::string::npos);
            }
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%s (%zu bytes), 2000 sequential requests: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", path.c_str(), bytes,
                    ms[1000], ms[1980], ms.back());
    }
}

// A fingerprint as Chromaprint's text: 300 items from `seed`, each bit
// flipped with the chance `flipped` (a copy of another encoding).
std::string fingerprint_text(unsigned seed, double flipped) {
    std::mt19937 random(seed), flips(seed * 7 + 1);
    std::vector<std::uint32_t> items(300);
    for (std::uint32_t& i : items) {
        i = random();
        for (int b = 0; b < 32; ++b)
            if (static_cast<double>(flips() % 10000) < flipped * 10000) i ^= 1u << b;
    }
    char* text = nullptr;
    int size = 0;
    EXPECT_TRUE(chromaprint_encode_fingerprint(items.data(), static_cast<int>(items.size()), CHROMAPRINT_ALGORITHM_DEFAULT,
                                               &text, &size, 1));
    const std::string out(text, static_cast<std::size_t>(size));
    chromaprint_dealloc(text);
    return out;
}

// A session of a song with its fingerprint (180 s long, as session_form
// says) and, when not empty, its envelope.
std::pair<int, json> send_song(const std::string& token, const std::string& stage, std::uint32_t seed,
                               const std::string& fingerprint, const std::string& envelope = {}) {
    httplib::MultipartFormDataItems items = session_form(stage, replay_bytes(stage, seed, {{3, 300}}));
    items.push_back({"fingerprint", fingerprint, "", ""});
    if (!envelope.empty()) items.push_back({"envelope", envelope, "envelope", "application/octet-stream"});
    auto r = client().Post("/v1/sessions", bearer(token), items);
    if (!r) return {0, nullptr};
    return {r->status, body_json(r)};
}

std::string verified_song(const std::string& token, const std::string& stage, std::uint32_t seed, const std::string& fingerprint,
                          const std::string& envelope = {}) {
    const auto sent = send_song(token, stage, seed, fingerprint, envelope);
    EXPECT_EQ(sent.first, 202) << sent.second.dump();
    return settled(sent.second.value("session", 0))["status"];
}

std::string recording_of(const std::string& stage) {
    return cluster->sql("SELECT coalesce(recording::text, 'none') FROM stages WHERE hash = '" + hex_of(stage) + "'");
}

TEST(ServerApi, CopiesOfOneRecordingShareTheBoardVerifiedFirstAndKeepTheirOwnRuns) {
    const std::string ada = new_player("ada_rec"), bo = new_player("bo_rec");
    const std::string song = fingerprint_text(71, 0), copy = fingerprint_text(71, 0.04), other = fingerprint_text(72, 0);
    const std::string a = stage_bytes(31, 71), b = stage_bytes(31, 72), c = stage_bytes(31, 73);
    const std::string envelope_a = envelope_of(600, 1), envelope_b = envelope_of(450, 2);
    ASSERT_EQ(verified_song(ada, a, 7101, song, envelope_a), "verified");
    ASSERT_EQ(verified_song(bo, b, 7102, copy), "verified");
    ASSERT_EQ(verified_song(bo, c, 7103, other), "verified");
    // A later session brings b its first envelope; a keeps its first.
    ASSERT_EQ(verified_song(ada, b, 7104, copy, envelope_b), "verified");
    ASSERT_EQ(verified_song(bo, a, 7105, song, envelope_of(600, 3)), "verified");
    EXPECT_EQ(recording_of(a), recording_of(b));
    EXPECT_NE(recording_of(a), recording_of(c));
    EXPECT_NE(recording_of(c), "none");
    // Hiding the board's first run leaves the board where it is.
    const std::string first = cluster->sql("SELECT min(id) FROM sessions WHERE stage = '" + hex_of(a) + "'");
    ASSERT_EQ(admin({"hide", first, "--reason", "a test"}).status, 0);

    const auto expect_kept = [&](int port, const std::string& when) {
        httplib::Client at = client(port);
        const json found = body_json(at.Get(("/v1/recordings?fingerprint=" + copy + "&length_ms=180900").c_str()));
        ASSERT_TRUE(found.contains("boards")) << when << ": " << found.dump();
        ASSERT_EQ(found["boards"].size(), 1u) << when << ": " << found.dump();
        EXPECT_EQ(found["boards"][0]["stage"], hex_of(a)) << when;
        EXPECT_EQ(found["boards"][0]["envelope"], true) << when;
        EXPECT_EQ(found["boards"][0]["edition"].get<std::string>() + "/" + found["boards"][0]["difficulty"].get<std::string>(),
                  "standard/hard") << when;
        EXPECT_EQ(found["stages"].size(), 2u) << when << ": the two copies' boards, not the other recording's";
        const struct {
            const std::string& stage;
            const char* recording_board;  // "" for none
            std::int64_t players;
            const std::string* envelope;  // null: 404
        } rows[] = {{a, "", 1, &envelope_a}, {b, "a", 2, &envelope_b}, {c, "", 1, nullptr}};
        for (const auto& r : rows) {
            const json board = body_json(at.Get(("/v1/boards/" + hex_of(r.stage) + "/standard/hard").c_str()));
            EXPECT_EQ(board.value("recording_board", ""), *r.recording_board ? hex_of(a) : "") << when << ": " << board.dump();
            EXPECT_EQ(board.value("players", -1), r.players) << when << ": only the stage's own runs";
            auto e = at.Get(("/v1/stages/" + hex_of(r.stage) + "/envelope").c_str());
            ASSERT_TRUE(e) << when;
            EXPECT_EQ(e->status, r.envelope ? 200 : 404) << when;
            if (r.envelope) {
                EXPECT_EQ(e->body, *r.envelope) << when;
            }
        }
        auto none = at.Get(("/v1/stages/" + std::string(32, '0') + "/envelope").c_str());
        EXPECT_TRUE(none && none->status == 404) << when << ": an unknown stage";
    };
    expect_kept(server->port(), "served");
    // Another server on the same database, as after a restart, reads it all back.
    test_support::server_process again(program("velmora_server"), cluster->url(), {"--workers", "0", "--board-cache-ms", "0"});
    expect_kept(again.port(), "restarted");
}

TEST(ServerApi, StagesKeptBeforeRecordingsJoinOneWithTheirBoardWhenNextSent) {
    const std::string cy = new_player("cy_rec");
    const struct {
        const char* what;
        unsigned salt;
        bool by_copy;  // linked by a copy's arrival, else by a session of its own
    } rows[] = {{"a copy arrives", 81, true}, {"its own next session", 83, false}};
    for (const auto& r : rows) {
        const std::string song = fingerprint_text(r.salt, 0), copy = fingerprint_text(r.salt, 0.03);
        const std::string old = stage_bytes(31, static_cast<int>(r.salt)), fresh = stage_bytes(31, static_cast<int>(r.salt) + 1);
        ASSERT_EQ(verified_song(cy, old, r.salt * 100 + 1, song), "verified") << r.what;
        // As a stage stored before stages were linked: in no recording, no board chosen.
        cluster->sql("DELETE FROM recording_boards WHERE stage = '" + hex_of(old) + "'");
        cluster->sql("UPDATE stages SET recording = NULL WHERE hash = '" + hex_of(old) + "'");
        ASSERT_EQ(recording_of(old), "none") << r.what;
        const auto sent = r.by_copy ? send_song(cy, fresh, r.salt * 100 + 2, copy) : send_song(cy, old, r.salt * 100 + 2, song);
        ASSERT_EQ(sent.first, 202) << r.what << ": " << sent.second.dump();
        ASSERT_NE(recording_of(old), "none") << r.what;
        if (r.by_copy) {
            EXPECT_EQ(recording_of(old), recording_of(fresh)) << r.what;
        }
        EXPECT_EQ(cluster->sql("SELECT stage FROM recording_boards WHERE recording = " + recording_of(old)), hex_of(old)) << r.what;
    }
}

// Another mix of one piece fingerprints as a copy does, but its stage gets
// a recording, and so a board, of its own when both stages' envelopes keep
// their bands' levels; a copy joins the board's, a copy of the other mix
// that mix's; a stage sent without an envelope is left to its fingerprint.
TEST(ServerApi, AnotherMixOfOnePieceGetsARecordingOfItsOwn) {
    const std::string dee = new_player("dee_mix");
    std::vector<std::string> stages{stage_bytes(31, 131)};
    ASSERT_EQ(send_song(dee, stages[0], 13101, fingerprint_text(131, 0), server_test::music_envelope(0, 1, 1)).first, 202);
    const struct {
        const char* what;
        std::string envelope;
        int joins;  // the stage whose recording it joins (0: the board's), -1 for a new one
    } rows[] = {
        {"a copy 6 dB quieter after 0.7 s of silence", server_test::music_envelope(0.7, 0.5, 1), 0},
        {"the tones 10 dB down", server_test::music_envelope(0, 1, 0.3), -1},
        {"a copy of that mix 3 dB quieter after 0.4 s", server_test::music_envelope(0.4, 0.7, 0.3), 2},
        {"the tones 10 dB down, sent without an envelope", "", 0},
    };
    for (const auto& r : rows) {
        const int salt = 131 + static_cast<int>(stages.size());
        stages.push_back(stage_bytes(31, salt));
        const auto sent = send_song(dee, stages.back(), static_cast<std::uint32_t>(13100 + salt), fingerprint_text(131, 0.03), r.envelope);
        ASSERT_EQ(sent.first, 202) << r.what << ": " << sent.second.dump();
        const std::string recording = recording_of(stages.back());
        EXPECT_NE(recording, "none") << r.what;
        if (r.joins >= 0) {
            EXPECT_EQ(recording, recording_of(stages[static_cast<std::size_t>(r.joins)])) << r.what;
        }
        for (std::size_t i = 0; r.joins < 0 && i + 1 < stages.size(); ++i)
            EXPECT_NE(recording, recording_of(stages[i])) << r.what << " against stage " << i;
    }
}

TEST(ServerApi, CopiesSentAtOnceMakeOneRecording) {
    std::vector<std::string> tokens;
    for (int i = 0; i < 4; ++i) tokens.push_back(new_player("racer_rec_" + std::to_string(i)));
    for (int round = 0; round < 3; ++round) {
        std::vector<std::string> stages;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) stages.push_back(stage_bytes(31, 90 + round * 4 + i));
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] {
                EXPECT_EQ(send_song(tokens[i], stages[i], 9000 + round * 4 + i, fingerprint_text(91 + round, 0.01 * i)).first, 202);
            });
        for (std::thread& t : threads) t.join();
        std::string hashes;
        for (const std::string& st : stages) hashes += (hashes.empty() ? "'" : ",'") + hex_of(st) + "'";
        EXPECT_EQ(cluster->sql("SELECT count(DISTINCT recording) || '/' || count(recording) FROM stages WHERE hash IN (" + hashes + ")"),
                  "1/4") << "round " << round;
    }
}

}  // namespace
