#include "server/http_server.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "server/log.hpp"

namespace server::http {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using clock_type = std::chrono::steady_clock;

constexpr int listen_backlog = 1024;
constexpr std::size_t read_bytes = 16u << 10;
// Room for a body's read beside the unparsed rest of a chunk header.
constexpr std::size_t buffer_bytes = 128u << 10;
// A refused client still sending its body is read (and dropped) this long
// before the connection is closed, so that it reads the refusal rather
// than a reset.
constexpr auto linger_time = std::chrono::seconds(2);
constexpr std::size_t linger_bytes = 16u << 20;
constexpr auto least_write_time = std::chrono::seconds(10);

bool same_name(const std::string& a, beast::string_view b) { return beast::iequals(a, b); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decoded(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Calls f(value) with the decoded value of the query's first parameter of that name; false when there is none.
template <typename F>
bool find_param(const std::string& query, const std::string& name, F f) {
    for (std::size_t at = 0; at <= query.size();) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        if (decoded(pair.substr(0, eq)) == name) {
            f(eq == std::string::npos ? std::string() : decoded(pair.substr(eq + 1)));
            return true;
        }
        at = end + 1;
    }
    return false;
}

}  // namespace

std::string request::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (same_name(name, n)) return v;
    return {};
}

bool request::has_header(const std::string& name) const {
    for (const auto& h : headers)
        if (same_name(name, h.first)) return true;
    return false;
}

bool request::has_param(const std::string& name) const {
    return find_param(query, name, [](const std::string&) {});
}

std::string request::param(const std::string& name) const {
    std::string v;
    find_param(query, name, [&](const std::string& value) { v = value; });
    return v;
}

// The client a trusted proxy names: the last address of X-Forwarded-For
// (the one the proxy itself added); the proxy's own when there is none that
// reads as an address, so a request without it is still counted somewhere.
template <typename Head>
std::string forwarded_for_in(const Head& h, const std::string& proxy) {
    const auto it = h.find("X-Forwarded-For");
    if (it == h.end()) return proxy;
    const std::string list(it->value());
    const auto comma = list.rfind(',');
    std::string last = list.substr(comma == std::string::npos ? 0 : comma + 1);
    last.erase(0, last.find_first_not_of(" \t"));
    last.erase(last.find_last_not_of(" \t") + 1);
    boost::system::error_code ec;
    const auto address = net::ip::make_address(last, ec);
    return ec ? proxy : address.to_string();
}

response error_response(int status, const std::string& code, const std::string& message) {
    response r;
    r.status = status;
    r.error = code;
    r.set_content(nlohmann::json{{"error", code}, {"message", message}}.dump(), "application/json");
    return r;
}

struct server::state {
    settings s;
    router route;
    // The counts outlive the io_context, whose end frees the last connections.
    std::mutex mutex;
    std::size_t open = 0;
    std::unordered_map<std::string, int> per_address;
    std::size_t body_bytes = 0;
    net::io_context ioc;
    tcp::acceptor acceptor{net::make_strand(ioc)};
    net::steady_timer accept_pause{acceptor.get_executor()};
    net::thread_pool workers;
    std::atomic<bool> stopping{false};

    state(settings st, router r)
        : s(std::move(st)), route(std::move(r)), ioc(std::max(1, s.io_threads)), workers(static_cast<std::size_t>(std::max(1, s.workers))) {}

    bool admit(const std::string& address) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!s.trusted_proxy.empty() && address == s.trusted_proxy) {
            if (open >= static_cast<std::size_t>(s.max_connections)) return false;
            ++open;
            return true;
        }
        int& mine = per_address[address];
        if (open >= static_cast<std::size_t>(s.max_connections) || mine >= s.max_per_address) {
            if (mine == 0) per_address.erase(address);
            return false;
        }
        ++open;
        ++mine;
        return true;
    }

    void release(const std::string& address) {
        std::lock_guard<std::mutex> lock(mutex);
        --open;
        const auto it = per_address.find(address);
        if (it != per_address.end() && --it->second <= 0) per_address.erase(it);
    }

    bool reserve(std::size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        if (bytes > s.body_memory - std::min(s.body_memory, body_bytes)) return false;
        body_bytes += bytes;
        return true;
    }

    void unreserve(std::size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        body_bytes -= std::min(body_bytes, bytes);
    }

    void accept();
};

