#include "online/client.hpp"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <random>
#include <utility>

#include <nlohmann/json.hpp>

namespace online {
namespace {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

struct address {
    std::string origin;  // scheme://host[:port]
    std::string prefix;  // a path the API sits under, without a trailing '/'
    std::string problem;
};

address parse_address(const std::string& server) {
    address a;
    std::string rest;
    if (server.rfind("http://", 0) == 0) {
        rest = server.substr(7);
    } else if (server.rfind("https://", 0) == 0) {
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
        a.problem = "this build of the game talks to servers over http:// only, not \"" + server + "\"";
        return a;
#endif
        rest = server.substr(8);
    } else {
        a.problem = "the server's address \"" + server + "\" must start with http:// or https://";
        return a;
    }
    const std::size_t slash = rest.find('/');
    const std::string host = rest.substr(0, slash);
    if (host.empty() || host.find_first_of(" \t\r\n@?#") != std::string::npos) {
        a.problem = "the server's address \"" + server + "\" names no host";
        return a;
    }
    a.origin = server.substr(0, server.size() - rest.size()) + host;
    if (slash != std::string::npos) a.prefix = rest.substr(slash);
    while (!a.prefix.empty() && a.prefix.back() == '/') a.prefix.pop_back();
    return a;
}

std::string text_of(const json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t number_of(const json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number_integer() ? it->get<std::int64_t>() : 0;
}

double real_of(const json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<double>() : 0.0;
}

// A boundary no part holds, so the parts need no escaping.
std::string boundary_for(const session_upload& s) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        const std::string b = "velmora-" + std::to_string(random()) + std::to_string(random());
        if (s.stage.find(b) == std::string::npos && s.replay.find(b) == std::string::npos &&
            s.envelope.find(b) == std::string::npos)
            return b;
    }
}

std::string multipart(const session_upload& s, const std::string& boundary) {
    std::string body;
    const auto part = [&](const char* name, const std::string& value, bool file) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
        if (file) body += std::string("; filename=\"") + name + "\"\r\nContent-Type: application/octet-stream";
        body += "\r\n\r\n" + value + "\r\n";
    };
    part("stage", s.stage, true);
    part("replay", s.replay, true);
    part("edition", s.edition, false);
    part("difficulty", s.difficulty, false);
    // Tags with line breaks would not survive the form; they are left out.
    const auto text = [&](const char* name, const std::string& v) {
        if (!v.empty() && v.find_first_of("\r\n") == std::string::npos && v.find(boundary) == std::string::npos)
            part(name, v, false);
    };
    text("title", s.title);
    text("artist", s.artist);
    text("album", s.album);
    text("fingerprint", s.fingerprint);
    if (s.length_ms > 0) part("length_ms", std::to_string(s.length_ms), false);
    if (!s.envelope.empty()) part("envelope", s.envelope, true);
    body += "--" + boundary + "--\r\n";
    return body;
}

board_entry entry_of(const json& e) {
    board_entry b;
    b.rank = static_cast<int>(number_of(e, "rank"));
    b.player = text_of(e, "player");
    b.hits = number_of(e, "hits");
    b.score = number_of(e, "score");
    b.ratio = real_of(e, "ratio");
    b.session = number_of(e, "session");
    b.run = static_cast<int>(number_of(e, "run"));
    const auto estimate = e.find("rank_estimate");
    b.rank_estimate = estimate != e.end() && estimate->is_boolean() && estimate->get<bool>();
    return b;
}

// Sends and waits no later than `deadline`: the socket is shut then whatever
// the call waits for, so a server dribbling its headers never reaches the
// receivers. `late` says the watchdog shut it.
bool send_by(httplib::Client& http, httplib::Request& req, httplib::Response& res, httplib::Error& error,
             clock_type::time_point deadline, bool& late) {
    std::mutex lock;
    std::condition_variable done_or_late;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> g(lock);
        if (!done_or_late.wait_until(g, deadline, [&] { return done; })) {
            late = true;
            http.stop();
        }
    });
    const bool sent = http.send(req, res, error);
    {
        std::lock_guard<std::mutex> g(lock);
        done = true;
    }
    done_or_late.notify_all();
    watchdog.join();
    return sent;
}

// What an answer that came in full means: ok for 2xx; otherwise the status
// and the server's own message, worth trying again for 5xx and 429.
outcome outcome_of(const httplib::Response& res, const std::string& body, const std::string& server) {
    outcome how;
    how.status = res.status;
    if (res.has_header("Retry-After")) how.retry_after = std::atoi(res.get_header_value("Retry-After").c_str());
    if (res.status >= 200 && res.status < 300) {
        how.ok = true;
        return how;
    }
    how.retry = res.status >= 500 || res.status == 429;
    const json j = json::parse(body, nullptr, false);
    const std::string said = j.is_object() ? text_of(j, "message") : std::string();
    how.message = "the server " + server + " answered " + std::to_string(res.status) +
                  (said.empty() ? std::string() : ": " + said.substr(0, 200));
    return how;
}

}  // namespace

