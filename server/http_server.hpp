#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The server side of HTTP/1.1: accepting, deadlines, connection caps,
// parsing and writing, on Boost.Beast. A slow client costs a socket and a
// small buffer, never a thread: one or two threads do all the I/O and the
// handlers run on a fixed pool of workers. What a request may do is decided
// from its head alone (the router), before its body is read.
namespace server::http {

struct request {
    std::string method;  // as sent: "GET", "POST"...
    std::string target;  // path and query, not decoded
    std::string path;    // the target before '?'
    std::string query;   // after '?'
    std::vector<std::pair<std::string, std::string>> headers;
    std::string remote_addr;
    std::string reached;  // the server's own address:port the connection came in on ([v6]:port)
    std::string body;
    std::vector<std::string> matches;  // the route's captured path segments
    int route = -1;                    // the router's index of the route taken; -1 for none

    // The first header of that name (any case), or "".
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
    // Query parameters, percent-decoded ('+' is a space).
    bool has_param(const std::string& name) const;
    std::string param(const std::string& name) const;
};

struct response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string content_type;
    std::string body;
    bool close = false;  // end the connection after this answer
    std::string error;   // a refusal's code ("rate_limited"), "" for an answer that is none

    void set_header(const std::string& name, const std::string& value) { headers.emplace_back(name, value); }
    void set_content(std::string b, const std::string& type) {
        body = std::move(b);
        content_type = type;
    }
};

using handler = std::function<void(const request&, response&)>;

// What the router makes of a request's head: an answer at once (its body
// is never read), or the largest body it takes and the handler that runs
// on a worker with the whole request.
struct route_choice {
    std::optional<response> refusal;
    std::size_t body_limit = 0;
    handler run;
};
// It may fill the head's matches, which its handler then reads.
using router = std::function<route_choice(request& head)>;

// The answers the transport gives by itself, as the router's would be.
response error_response(int status, const std::string& code, const std::string& message);

struct settings {
    std::string host;
    int port = 0;               // 0: any free port
    int io_threads = 2;
    int workers = 16;           // the handlers' threads
    int max_connections = 4096;
    int max_per_address = 64;
    // A reverse proxy's address (nginx in front): its requests count as the
    // client's it names last in X-Forwarded-For, and its connections are
    // held to max_connections only.
    std::string trusted_proxy;
    std::size_t header_bytes = 16u << 10;  // request line and headers
    std::size_t target_bytes = 8u << 10;   // the request line's path and query
    std::chrono::seconds idle{5};          // silent this long between requests or within one: closed
    std::chrono::seconds header_time{10};  // the head whole within this of its first byte
    std::chrono::seconds least_body_time{30};  // a body's deadline: this, or its limit at body_rate, whichever is longer
    std::size_t body_rate = 64u << 10;         // bytes a second
    // Bodies being read or handled at once hold at most this much: a
    // declared length counts as itself, a chunked body as its route's
    // limit. Past it a body is answered 503 with Retry-After, unread.
    std::size_t body_memory = 96u << 20;
    // Told of every answer as it is handed to its connection, with its time
    // from the request read whole (its head, for one refused before its
    // body), and of each connection closed at once past a cap. On the I/O
    // threads: they must be quick.
    std::function<void(const request&, const response&, std::chrono::steady_clock::duration)> answered;
    std::function<void()> connection_refused;
};

class server {
public:
    server(settings s, router r);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    // Binds and listens (SO_REUSEADDR, never SO_REUSEPORT): the port, or
    // -1 with a message in `error` ("address in use" when it is).
    int bind(std::string& error);
    // Serves until stop(); returns once every thread has ended.
    void run();
    // From any thread: stops accepting and ends every connection.
    void stop();

    struct state;  // the transport's own, in http_server.cpp

private:
    std::unique_ptr<state> state_;
};

}  // namespace server::http