namespace {

class connection : public std::enable_shared_from_this<connection> {
public:
    connection(server::state& st, tcp::socket socket, std::string address, std::string reached)
        : st_(st), stream_(std::move(socket)), address_(std::move(address)), reached_(std::move(reached)), buffer_(buffer_bytes) {}
    ~connection() {
        st_.unreserve(reserved_);
        st_.release(address_);
    }

    void start() {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->next_request(); });
    }

private:
    using parser_type = bhttp::request_parser<bhttp::string_body>;

    void next_request() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(st_.s.header_bytes));
        // The route sets the limit once the head is read; a declared length
        // is then weighed against it before a byte of the body is taken.
        // (Not boost::none: this Beast compares a length with it as larger.)
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        request_ = request{};
        head_only_ = false;
        head_deadline_.reset();
        started_ = clock_type::now();
        if (buffer_.size() > 0) head_deadline_ = started_ + st_.s.header_time;
        parse_head();
    }

    // Silent for `idle`, or past the deadline: the read ends with a time-out.
    void read(std::optional<clock_type::time_point> deadline, void (connection::*then)()) {
        if (buffer_.size() >= buffer_.max_size()) return refuse_at_once(error_response(400, "bad_request", "a line of the request is too long"));
        auto expiry = clock_type::now() + st_.s.idle;
        if (deadline) expiry = std::min(expiry, *deadline);
        stream_.expires_at(expiry);
        const std::size_t room = std::min(read_bytes, buffer_.max_size() - buffer_.size());
        stream_.async_read_some(buffer_.prepare(room), [self = shared_from_this(), then](beast::error_code ec, std::size_t n) {
            if (ec) return self->close();
            self->buffer_.commit(n);
            ((*self).*then)();
        });
    }

    void parse_head() {
        if (buffer_.size() > 0 && !head_deadline_) {
            started_ = clock_type::now();
            head_deadline_ = started_ + st_.s.header_time;
        }
        beast::error_code ec;
        while (buffer_.size() > 0 && !parser_->is_header_done()) {
            buffer_.consume(parser_->put(buffer_.data(), ec));
            if (ec == bhttp::error::need_more) {
                ec = {};
                break;
            }
            if (ec == bhttp::error::header_limit)
                return refuse_at_once(error_response(431, "headers_too_large", "the request's headers are too large"));
            if (ec) return refuse_at_once(error_response(400, "bad_request", "the request is malformed (its headers, length or multipart body)"));
        }
        if (!parser_->is_header_done()) return read(head_deadline_, &connection::parse_head);
        on_head();
    }

    void on_head() {
        started_ = clock_type::now();
        const auto& h = parser_->get();
        request_.method = std::string(h.method_string());
        request_.target = std::string(h.target());
        const std::size_t q = request_.target.find('?');
        request_.path = request_.target.substr(0, q);
        if (q != std::string::npos) request_.query = request_.target.substr(q + 1);
        for (const auto& f : h) request_.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
        request_.remote_addr = address_;
        request_.reached = reached_;
        if (!st_.s.trusted_proxy.empty() && address_ == st_.s.trusted_proxy) request_.remote_addr = forwarded_for_in(h, address_);
        keep_alive_ = h.keep_alive();
        head_only_ = h.method() == bhttp::verb::head;
        if (request_.target.size() > st_.s.target_bytes)
            return refuse(error_response(414, "uri_too_long", "the request's path is too long"));
        route_choice c;
        try {
            c = st_.route(request_);
        } catch (const std::exception& e) {
            log_event("routing_failed", {{"method", request_.method}, {"path", request_.path}, {"error", e.what()}});
            return refuse(error_response(500, "internal_error", "the server failed to answer this request"));
        }
        if (c.refusal) return refuse(std::move(*c.refusal));
        if (parser_->content_length() && *parser_->content_length() > c.body_limit) return refuse(too_large());
        if (!parser_->is_done()) {
            const std::size_t want = parser_->content_length() ? static_cast<std::size_t>(*parser_->content_length()) : c.body_limit;
            if (!st_.reserve(want)) {
                response busy = error_response(503, "server_busy", "too many large bodies are being sent now; try again shortly");
                busy.set_header("Retry-After", "1");
                return refuse(std::move(busy));
            }
            reserved_ = want;
        }
        parser_->body_limit(c.body_limit);
        run_ = std::move(c.run);
        const auto scaled = std::chrono::seconds(c.body_limit / std::max<std::size_t>(1, st_.s.body_rate));
        body_deadline_ = clock_type::now() + std::max(st_.s.least_body_time, scaled);
        const bool expects = beast::iequals(h[bhttp::field::expect], "100-continue");
        if (expects && !parser_->is_done()) {
            static const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(least_write_time);
            net::async_write(stream_, net::buffer(go_on), [self = shared_from_this()](beast::error_code ec, std::size_t) {
                if (ec) return self->close();
                self->parse_body();
            });
            return;
        }
        parse_body();
    }

    void parse_body() {
        beast::error_code ec;
        while (buffer_.size() > 0 && !parser_->is_done()) {
            buffer_.consume(parser_->put(buffer_.data(), ec));
            if (ec == bhttp::error::need_more) {
                ec = {};
                break;
            }
            if (ec == bhttp::error::body_limit) return refuse(too_large());
            if (ec) return refuse(error_response(400, "bad_request", "the request is malformed (its headers, length or multipart body)"));
        }
        if (!parser_->is_done()) return read(body_deadline_, &connection::parse_body);
        request_.body = std::move(parser_->get().body());
        // A request's time is the server's part: from its last byte in, not
        // the client's upload.
        started_ = clock_type::now();
        // The handler has the request to itself until its answer is written.
        net::post(st_.workers, [self = shared_from_this()] {
            response res;
            try {
                self->run_(self->request_, res);
            } catch (const std::exception& e) {
                log_event("handler_failed", {{"method", self->request_.method}, {"path", self->request_.path}, {"error", e.what()}});
                res = error_response(500, "internal_error", "the server failed to answer this request");
            }
            net::post(self->stream_.get_executor(), [self, res = std::move(res)]() mutable { self->write(std::move(res), false); });
        });
    }

    static response too_large() {
        return error_response(413, "payload_too_large", "the request body is larger than this route takes");
    }

    // Before the body: a request with a body still to come ends its connection,
    // for that body must not be taken for the next request.
    void refuse(response r) { write(std::move(r), !parser_->is_done()); }
    void refuse_at_once(response r) { write(std::move(r), true); }

    void write(response r, bool must_close) {
        if (st_.s.answered) st_.s.answered(request_, r, clock_type::now() - started_);
        // The body has been handled (or refused): its room is free again.
        request_.body = std::string();
        st_.unreserve(reserved_);
        reserved_ = 0;
        close_after_ = must_close || r.close || !keep_alive_ || st_.stopping;
        auto m = std::make_shared<bhttp::response<bhttp::string_body>>();
        m->version(parser_ && parser_->is_header_done() ? parser_->get().version() : 11);
        m->result(static_cast<unsigned>(r.status));
        if (!r.content_type.empty()) m->set(bhttp::field::content_type, r.content_type);
        for (auto& [name, value] : r.headers) m->insert(name, value);
        m->body() = std::move(r.body);
        m->keep_alive(!close_after_);
        m->prepare_payload();
        if (head_only_) m->body().clear();
        const auto scaled = std::chrono::seconds(m->body().size() / std::max<std::size_t>(1, st_.s.body_rate));
        stream_.expires_after(std::max<clock_type::duration>(least_write_time, scaled));
        bhttp::async_write(stream_, *m, [self = shared_from_this(), m](beast::error_code ec, std::size_t) {
            if (ec) return self->close();
            if (self->close_after_) return self->linger();
            self->next_request();
        });
    }

    // Our side is done: the client reads the answer and an end; what it
    // still sends is dropped for a while, then the connection is closed.
    void linger() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        linger_until_ = clock_type::now() + linger_time;
        drain();
    }

    void drain() {
        buffer_.clear();
        stream_.expires_at(linger_until_);
        stream_.async_read_some(buffer_.prepare(read_bytes), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            self->lingered_ += n;
            if (ec || self->lingered_ > linger_bytes) return self->close();
            self->drain();
        });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    server::state& st_;
    beast::tcp_stream stream_;
    const std::string address_;
    const std::string reached_;
    beast::flat_buffer buffer_;
    std::optional<parser_type> parser_;
    request request_;
    handler run_;
    std::optional<clock_type::time_point> head_deadline_, body_deadline_;
    clock_type::time_point linger_until_, started_;
    std::size_t lingered_ = 0, reserved_ = 0;
    bool keep_alive_ = true, head_only_ = false, close_after_ = false;
};

}  // namespace

