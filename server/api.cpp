#include "server/api.hpp"

#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "server/database.hpp"
#include "server/rate_limit.hpp"
#include "server/recordings.hpp"
#include "server/schema.hpp"
#include "server/store.hpp"
#include "server/tokens.hpp"
#include "server/worker.hpp"
#include "vaz/executable.hpp"

namespace server {
namespace {

using json = nlohmann::json;

constexpr std::size_t player_body_bytes = 1024;
constexpr int listen_backlog = 1024;
constexpr int board_default_limit = 10;
constexpr int board_max_limit = 100;
constexpr int name_min = 3;
constexpr int name_max = 24;
// How long a starting server waits for its database before it gives up.
constexpr auto start_wait = std::chrono::seconds(30);

void answer(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void fail(httplib::Response& res, int status, const std::string& code, const std::string& message, int retry_after = 0) {
    if (retry_after > 0) res.set_header("Retry-After", std::to_string(retry_after));
    answer(res, status, {{"error", code}, {"message", message}});
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Catches what a handler throws and answers it as JSON.
httplib::Server::Handler guarded(std::function<void(const httplib::Request&, httplib::Response&)> h) {
    return [h = std::move(h)](const httplib::Request& req, httplib::Response& res) {
        try {
            h(req, res);
        } catch (const unavailable& e) {
            fail(res, 503, "database_unavailable", "the database is not available now; try again later", e.retry_after);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora_server: %s %s: %s\n", req.method.c_str(), req.path.c_str(), e.what());
            fail(res, 500, "internal_error", "the server failed to answer this request");
        }
    };
}

std::optional<std::int64_t> id_of(const std::string& digits) {
    if (digits.empty() || digits.size() > 18) return std::nullopt;
    return std::stoll(digits);
}

class api {
public:
    explicit api(const options& o)
        : o_(o),
          primary_(o.database, static_cast<std::size_t>(o.connections), prepare_statements),
          reads_(o.read_database.empty()
                     ? nullptr
                     : std::make_unique<database>(o.read_database, static_cast<std::size_t>(o.connections), prepare_statements)),
          by_address_(o.address_rate, o.address_burst),
          by_token_(o.token_rate, o.token_burst) {}

    void install(httplib::Server& s) {
        s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) { return before(req, res); });
        s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty()) return;
            switch (res.status) {
                case 404: fail(res, 404, "not_found", "no such resource"); break;
                case 413: fail(res, 413, "payload_too_large", "the request body is larger than this route takes"); break;
                case 405: fail(res, 405, "method_not_allowed", "this route does not take that method"); break;
                case 414: fail(res, 414, "uri_too_long", "the request's path is too long"); break;
                case 400: fail(res, 400, "bad_request", "the request is malformed (its headers, length or multipart body)"); break;
                default: fail(res, res.status, "error", "the request failed"); break;
            }
        });
        s.Post("/v1/players", guarded([this](const auto& req, auto& res) { add_player(req, res); }));
        s.Post("/v1/sessions", guarded([this](const auto& req, auto& res) { add_session(req, res); }));
        s.Get(R"(/v1/sessions/([0-9]{1,18}))", guarded([this](const auto& req, auto& res) { get_session(req, res); }));
        s.Get(R"(/v1/sessions/([0-9]{1,18})/replay)", guarded([this](const auto& req, auto& res) { get_replay(req, res); }));
        s.Get(R"(/v1/stages/([0-9a-f]{32}))", guarded([this](const auto& req, auto& res) { get_stage(req, res); }));
        s.Get(R"(/v1/boards/([0-9a-f]{32})/([a-z]{1,16})/([a-z]{1,16}))",
              guarded([this](const auto& req, auto& res) { get_board(req, res); }));
        s.Get("/v1/recordings", guarded([this](const auto& req, auto& res) { answer_recordings(req, res, reads()); }));
        s.Get("/v1/health", guarded([this](const auto&, auto& res) {
            if (primary_.healthy()) answer(res, 200, {{"status", "ok"}});
            else fail(res, 503, "database_unavailable", "the database does not answer", 1);
        }));
    }