struct client::answer {
    outcome how;
    std::string body;
};

client::client(std::string server, std::string token, limits l)
    : server_(std::move(server)), token_(std::move(token)), limits_(l) {}

std::string client::check_address(const std::string& server) { return parse_address(server).problem; }

client::answer client::call(const std::string& method, const std::string& path, const std::string& body,
                            const std::string& content_type, std::size_t most) const {
    answer a;
    const address where = parse_address(server_);
    if (!where.problem.empty()) {
        a.how.message = where.problem;
        return a;
    }
    httplib::Client http(where.origin);
    const auto deadline = clock_type::now() + std::chrono::milliseconds(limits_.answer_ms);
    http.set_connection_timeout(std::chrono::milliseconds(limits_.connect_ms));
    // Each wait on the socket stops at the call's deadline at the latest;
    // the receiver below stops a server that keeps sending slowly.
    http.set_read_timeout(std::chrono::milliseconds(limits_.answer_ms));
    http.set_write_timeout(std::chrono::milliseconds(limits_.answer_ms));
    http.set_follow_location(false);
    http.set_keep_alive(false);

    httplib::Request req;
    req.method = method;
    req.path = where.prefix + path;
    if (!token_.empty()) req.headers.emplace("Authorization", "Bearer " + token_);
    if (!body.empty() || method == "POST") {
        req.body = body;
        req.headers.emplace("Content-Type", content_type);
    }
    bool too_big = false, too_slow = false;
    req.response_handler = [&](const httplib::Response& r) {
        if (r.has_header("Content-Length")) {
            const std::string n = r.get_header_value("Content-Length");
            if (n.size() > 15 || std::strtoull(n.c_str(), nullptr, 10) > most) {
                too_big = true;
                return false;
            }
        }
        return true;
    };
    req.content_receiver = [&](const char* data, std::size_t n, std::uint64_t, std::uint64_t) {
        if (a.body.size() + n > most) {
            too_big = true;
            return false;
        }
        if (clock_type::now() > deadline) {
            too_slow = true;
            return false;
        }
        a.body.append(data, n);
        return true;
    };
    httplib::Response res;
    httplib::Error error = httplib::Error::Success;
    bool late = false;
    const bool sent = send_by(http, req, res, error, deadline, late);
    // A read that timed out at the deadline is the same lateness, whichever
    // of the socket and the watchdog saw it first.
    too_slow = too_slow || late || (!sent && clock_type::now() >= deadline);
    if (too_big) {
        a.how.message = "the server " + server_ + " answered more than " + std::to_string(most) + " bytes";
        a.how.retry = true;
        return a;
    }
    if (too_slow) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", limits_.answer_ms / 1000.0);
        a.how.message = "the server " + server_ + " took longer than " + seconds + " s to answer";
        a.how.retry = true;
        return a;
    }
    if (!sent) {
        a.how.message = "no answer from the server " + server_ + " (" + httplib::to_string(error) + ")";
        a.how.retry = true;
        return a;
    }
    a.how = outcome_of(res, a.body, server_);
    return a;
}

namespace {

// A body that should be a JSON object; not ok with a message otherwise.
json object_of(outcome& how, const std::string& body, const std::string& server) {
    if (!how.ok) return json();
    json j = json::parse(body, nullptr, false);
    if (!j.is_object()) {
        how.ok = false;
        how.retry = true;
        how.message = "the server " + server + " answered something that is not its API";
        return json();
    }
    return j;
}

}  // namespace

registered client::register_player(const std::string& name) const {
    registered r;
    answer a = call("POST", "/v1/players", json{{"name", name}}.dump(), "application/json", limits_.json_bytes);
    r.how = a.how;
    if (r.how.status == 409) r.how.message = "the name \"" + name + "\" is taken on " + server_ + "; choose another";
    const json j = object_of(r.how, a.body, server_);
    if (r.how.ok) {
        r.token = text_of(j, "token");
        if (r.token.empty() || r.token.size() > 512 || r.token.find_first_of(" \r\n") != std::string::npos) {
            r.how.ok = false;
            r.how.message = "the server " + server_ + " gave no usable token";
        }
    }
    return r;
}

namespace {

void read_session(sent_session& s, const json& j) {
    s.session = number_of(j, "session");
    s.status = text_of(j, "status");
    s.reason = text_of(j, "reason").substr(0, 400);
    s.player = text_of(j, "player").substr(0, 200);
    s.stage = text_of(j, "stage");
    s.edition = text_of(j, "edition").substr(0, 40);
    s.difficulty = text_of(j, "difficulty").substr(0, 40);
}

}  // namespace

sent_session client::submit(const session_upload& up) const {
    sent_session s;
    const std::string boundary = boundary_for(up);
    answer a = call("POST", "/v1/sessions", multipart(up, boundary), "multipart/form-data; boundary=" + boundary,
                    limits_.json_bytes);
    s.how = a.how;
    const json j = object_of(s.how, a.body, server_);
    if (s.how.ok) read_session(s, j);
    if (s.how.ok && (s.session <= 0 || (s.status != "pending" && s.status != "verified" && s.status != "rejected" && s.status != "unverified"))) {
        s.how.ok = false;
        s.how.retry = true;
        s.how.message = "the server " + server_ + " answered without a session";
    }
    return s;
}

