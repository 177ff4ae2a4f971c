// The scoreboard server against slow and huge clients, on a throwaway
// PostgreSQL (fsync off), all on 127.0.0.1:
//   1. 1,000 connections each sending its headers a byte a second (opened
//      again as the server closes them at its header deadline) while one
//      normal client sends requests back to back, each on a new connection:
//      health, a board read, a new player;
//   2. three 200 MB chunked bodies and twelve 8 MB sessions at once, each
//      refused: 413 past its limit, 400 not multipart, 503 past the memory
//      for bodies.
// It prints the normal client's latencies and the server's memory, and
// fails when a goal is missed (p99 under 100 ms, none refused, memory under
// 200 MB).
//   slow_clients_bench [--seconds N]
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "server/server_helpers.hpp"
#include "support/pg_cluster.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int slow_clients = 1000;
constexpr double p99_goal_ms = 100;
constexpr long memory_goal_kib = 200 << 10;

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }

long status_kib(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

int slow_connection(int port) {
    const int s = server_test::connect_to(port);
    if (s >= 0) send(s, "GET /v1/health HTTP/1.1\r\n", 25, MSG_NOSIGNAL);
    return s;
}

// Keeps `slow_clients` connections sending a byte a second until stop;
// counts those the server closed (each opened again).
void drip(int port, const std::atomic<bool>& stop, std::atomic<long>& closed) {
    std::vector<pollfd> fds;
    for (int i = 0; i < slow_clients; ++i) fds.push_back({slow_connection(port), POLLIN, 0});
    auto next = clock_type::now();
    while (!stop) {
        if (clock_type::now() >= next) {
            for (const pollfd& p : fds)
                if (p.fd >= 0) send(p.fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            next += std::chrono::seconds(1);
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (pollfd& p : fds) {
            if (p.fd < 0 || !p.revents) continue;
            close(p.fd);
            ++closed;
            p.fd = slow_connection(port);
            p.revents = 0;
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0) close(p.fd);
}

// A body the server must refuse: 200 MB chunked, or a declared length it
// takes, of bytes that are no multipart. The answer's status, -1 for none.
int huge_body(int port, const std::string& head, bool chunked) {
    const int s = server_test::connect_to(port);
    if (s < 0) return -1;
    timeval tv{30, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const std::size_t declared = 8u << 20;
    std::string bytes = head + (chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Content-Length: " + std::to_string(declared) + "\r\n\r\n");
    const std::string piece(1 << 16, 'a');
    const std::size_t most = chunked ? 200u << 20 : declared;
    pollfd p{s, POLLIN, 0};
    for (std::size_t sent = 0; sent < most; sent += piece.size()) {
        bytes += chunked ? "10000\r\n" + piece + "\r\n" : piece;
        bool ok = true;
        for (std::size_t at = 0; at < bytes.size() && ok;) {
            const ssize_t n = send(s, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            ok = n > 0;
            at += ok ? static_cast<std::size_t>(n) : 0;
        }
        bytes.clear();
        if (!ok || poll(&p, 1, 0) > 0) break;
    }
    char answer[64] = {};
    const ssize_t n = recv(s, answer, sizeof answer - 1, 0);
    close(s);
    return n > 12 ? std::atoi(answer + 9) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: slow_clients_bench [--seconds N]\n");
            return 2;
        }
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    test_support::pg_cluster cluster;
    test_support::server_process server(program("velmora_server"), cluster.url(),
                                        {"--workers", "0", "--rate-per-address", "0", "--rate-per-token", "0",
                                         "--max-connections-per-address", "4096"},
                                        cluster.root() + "/server.log");
    const pid_t pid = server.pid();
    const int port = server.port();
    std::printf("velmora_server pid %d on port %d, memory at start: VmRSS %ld KiB\n", static_cast<int>(pid), port,
                status_kib(pid, "VmRSS"));
    std::string token;
    {
        httplib::Client c("127.0.0.1", port);
        auto r = c.Post("/v1/players", R"({"name":"bench_slow"})", "application/json");
        if (!r || r->status != 201) {
            std::fprintf(stderr, "slow_clients_bench: cannot make a player\n");
            return 1;
        }
        token = nlohmann::json::parse(r->body)["token"];
    }

    // 1. The normal client among the slow ones.
    std::atomic<bool> stop{false};
    std::atomic<long> closed{0};
    std::thread slow([&] { drip(port, stop, closed); });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<double> latencies;
    long refused = 0, most_rss = 0;
    const std::string board = "/v1/boards/" + std::string(32, 'a') + "/standard/hard";
    const auto until = clock_type::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; clock_type::now() < until; ++i) {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(10);
        const auto start = clock_type::now();
        httplib::Result r = i % 3 == 0   ? c.Get("/v1/health")
                            : i % 3 == 1 ? c.Get(board.c_str())
                                         : c.Post("/v1/players", "{\"name\":\"slow" + std::to_string(i) + "\"}", "application/json");
        latencies.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
        if (!r || r->status >= 300) ++refused;
        if (i % 20 == 0) most_rss = std::max(most_rss, status_kib(pid, "VmRSS"));
    }
    stop = true;
    slow.join();
    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    const double p99 = latencies.empty() ? 0 : latencies[latencies.size() * 99 / 100];
    std::printf("normal client among %d slow connections: %zu requests in %.0f s, median %.2f ms, p99 %.2f ms, max %.2f ms, "
                "%ld refused or failed; %ld slow connections closed by the server and opened again; VmRSS at most %ld KiB\n",
                slow_clients, latencies.size(), seconds, p50, p99, latencies.empty() ? 0 : latencies.back(), refused,
                closed.load(), most_rss);

    // 2. Huge bodies at once.
    const std::string session = "POST /v1/sessions HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
                                "\r\nContent-Type: multipart/form-data; boundary=x\r\n";
    const std::string player = "POST /v1/players HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";
    std::vector<std::thread> huge;
    constexpr int bodies = 15;
    std::vector<int> statuses(bodies);
    for (int i = 0; i < bodies; ++i)
        huge.emplace_back([&, i] { statuses[static_cast<std::size_t>(i)] = huge_body(port, i == 0 ? player : session, i < 3); });
    for (std::thread& t : huge) t.join();
    const long hwm = status_kib(pid, "VmHWM");
    std::printf("three 200 MB chunked bodies and twelve 8 MB sessions at once: answers");
    for (int s : statuses) std::printf(" %d", s);
    std::printf("; the server's peak memory (VmHWM) %ld KiB\n", hwm);

    bool ok = true;
    if (p99 >= p99_goal_ms || refused > 0) {
        std::printf("goal missed: p99 under %.0f ms with none refused\n", p99_goal_ms);
        ok = false;
    }
    if (hwm >= memory_goal_kib || most_rss >= memory_goal_kib) {
        std::printf("goal missed: memory under %ld KiB\n", memory_goal_kib);
        ok = false;
    }
    for (int i = 0; i < bodies; ++i) {
        const int status = statuses[static_cast<std::size_t>(i)];
        if (status != 503 && status != (i < 3 ? 413 : 400)) {
            std::printf("goal missed: a huge body answered %d\n", status);
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