private:
    // Before a body is read: the address's rate, then each route's content
    // type and length, so an oversized or wrong body is refused unread.
    httplib::Server::HandlerResponse before(const httplib::Request& req, httplib::Response& res) {
        int wait = 0;
        if (!by_address_.take(req.remote_addr, wait)) {
            fail(res, 429, "rate_limited", "too many requests from this address", wait);
            return close_after(res);
        }
        if (req.method != "POST") return httplib::Server::HandlerResponse::Unhandled;
        const std::string type = lower(req.get_header_value("Content-Type"));
        const std::size_t length = req.has_header("Content-Length")
                                       ? static_cast<std::size_t>(std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10))
                                       : 0;
        if (req.path == "/v1/players") {
            if (!starts_with(type, "application/json")) {
                fail(res, 415, "unsupported_media_type", "a player is sent as application/json");
                return close_after(res);
            }
            if (length > player_body_bytes) {
                fail(res, 413, "payload_too_large", "a player's body is at most " + std::to_string(player_body_bytes) + " bytes");
                return close_after(res);
            }
        } else if (req.path == "/v1/sessions") {
            std::string hash;
            if (!token_of(req, res, hash)) return close_after(res);
            if (!starts_with(type, "multipart/form-data")) {
                fail(res, 415, "unsupported_media_type", "a session is sent as multipart/form-data");
                return close_after(res);
            }
            if (length > submission_body_bytes(o_.lim)) {
                fail(res, 413, "payload_too_large",
                     "a session's body is at most " + std::to_string(submission_body_bytes(o_.lim)) + " bytes");
                return close_after(res);
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    // The unread body must not be taken for the next request.
    static httplib::Server::HandlerResponse close_after(httplib::Response& res) {
        res.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    }

    database& reads() { return reads_ ? *reads_ : primary_; }

    // The player of the request's bearer token; answers 401 and gives
    // nothing when there is none or it is unknown. Runs inside w.
    static bool token_of(const httplib::Request& req, httplib::Response& res, std::string& hash) {
        const std::string token = bearer_token(req.get_header_value("Authorization"));
        if (!token_form(token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            fail(res, 401, "unauthorized", "an Authorization: Bearer TOKEN header with a player's token is needed");
            return false;
        }
        hash = token_hash(token);
        return true;
    }

    void add_player(const httplib::Request& req, httplib::Response& res) {
        json body;
        try {
            body = json::parse(req.body);
        } catch (const json::parse_error&) {
            return fail(res, 400, "invalid_json", "the body is not JSON");
        }
        if (!body.is_object() || body.size() != 1 || !body.contains("name") || !body["name"].is_string())
            return fail(res, 400, "invalid_json", "the body must be {\"name\": NAME}");
        const std::string name = body["name"].get<std::string>();
        std::size_t count = 0;
        if (!printable_utf8(name, count) || count < name_min || count > name_max || name.front() == ' ' || name.back() == ' ')
            return fail(res, 422, "invalid_name",
                        "a name is 3 to 24 printable characters, without spaces at either end");
        const std::string token = new_token();
        new_player p;
        int wait = 0;
        primary_.transact([&](pqxx::work& w) {
            wait = new_player_wait(w, req.remote_addr, o_.players_per_address);
            if (wait > 0) return;
            p = server::add_player(w, name, token_hash(token));
            if (!p.name_taken) note_player_address(w, p.id, req.remote_addr);
        });
        if (wait > 0)
            return fail(res, 429, "too_many_players",
                        "this address made " + std::to_string(o_.players_per_address) + " players in the last hour", wait);
        if (p.name_taken) return fail(res, 409, "name_taken", "the name \"" + name + "\" is taken");
        answer(res, 201, {{"player", p.id}, {"name", name}, {"token", token}});
    }

    void add_session(const httplib::Request& req, httplib::Response& res) {
        std::string hash;
        if (!token_of(req, res, hash)) return;
        int wait = 0;
        if (!by_token_.take(hash, wait)) return fail(res, 429, "rate_limited", "too many submissions with this token", wait);
        if (!req.is_multipart_form_data()) return fail(res, 415, "unsupported_media_type", "a session is sent as multipart/form-data");
        std::vector<form_part> parts;
        for (const auto& [name, f] : req.files) parts.push_back({f.name, f.filename, f.content});
        submission s;
        if (auto r = check_submission(parts, o_.lim, s)) return fail(res, r->status, r->code, r->message);
        stored_session stored;
        wait = 0;
        const auto ms = [](double seconds) { return static_cast<std::int64_t>(seconds * 1000); };
        primary_.transact([&](pqxx::work& w) {
            if (o_.verify_budget_player_s > 0 || o_.verify_budget_address_s > 0)
                wait = verification_budget_wait(w, hash, req.remote_addr, ms(o_.verify_budget_player_s), ms(o_.verify_budget_address_s));
            if (wait > 0) return;
            stored = server::add_session(w, hash, s);
            if (!stored.player_known || stored.other_player) return;
            stored.status = note_submission(w, stored.id, req.remote_addr);
        });
        if (wait > 0)
            return fail(res, 429, "verification_budget",
                        "the re-plays of this player's or this address's sessions used their CPU budget for the hour", wait);
        if (!stored.player_known) return fail(res, 401, "unauthorized", "no player holds this token");
        if (stored.other_player)
            return fail(res, 409, "replay_taken", "this replay was sent by another player; it counts only for them");
        answer(res, 202, {{"session", stored.id}, {"status", stored.status}});
    }

    void get_session(const httplib::Request& req, httplib::Response& res) {
        const auto id = id_of(req.matches[1]);
        json j;
        if (id) primary_.read([&](pqxx::transaction_base& t) { j = session_json(t, *id); });
        if (j.is_null()) return fail(res, 404, "not_found", "no such session");
        answer(res, 200, j);
    }

    void get_replay(const httplib::Request& req, httplib::Response& res) {
        const auto id = id_of(req.matches[1]);
        std::optional<std::string> bytes;
        if (id) reads().read([&](pqxx::transaction_base& t) { bytes = replay_bytes(t, *id); });
        if (!bytes) return fail(res, 404, "not_found", "no such session");
        res.set_header("Content-Disposition", "attachment; filename=\"session-" + std::to_string(*id) + ".vrp\"");
        res.set_content(std::move(*bytes), "application/octet-stream");
    }

    void get_stage(const httplib::Request& req, httplib::Response& res) {
        const std::string hash = req.matches[1];
        std::optional<std::string> bytes;
        reads().read([&](pqxx::transaction_base& t) { bytes = stage_bytes(t, hash); });
        if (!bytes) return fail(res, 404, "not_found", "no such stage");
        res.set_header("Content-Disposition", "attachment; filename=\"" + hash + ".pat\"");
        res.set_content(std::move(*bytes), "application/octet-stream");
    }

    void get_board(const httplib::Request& req, httplib::Response& res) {
        const std::string stage = req.matches[1], edition = req.matches[2], difficulty = req.matches[3];
        if (!converter::edition_from_name(edition)) return fail(res, 404, "unknown_edition", "the edition must be " + converter::edition_names());
        if (!converter::difficulty_from_name(difficulty))
            return fail(res, 404, "unknown_difficulty", "the difficulty must be easy, normal or hard");
        int limit = board_default_limit;
        if (req.has_param("limit")) {
            const std::string t = req.get_param_value("limit");
            const bool digits = !t.empty() && t.size() <= 3 && t.find_first_not_of("0123456789") == std::string::npos;
            limit = digits ? std::stoi(t) : 0;
            if (limit < 1 || limit > board_max_limit)
                return fail(res, 400, "invalid_limit", "limit must be a whole number from 1 to " + std::to_string(board_max_limit));
        }
        std::string hash;
        if (req.has_header("Authorization") && !token_of(req, res, hash)) return;
        json j;
        reads().read([&](pqxx::transaction_base& t) { j = board_json(t, stage, edition, difficulty, limit, hash); });
        if (j.is_null()) return fail(res, 401, "unauthorized", "no player holds this token");
        answer(res, 200, j);
    }

    const options& o_;
    database primary_;
    std::unique_ptr<database> reads_;
    rate_limiter by_address_;
    rate_limiter by_token_;
};

worker_options worker_options_of(const options& o) {
    worker_options w;
    w.url = o.database;
    w.verifier = o.verifier.empty() ? vaz::executable_dir() + "/velmora_verify" : o.verifier;
    w.limits = o.verify;
    w.limits.max_updates = o.lim.session_updates;
    w.attempts = o.verify_attempts;
    w.retry_after = std::chrono::milliseconds(static_cast<std::int64_t>(o.verify_retry_s * 1000));
    return w;
}

// Blocks SIGINT and SIGTERM in every thread made after it; one waits for them.
sigset_t block_stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client gone mid-answer must not end the server.
    signal(SIGPIPE, SIG_IGN);
    return set;
}

bool migrate_at_start(const options& o) {
    const auto deadline = std::chrono::steady_clock::now() + start_wait;
    for (auto wait = std::chrono::milliseconds(100);; wait = std::min(wait * 2, std::chrono::milliseconds(2000))) {
        try {
            auto c = open_connection(o.database);
            migrate(*c);
            return true;
        } catch (const pqxx::broken_connection& e) {
            if (std::chrono::steady_clock::now() + wait > deadline) {
                std::fprintf(stderr, "velmora_server: cannot reach the database: %s", e.what());
                return false;
            }
            std::this_thread::sleep_for(wait);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora_server: cannot bring the database's schema up to date: %s\n", e.what());
            return false;
        }
    }
}

std::vector<std::thread> start_workers(const options& o, const std::atomic<bool>& stop) {
    std::vector<std::thread> threads;
    const worker_options w = worker_options_of(o);
    for (int i = 0; i < o.workers; ++i) threads.emplace_back([w, &stop] { run_worker(w, stop); });
    return threads;
}

}  // namespace

