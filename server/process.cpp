#include "server/process.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "server/api.hpp"
#include "server/database.hpp"
#include "server/http_server.hpp"
#include "server/log.hpp"
#include "server/metrics.hpp"
#include "server/schema.hpp"
#include "server/store.hpp"
#include "server/worker.hpp"
#include "vaz/executable.hpp"

namespace server {
namespace {

// How long a starting server waits for its database before it gives up.
constexpr auto start_wait = std::chrono::seconds(30);

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

http::settings http_settings_of(const options& o) {
    http::settings s;
    s.host = o.host;
    s.port = o.port;
    // The I/O itself is light: one thread a core, two at most.
    s.io_threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
    s.workers = o.threads;
    s.max_connections = o.max_connections;
    s.max_per_address = o.max_per_address;
    s.trusted_proxy = o.trusted_proxy;
    s.idle = std::chrono::seconds(o.read_timeout_s);
    s.header_time = std::chrono::seconds(o.header_timeout_s);
    s.body_memory = static_cast<std::size_t>(o.body_memory_mib) << 20;
    s.answered = [](const http::request& req, const http::response& res, std::chrono::steady_clock::duration took) {
        server_metrics().answered(req.route, res.status, res.error, took);
    };
    s.connection_refused = [] { server_metrics().connection_refused(); };
    return s;
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

const char* sigabbrev(int sig) { return sig == SIGINT ? "INT" : sig == SIGTERM ? "TERM" : "other"; }

// Each connection is a descriptor: as many as this user may have.
void raise_open_files_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &r) != 0) std::perror("velmora_server: cannot raise the open files limit");
    }
}

// The schema brought up to date before anything else, the database waited
// for (with the back-off every job shares) up to start_wait; a fault of the
// schema itself ends the start at once.
bool migrate_at_start(const options& o) {
    const std::atomic<bool> never{false};
    const auto lost = [](const std::exception& e) { return dynamic_cast<const pqxx::broken_connection*>(&e) != nullptr; };
    try {
        if (keep_connected(o.database, "migration", lost, never, std::chrono::steady_clock::now() + start_wait,
                           [](pqxx::connection& c) {
                               migrate(c);
                               key_old_names(c);
                           }))
            return true;
        log_event("start_failed", {{"error", "cannot reach the database within " + std::to_string(start_wait.count()) + " s"}});
    } catch (const std::exception& e) {
        log_event("start_failed", {{"error", std::string("cannot bring the database's schema up to date: ") + e.what()}});
    }
    return false;
}

// Refusals as one line a period when there were any, never a line each:
// how many of each code since the last line.
void summarise_refusals(const std::atomic<bool>& stop, std::chrono::seconds every) {
    auto before = server_metrics().refusal_counts();
    while (!stop) {
        const auto until = std::chrono::steady_clock::now() + every;
        while (!stop && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto now = server_metrics().refusal_counts();
        std::vector<log_field> fields = {{"seconds", std::to_string(every.count())}};
        for (std::size_t i = 0; i < now.size(); ++i)
            if (now[i].second > before[i].second) fields.emplace_back(now[i].first, std::to_string(now[i].second - before[i].second));
        if (fields.size() > 1) log_event("refusals", fields);
        before = now;
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
    raise_open_files_limit();
    log_event("start", {{"mode", "server"}, {"listen", o.host + ":" + std::to_string(o.port)}, {"workers", std::to_string(o.workers)},
                        {"threads", std::to_string(o.threads)}, {"schema_steps", std::to_string(schema_latest())}});
    if (!migrate_at_start(o)) return 1;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers = start_workers(o, stop);
    workers.emplace_back([&stop, every = std::chrono::seconds(o.refusal_log_s)] { summarise_refusals(stop, every); });
    const auto end_workers = [&] {
        stop = true;
        for (std::thread& t : workers) t.join();
    };
    int status = 0;
    {
        http::server http(http_settings_of(o), make_api(o));
        std::string error;
        const int port = http.bind(error);
        if (port < 0) {
            log_event("start_failed", {{"error", "cannot listen on " + o.host + ":" + std::to_string(o.port) + ": " + error}});
            end_workers();
            return 1;
        }
        log_event("listening", {{"address", o.host}, {"port", std::to_string(port)}});
        // The first line of standard output, for a script or test that starts it.
        std::printf("velmora_server: listening on %s:%d\n", o.host.c_str(), port);
        std::fflush(stdout);
        std::thread waiter([&] {
            int sig = 0;
            sigwait(&stop_signals, &sig);
            if (!stop) log_event("stopping", {{"signal", sigabbrev(sig)}});
            stop = true;
            http.stop();
        });
        http.run();
        if (!stop) {
            // Ended on its own: wake the waiter.
            log_event("stopping", {{"error", "the HTTP server ended by itself"}});
            stop = true;
            status = 1;
            kill(getpid(), SIGTERM);
        }
        waiter.join();
    }
    end_workers();
    log_event("stop", {{"status", std::to_string(status)}});
    return status;
}

int work(const options& o) {
    sigset_t stop_signals = block_stop_signals();
    log_event("start", {{"mode", "worker"}, {"workers", std::to_string(o.workers)}, {"schema_steps", std::to_string(schema_latest())}});
    if (!migrate_at_start(o)) return 1;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers = start_workers(o, stop);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    log_event("stopping", {{"signal", sigabbrev(sig)}});
    stop = true;
    for (std::thread& t : workers) t.join();
    log_event("stop", {{"status", "0"}});
    return 0;
}

}  // namespace server