void server::state::accept() {
    acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
        if (stopping || !acceptor.is_open()) return;
        if (ec == net::error::no_descriptors || ec == boost::system::errc::too_many_files_open_in_system) {
            // Out of descriptors: try again in a moment rather than spin.
            accept_pause.expires_after(std::chrono::milliseconds(50));
            accept_pause.async_wait([this](beast::error_code) {
                if (!stopping) accept();
            });
            return;
        }
        if (!ec) {
            beast::error_code e;
            const tcp::endpoint remote = socket.remote_endpoint(e);
            std::string address = e ? std::string() : remote.address().to_string();
            // Past a cap the new connection alone is closed, at once.
            const bool admitted = !e && admit(address);
            if (!admitted && !e && s.connection_refused) s.connection_refused();
            if (admitted) {
                // Answers go out whole at once; Nagle's wait against the client's
                // delayed acknowledgement would add tens of milliseconds to each.
                socket.set_option(tcp::no_delay(true), e);
                const tcp::endpoint local = socket.local_endpoint(e);
                std::string reached;
                if (!e) {
                    const std::string a = local.address().to_string();
                    reached = (local.address().is_v6() ? "[" + a + "]" : a) + ":" + std::to_string(local.port());
                }
                std::make_shared<connection>(*this, std::move(socket), std::move(address), std::move(reached))->start();
            }
        }
        accept();
    });
}