int serve(const options& o) {
    sigset_t stop_signals = block_stop_signals();
    if (!migrate_at_start(o)) return 1;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers = start_workers(o, stop);

    httplib::Server http;
    const std::size_t threads = static_cast<std::size_t>(o.threads);
    http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Answers go out whole at once; Nagle's wait against the client's
    // delayed acknowledgement would add tens of milliseconds to each.
    http.set_tcp_nodelay(true);
    http.set_read_timeout(o.read_timeout_s, 0);
    http.set_write_timeout(o.read_timeout_s, 0);
    http.set_keep_alive_timeout(o.read_timeout_s);
    http.set_keep_alive_max_count(10000);
    http.set_payload_max_length(submission_body_bytes(o.lim));
    api routes(o);
    routes.install(http);

    // The library listens with a backlog of 5, built into it: a burst of
    // new connections past that waits a second for its SYN to be sent
    // again, or fails. listen() again on the same socket raises it.
    std::atomic<int> listening{-1};
    http.set_socket_options([&listening](socket_t sock) {
        httplib::default_socket_options(sock);
        int none = -1;
        listening.compare_exchange_strong(none, sock);
    });
    int port = o.port;
    if (port == 0) port = http.bind_to_any_port(o.host);
    else if (!http.bind_to_port(o.host, port)) port = -1;
    if (port >= 0 && listening >= 0 && ::listen(listening, listen_backlog) != 0)
        std::fprintf(stderr, "velmora_server: cannot raise the listen backlog: %s\n", std::strerror(errno));
    if (port < 0) {
        std::fprintf(stderr, "velmora_server: cannot listen on %s:%d\n", o.host.c_str(), o.port);
        stop = true;
        for (std::thread& t : workers) t.join();
        return 1;
    }
    std::printf("velmora_server: listening on %s:%d\n", o.host.c_str(), port);
    std::fflush(stdout);
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        stop = true;
        http.stop();
    });
    const bool listened = http.listen_after_bind();
    if (!stop) {
        // Ended on its own: wake the waiter.
        stop = true;
        kill(getpid(), SIGTERM);
    }
    waiter.join();
    for (std::thread& t : workers) t.join();
    return listened ? 0 : 1;
}

int work(const options& o) {
    sigset_t stop_signals = block_stop_signals();
    if (!migrate_at_start(o)) return 1;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers = start_workers(o, stop);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    stop = true;
    for (std::thread& t : workers) t.join();
    return 0;
}

}  // namespace server
