#include "server/api.hpp"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "server/answers.hpp"
#include "server/board_cache.hpp"
#include "server/database.hpp"
#include "server/log.hpp"
#include "server/metrics.hpp"
#include "server/names.hpp"
#include "server/pages.hpp"
#include "server/multipart.hpp"
#include "server/rate_limit.hpp"
#include "server/recordings.hpp"
#include "server/store.hpp"
#include "server/tokens.hpp"

namespace server {
namespace {

using json = nlohmann::json;

constexpr std::size_t player_body_bytes = 1024;
constexpr int board_default_limit = 10;
constexpr int board_max_limit = 100;

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The media type of a Content-Type, without its parameters, in lower case.
std::string media_type(const std::string& content_type) {
    std::string t = lower(content_type.substr(0, content_type.find(';')));
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.erase(0, 1);
    return t;
}

std::optional<std::int64_t> id_of(const std::string& digits) {
    if (digits.empty() || digits.size() > 18) return std::nullopt;
    return std::stoll(digits);
}

bool all_of(std::string_view s, std::size_t least, std::size_t most, bool (*ok)(char)) {
    if (s.size() < least || s.size() > most) return false;
    for (char c : s)
        if (!ok(c)) return false;
    return true;
}

// A path against a pattern of segments: literal text, or {id} (1 to 18
// digits), {hash} (32 lowercase hex digits), {word} (1 to 16 lowercase
// letters), each of which is captured.
bool path_matches(std::string_view pattern, std::string_view path, std::vector<std::string>& captures) {
    captures.assign(1, std::string(path));
    for (;;) {
        const std::size_t p = pattern.find('/'), q = path.find('/');
        const std::string_view want = pattern.substr(0, p), got = path.substr(0, q);
        if (want == "{id}") {
            if (!all_of(got, 1, 18, [](char c) { return c >= '0' && c <= '9'; })) return false;
            captures.emplace_back(got);
        } else if (want == "{hash}") {
            if (!all_of(got, 32, 32, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) return false;
            captures.emplace_back(got);
        } else if (want == "{word}") {
            if (!all_of(got, 1, 16, [](char c) { return c >= 'a' && c <= 'z'; })) return false;
            captures.emplace_back(got);
        } else if (want != got) {
            return false;
        }
        if (p == std::string_view::npos || q == std::string_view::npos) return p == q;
        pattern.remove_prefix(p + 1);
        path.remove_prefix(q + 1);
    }
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
          by_token_(o.token_rate, o.token_burst),
          routes_{
              // method, path, the body's media type, its most bytes, a token needed, handler
              {"POST", "v1/players", "application/json", player_body_bytes, false, &api::add_player},
              {"POST", "v1/sessions", "multipart/form-data", submission_body_bytes(o.lim), true, &api::add_session},
              {"GET", "v1/sessions/{id}", nullptr, 0, false, &api::get_session},
              {"GET", "v1/sessions/{id}/replay", nullptr, 0, false, &api::get_replay},
              {"GET", "v1/stages/{hash}", nullptr, 0, false, &api::get_stage},
              {"GET", "v1/stages/{hash}/envelope", nullptr, 0, false, &api::get_envelope},
              {"GET", "v1/boards/{hash}/{word}/{word}", nullptr, 0, false, &api::get_board},
              {"GET", "v1/recordings", nullptr, 0, false, &api::get_recordings},
              {"GET", "v1/health", nullptr, 0, false, &api::get_health},
              {"GET", "metrics", nullptr, 0, false, &api::get_metrics},
              {"GET", "boards/{hash}/{word}/{word}", nullptr, 0, false, &api::get_board_page},
              {"GET", "sessions/{id}", nullptr, 0, false, &api::get_session_page},
          } {
        std::vector<std::string> labels;
        for (const row& r : routes_) labels.push_back(std::string(r.method) + " /" + r.pattern);
        server_metrics().name_routes(labels);
    }

    // From the head alone: the address's rate, the route, its method, media
    // type, token and declared length, so a wrong or oversized body is
    // refused unread; the transport holds a chunked body to the same limit.
    http::route_choice route(http::request& head) {
        http::route_choice c;
        const auto refuse = [&c](int status, const std::string& code, const std::string& message, int retry_after = 0) {
            c.refusal = http::response{};
            fail(*c.refusal, status, code, message, retry_after);
            return c;
        };
        int wait = 0;
        if (!by_address_.take(head.remote_addr, wait)) return refuse(429, "rate_limited", "too many requests from this address", wait);
        const row* found = nullptr;
        bool path_known = false;
        if (!head.path.empty() && head.path.front() == '/') {
            for (const row& r : routes_) {
                if (!path_matches(r.pattern, std::string_view(head.path).substr(1), head.matches)) continue;
                path_known = true;
                if (head.method == r.method || (head.method == "HEAD" && std::string_view(r.method) == "GET")) {
                    found = &r;
                    head.route = static_cast<int>(&r - routes_.data());
                    break;
                }
            }
        }
        if (!found) {
            if (path_known) return refuse(405, "method_not_allowed", "this route does not take that method");
            // A reader of the pages who mistypes one gets a page, not JSON.
            if (head.path.rfind("/boards/", 0) == 0 || head.path.rfind("/sessions/", 0) == 0) {
                c.refusal = http::response{};
                missing(*c.refusal, "There is no such page.");
                return c;
            }
            return refuse(404, "not_found", "no such resource");
        }
        if (found->media && media_type(head.header("Content-Type")) != found->media)
            return refuse(415, "unsupported_media_type", std::string("this route takes a body of ") + found->media);
        if (found->token && !token_form(bearer_token(head.header("Authorization")))) {
            refuse(401, "unauthorized", "an Authorization: Bearer TOKEN header with a player's token is needed");
            c.refusal->set_header("WWW-Authenticate", "Bearer");
            return c;
        }
        const std::string length = head.header("Content-Length");
        if (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > found->body_limit)
            return refuse(413, "payload_too_large", "this route's body is at most " + std::to_string(found->body_limit) + " bytes");
        c.body_limit = found->body_limit;
        c.run = [this, handle = found->handle](const http::request& req, http::response& res) { guarded(req, res, handle); };
        return c;
    }

private:
    using handler = void (api::*)(const http::request&, http::response&);
    struct row {
        const char* method;
        const char* pattern;  // without its leading '/'
        const char* media;    // the body's media type; none for a route without a body
        std::size_t body_limit;
        bool token;
        handler handle;
    };

    // Catches what a handler throws and answers it as JSON.
    void guarded(const http::request& req, http::response& res, handler h) {
        try {
            (this->*h)(req, res);
        } catch (const unavailable& e) {
            res = http::response{};
            fail(res, 503, "database_unavailable", "the database is not available now; try again later", e.retry_after);
        } catch (const std::exception& e) {
            log_event("handler_failed", {{"method", req.method}, {"path", req.path}, {"error", e.what()}});
            res = http::response{};
            fail(res, 500, "internal_error", "the server failed to answer this request");
        }
    }

    database& reads() { return reads_ ? *reads_ : primary_; }

    // The player of the request's bearer token; answers 401 and gives
    // nothing when there is none or it is unknown. Runs inside w.
    static bool token_of(const http::request& req, http::response& res, std::string& hash) {
        const std::string token = bearer_token(req.header("Authorization"));
        if (!token_form(token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            fail(res, 401, "unauthorized", "an Authorization: Bearer TOKEN header with a player's token is needed");
            return false;
        }
        hash = token_hash(token);
        return true;
    }

    void add_player(const http::request& req, http::response& res) {
        json body;
        try {
            body = json::parse(req.body);
        } catch (const json::parse_error&) {
            return fail(res, 400, "invalid_json", "the body is not JSON");
        }
        if (!body.is_object() || body.size() != 1 || !body.contains("name") || !body["name"].is_string())
            return fail(res, 400, "invalid_json", "the body must be {\"name\": NAME}");
        const std::string name = body["name"].get<std::string>();
        const name_check checked = check_name(name);
        if (!checked.ok) return fail(res, 422, "invalid_name", checked.reason);
        const std::string token = new_token();
        new_player p;
        int wait = 0;
        primary_.transact([&](pqxx::work& w) {
            wait = new_player_wait(w, req.remote_addr, o_.players_per_address);
            if (wait > 0) return;
            p = server::add_player(w, name, checked.key, token_hash(token));
            if (!p.name_taken) note_player_address(w, p.id, req.remote_addr);
        });
        if (wait > 0)
            return fail(res, 429, "too_many_players",
                        "this address made " + std::to_string(o_.players_per_address) + " players in the last hour", wait);
        if (p.name_taken) {
            const std::string like = p.taken_by.empty() || p.taken_by == name ? "" : " (it reads as \"" + p.taken_by + "\")";
            return fail(res, 409, "name_taken", "the name \"" + name + "\" is taken" + like);
        }
        answer(res, 201, {{"player", p.id}, {"name", name}, {"token", token}});
    }

    void add_session(const http::request& req, http::response& res) {
        std::string hash;
        if (!token_of(req, res, hash)) return;
        int wait = 0;
        if (!by_token_.take(hash, wait)) return fail(res, 429, "rate_limited", "too many submissions with this token", wait);
        const std::optional<std::string> boundary = multipart_boundary(req.header("Content-Type"));
        std::vector<form_part> parts;
        if (!boundary || !parse_multipart(req.body, *boundary, parts))
            return fail(res, 400, "bad_request", "the multipart body is malformed");
        submission s;
        if (auto r = check_submission(parts, o_.lim, s)) return fail(res, r->status, r->code, r->message);
        stored_session stored;
        wait = 0;
        const auto ms = [](double seconds) { return static_cast<std::int64_t>(seconds * 1000); };
        primary_.transact([&](pqxx::work& w) {
            if (o_.verify_budget_player_s > 0 || o_.verify_budget_address_s > 0)
                wait = verification_budget_wait(w, hash, req.remote_addr, ms(o_.verify_budget_player_s), ms(o_.verify_budget_address_s));
            if (wait > 0) return;
            stored = server::add_session(w, hash, s, req.remote_addr);
            // A session found again: an unverified one goes back to pending.
            if (!stored.player_known || stored.other_player || stored.refused || stored.fresh) return;
            stored.status = note_submission(w, stored.id, req.remote_addr);
        });
        if (wait > 0)
            return fail(res, 429, "verification_budget",
                        "the re-plays of this player's or this address's sessions used their CPU budget for the hour", wait);
        if (!stored.player_known) return fail(res, 401, "unauthorized", "no player holds this token");
        if (stored.refused) {
            json body = {{"error", stored.refused->code}, {"message", stored.refused->message}};
            if (stored.original != 0) body["original"] = stored.original;
            answer(res, stored.refused->status, body);
            res.error = stored.refused->code;
            return;
        }
        if (stored.other_player)
            return fail(res, 409, "replay_taken", "this replay was sent by another player; it counts only for them");
        answer(res, 202, {{"session", stored.id}, {"status", stored.status}});
    }

    // The reason of a session that was not verified is its player's: shown
    // with that player's token, its status alone to anyone else (an unknown
    // or malformed token is anyone else, so a client's poll never fails on it).
    void get_session(const http::request& req, http::response& res) {
        const auto id = id_of(req.matches[1]);
        const std::string token = bearer_token(req.header("Authorization"));
        const std::string hash = token_form(token) ? token_hash(token) : std::string();
        json j;
        if (id) primary_.read([&](pqxx::transaction_base& t) { j = session_json(t, *id, hash); });
        if (j.is_null()) return fail(res, 404, "not_found", "no such session");
        answer(res, 200, j);
    }

    void get_replay(const http::request& req, http::response& res) {
        const auto id = id_of(req.matches[1]);
        std::optional<std::string> bytes;
        if (id) reads().read([&](pqxx::transaction_base& t) { bytes = replay_bytes(t, *id); });
        if (!bytes) return fail(res, 404, "not_found", "no such session");
        if (req.method == "GET") count_watch(req, *id);
        res.set_header("Content-Disposition", "attachment; filename=\"session-" + std::to_string(*id) + ".vrp\"");
        res.set_content(std::move(*bytes), "application/octet-stream");
    }

    // A count is no reason to refuse the replay: a failure is logged and
    // the download goes on.
    void count_watch(const http::request& req, std::int64_t id) {
        const std::string token = bearer_token(req.header("Authorization"));
        const std::string hash = token_form(token) ? token_hash(token) : std::string();
        try {
            const std::string secret = viewer_secret();
            primary_.transact([&](pqxx::work& w) { note_watch(w, id, hash, req.remote_addr, secret); });
        } catch (const std::exception& e) {
            log_event("watch_not_counted", {{"session", std::to_string(id)}, {"error", e.what()}});
        }
    }

    // Read once, at the first watch: it never changes.
    std::string viewer_secret() {
        std::lock_guard<std::mutex> lock(secret_mutex_);
        if (secret_.empty()) primary_.read([&](pqxx::transaction_base& t) { secret_ = watch_secret(t); });
        return secret_;
    }

    void get_stage(const http::request& req, http::response& res) {
        const std::string hash = req.matches[1];
        std::optional<std::string> bytes;
        reads().read([&](pqxx::transaction_base& t) { bytes = stage_bytes(t, hash); });
        if (!bytes) return fail(res, 404, "not_found", "no such stage");
        res.set_header("Content-Disposition", "attachment; filename=\"" + hash + ".pat\"");
        res.set_content(std::move(*bytes), "application/octet-stream");
    }

    void get_envelope(const http::request& req, http::response& res) {
        const std::string hash = req.matches[1];
        std::optional<std::string> bytes;
        reads().read([&](pqxx::transaction_base& t) { bytes = stage_envelope(t, hash); });
        if (!bytes) return fail(res, 404, "not_found", "no such stage, or no envelope kept with it");
        res.set_content(std::move(*bytes), "application/octet-stream");
    }

    void get_board(const http::request& req, http::response& res) {
        const std::string stage = req.matches[1], edition = req.matches[2], difficulty = req.matches[3];
        if (!converter::edition_from_name(edition)) return fail(res, 404, "unknown_edition", "the edition must be " + converter::edition_names());
        if (!converter::difficulty_from_name(difficulty))
            return fail(res, 404, "unknown_difficulty", "the difficulty must be easy, normal or hard");
        int limit = board_default_limit;
        if (req.has_param("limit")) {
            const std::string t = req.param("limit");
            const bool digits = !t.empty() && t.size() <= 3 && t.find_first_not_of("0123456789") == std::string::npos;
            limit = digits ? std::stoi(t) : 0;
            if (limit < 1 || limit > board_max_limit)
                return fail(res, 400, "invalid_limit", "limit must be a whole number from 1 to " + std::to_string(board_max_limit));
        }
        std::string hash;
        if (req.has_header("Authorization") && !token_of(req, res, hash)) return;
        const auto top = kept_top(stage, edition, difficulty);
        json you = nullptr;
        if (!hash.empty()) {
            std::optional<json> place;
            reads().read([&](pqxx::transaction_base& t) { place = board_place(t, stage, edition, difficulty, hash, top.get()); });
            if (!place) return fail(res, 401, "unauthorized", "no player holds this token");
            you = std::move(*place);
        }
        res.status = 200;
        res.set_content(board_text(*top, limit, you), "application/json");
    }

    // Filled in a read of its own: a caller waiting for another's fill
    // holds no connection that the fill may need.
    std::shared_ptr<const board_top> kept_top(const std::string& stage, const std::string& edition, const std::string& difficulty) {
        return boards_cache().get({stage, edition, difficulty}, [&] {
            board_top t;
            reads().read([&](pqxx::transaction_base& x) { t = board_top_rows(x, stage, edition, difficulty, board_max_limit); });
            return t;
        });
    }

    static void missing(http::response& res, const std::string& what) {
        res.status = 404;
        res.set_content(missing_page(what), page_media_type);
        res.error = "not_found";
    }

    // The board as the JSON route has it (the same kept rows), with the
    // song's labels and each session's watch count read in one statement.
    void get_board_page(const http::request& req, http::response& res) {
        board_page_data b;
        b.stage = req.matches[1];
        b.edition = req.matches[2];
        b.difficulty = req.matches[3];
        if (!converter::edition_from_name(b.edition) || !converter::difficulty_from_name(b.difficulty))
            return missing(res, "There is no such board.");
        const auto top = kept_top(b.stage, b.edition, b.difficulty);
        b.rows = top->page_rows;
        std::vector<std::int64_t> ids;
        for (const page_run& r : b.rows) ids.push_back(r.session);
        std::optional<board_extras> extras;
        reads().read([&](pqxx::transaction_base& t) { extras = board_extras_of(t, b.stage, ids); });
        if (!extras) return missing(res, "There is no such board.");
        b.title = extras->title;
        b.artist = extras->artist;
        b.host = links_for(o_.public_url, req.header("Host"), req.reached).game;
        b.players = top->players;
        for (page_run& r : b.rows) {
            const auto w = extras->watches.find(r.session);
            r.watches = w == extras->watches.end() ? 0 : w->second;
        }
        res.status = 200;
        res.set_content(board_page(b), page_media_type);
    }

    void get_session_page(const http::request& req, http::response& res) {
        const auto id = id_of(req.matches[1]);
        std::optional<session_page_data> s;
        if (id) reads().read([&](pqxx::transaction_base& t) { s = session_page_of(t, *id); });
        if (!s) return missing(res, "There is no such session.");
        const page_links links = links_for(o_.public_url, req.header("Host"), req.reached);
        s->host = links.game;
        s->web = links.web;
        res.status = 200;
        res.set_content(session_page(*s), page_media_type);
    }

    void get_recordings(const http::request& req, http::response& res) { answer_recordings(req, res, reads()); }

    void get_health(const http::request&, http::response& res) {
        if (primary_.healthy()) answer(res, 200, {{"status", "ok"}});
        else fail(res, 503, "database_unavailable", "the database does not answer", 1);
    }

    void get_metrics(const http::request&, http::response& res) {
        std::string text = server_metrics().text();
        write_family(text, "velmora_database_connections_in_use", "gauge", "Connections of each pool lent to a request now.");
        write_family(text, "velmora_database_connections_max", "gauge", "The most connections each pool opens.");
        const auto pool = [&](database& d, const char* name) {
            const pool_figures f = d.figures();
            const std::string label = std::string("pool=\"") + name + "\"";
            write_sample(text, "velmora_database_connections_in_use", label, static_cast<double>(f.open - f.idle));
            write_sample(text, "velmora_database_connections_max", label, static_cast<double>(f.size));
        };
        pool(primary_, "primary");
        if (reads_) pool(*reads_, "read");
        const queue_figures q = queue();
        write_family(text, "velmora_verification_queue_depth", "gauge", "Sessions waiting for their verdict (read at most once a second).");
        write_sample(text, "velmora_verification_queue_depth", "", static_cast<double>(q.depth));
        write_family(text, "velmora_verification_oldest_pending_seconds", "gauge", "Age of the oldest session waiting for its verdict.");
        write_sample(text, "velmora_verification_oldest_pending_seconds", "", q.oldest_s);
        write_family(text, "velmora_verification_queue_read_ok", "gauge",
                     "1 when the two figures above were read in the last second or so, 0 when the database did not answer (they are then older).");
        write_sample(text, "velmora_verification_queue_read_ok", "", q.fresh ? 1 : 0);
        res.status = 200;
        res.set_content(std::move(text), "text/plain; version=0.0.4; charset=utf-8");
    }

    // The queue's figures, read from the database at most once a second
    // whatever the scrapes: one scrape refreshes, the others meanwhile take
    // the figures kept.
    struct queue_figures {
        std::int64_t depth = 0;
        double oldest_s = 0;
        bool fresh = false;
    };
    queue_figures queue() {
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            if (queue_refreshing_ || now - queue_read_at_ < std::chrono::seconds(1)) return queue_;
            queue_refreshing_ = true;
            queue_read_at_ = now;
        }
        queue_figures q;
        try {
            primary_.read([&](pqxx::transaction_base& t) {
                const pqxx::row r = run1(t, sql::queue_depth);
                q.depth = r[0].as<std::int64_t>();
                q.oldest_s = static_cast<double>(r[1].as<std::int64_t>()) / 1e6;
            });
            q.fresh = true;
        } catch (const std::exception&) {
            std::lock_guard<std::mutex> lock(queue_mutex_);
            q = queue_;
            q.fresh = false;
        }
        std::lock_guard<std::mutex> lock(queue_mutex_);
        queue_ = q;
        queue_refreshing_ = false;
        return q;
    }

    const options& o_;
    std::mutex queue_mutex_;
    std::mutex secret_mutex_;
    std::string secret_;  // the watch viewers' key, once read
    queue_figures queue_;
    bool queue_refreshing_ = false;
    std::chrono::steady_clock::time_point queue_read_at_{};
    database primary_;
    std::unique_ptr<database> reads_;
    rate_limiter by_address_;
    rate_limiter by_token_;
    const std::vector<row> routes_;
};

}  // namespace

http::router make_api(const options& o) {
    auto routes = std::make_shared<api>(o);
    return [routes](http::request& head) { return routes->route(head); };
}

}  // namespace server