server::server(settings s, router r) : state_(std::make_unique<state>(std::move(s), std::move(r))) {}

server::~server() {
    stop();
    state_->workers.stop();
    state_->workers.join();
}

int server::bind(std::string& error) {
    state& st = *state_;
    beast::error_code ec;
    tcp::resolver resolver(st.ioc);
    const auto found = resolver.resolve(st.s.host, std::to_string(st.s.port), tcp::resolver::passive, ec);
    if (ec || found.empty()) {
        error = "cannot resolve " + st.s.host + ": " + (ec ? ec.message() : "no address");
        return -1;
    }
    const tcp::endpoint at = found.begin()->endpoint();
    // SO_REUSEADDR only: a second server on a port in use must fail, not
    // share the connections with the first.
    st.acceptor.open(at.protocol(), ec);
    if (!ec) st.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) st.acceptor.bind(at, ec);
    if (!ec) st.acceptor.listen(listen_backlog, ec);
    if (ec) {
        error = ec == net::error::address_in_use ? "address in use" : ec.message();
        beast::error_code ignored;
        st.acceptor.close(ignored);
        return -1;
    }
    const int port = st.acceptor.local_endpoint(ec).port();
    net::post(st.acceptor.get_executor(), [&st] { st.accept(); });
    return port;
}

void server::run() {
    state& st = *state_;
    const auto loop = [&st] {
        for (;;) {
            try {
                st.ioc.run();
                return;
            } catch (const std::exception& e) {
                log_event("io_failed", {{"error", e.what()}});
            }
        }
    };
    std::vector<std::thread> others;
    for (int i = 1; i < st.s.io_threads; ++i) others.emplace_back(loop);
    loop();
    for (std::thread& t : others) t.join();
}

void server::stop() {
    state& st = *state_;
    if (st.stopping.exchange(true)) return;
    net::post(st.acceptor.get_executor(), [&st] {
        beast::error_code ignored;
        st.acceptor.close(ignored);
        st.accept_pause.cancel();
    });
    st.ioc.stop();
}

}  // namespace server::http
