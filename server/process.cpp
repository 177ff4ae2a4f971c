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

// Each connection is a descriptor: as many as this user may have.
void raise_open_files_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &r) != 0) std::perror("velmora_server: cannot raise the open files limit");
    }
}

bool migrate_at_start(const options& o) {
    const auto deadline = std::chrono::steady_clock::now() + start_wait;
    for (auto wait = std::chrono::milliseconds(100);; wait = std::min(wait * 2, std::chrono::milliseconds(2000))) {
        try {
            auto c = open_connection(o.database);
            migrate(*c);
            key_old_names(*c);
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
    raise_open_files_limit();
    if (!migrate_at_start(o)) return 1;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers = start_workers(o, stop);
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
            std::fprintf(stderr, "velmora_server: cannot listen on %s:%d: %s\n", o.host.c_str(), o.port, error.c_str());
            end_workers();
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
        http.run();
        if (!stop) {
            // Ended on its own: wake the waiter.
            stop = true;
            status = 1;
            kill(getpid(), SIGTERM);
        }
        waiter.join();
    }
    end_workers();
    return status;
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