sent_session client::session(std::int64_t id) const {
    sent_session s;
    answer a = call("GET", "/v1/sessions/" + std::to_string(id), {}, {}, limits_.json_bytes);
    s.how = a.how;
    const json j = object_of(s.how, a.body, server_);
    if (s.how.ok) {
        read_session(s, j);
        s.session = id;
    }
    return s;
}

std::string place_text(std::int64_t rank, bool estimate) {
    if (!estimate) return std::to_string(rank);
    std::string digits = std::to_string(rank < 0 ? -rank : rank), grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return "~" + std::string(rank < 0 ? "-" : "") + grouped;
}

board client::get_board(const std::string& stage, const std::string& edition, const std::string& difficulty,
                        int limit) const {
    board b;
    const auto name = [](const std::string& t) {
        return !t.empty() && t.size() <= 16 && t.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
    };
    if (stage.size() != 32 || stage.find_first_not_of("0123456789abcdef") != std::string::npos || !name(edition) ||
        !name(difficulty)) {
        b.how.message = "no board is named by \"" + stage + "/" + edition + "/" + difficulty + "\"";
        return b;
    }
    answer a = call("GET", "/v1/boards/" + stage + "/" + edition + "/" + difficulty + "?limit=" + std::to_string(limit),
                    {}, {}, limits_.json_bytes);
    b.how = a.how;
    const json j = object_of(b.how, a.body, server_);
    if (!b.how.ok) return b;
    if (const auto e = j.find("entries"); e != j.end() && e->is_array())
        for (const json& row : *e)
            if (row.is_object() && b.entries.size() < 1000) b.entries.push_back(entry_of(row));
    if (const auto y = j.find("you"); y != j.end() && y->is_object()) b.you = entry_of(*y);
    b.players = number_of(j, "players");
    // Only a stage's name is taken: it is used to ask for another board.
    if (std::string r = text_of(j, "recording_board");
        r.size() == 32 && r.find_first_not_of("0123456789abcdef") == std::string::npos && r != stage)
        b.recording_board = std::move(r);
    return b;
}

namespace {

bool stage_hash_form(const std::string& hash) {
    return hash.size() == 32 && hash.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

versions client::recordings(const std::string& fingerprint, std::int64_t length_ms) const {
    versions v;
    answer a = call("GET",
                    "/v1/recordings?fingerprint=" + httplib::detail::encode_query_param(fingerprint) +
                        "&length_ms=" + std::to_string(length_ms),
                    {}, {}, limits_.json_bytes);
    v.how = a.how;
    const json j = object_of(v.how, a.body, server_);
    if (!v.how.ok) return v;
    const auto rows = [&](const char* key, std::vector<version>& out) {
        const auto e = j.find(key);
        if (e == j.end() || !e->is_array()) return;
        for (const json& row : *e) {
            if (!row.is_object() || out.size() >= 100) continue;
            version one;
            one.stage = text_of(row, "stage");
            one.edition = text_of(row, "edition");
            one.difficulty = text_of(row, "difficulty");
            one.title = text_of(row, "title");
            one.artist = text_of(row, "artist");
            one.length_ms = number_of(row, "length_ms");
            one.players = number_of(row, "players");
            const auto has = row.find("envelope");
            one.envelope = has != row.end() && has->is_boolean() && has->get<bool>();
            // The hash names a file in the cache: nothing else may come through.
            if (stage_hash_form(one.stage)) out.push_back(one);
        }
    };
    rows("stages", v.list);
    rows("boards", v.boards);
    return v;
}

download client::replay(std::int64_t session) const {
    download d;
    answer a = call("GET", "/v1/sessions/" + std::to_string(session) + "/replay", {}, {}, limits_.file_bytes);
    d.how = a.how;
    if (d.how.ok) d.bytes = std::move(a.body);
    return d;
}

download client::stage(const std::string& hash) const {
    download d;
    if (!stage_hash_form(hash)) {
        d.how.message = "\"" + hash + "\" is not a stage's hash";
        return d;
    }
    answer a = call("GET", "/v1/stages/" + hash, {}, {}, limits_.file_bytes);
    d.how = a.how;
    if (d.how.ok) d.bytes = std::move(a.body);
    return d;
}

download client::envelope(const std::string& hash) const {
    download d;
    if (!stage_hash_form(hash)) {
        d.how.message = "\"" + hash + "\" is not a stage's hash";
        return d;
    }
    // An envelope is small (10 minutes at a byte per 5 ms): anything much larger is no envelope.
    answer a = call("GET", "/v1/stages/" + hash + "/envelope", {}, {}, 256u << 10);
    d.how = a.how;
    if (d.how.ok) d.bytes = std::move(a.body);
    return d;
}

}  // namespace online
