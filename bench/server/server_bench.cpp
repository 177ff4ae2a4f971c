// The scoreboard server under load, on a throwaway PostgreSQL cluster
// (durable: fsync and synchronous commits on, as scripts/server.sh runs it):
//   1. submissions (HTTP, checks, insert; no verification) from 32 clients;
//   2. a board of 1,000,000 players among 10,000 boards (1,200,000 verified
//      runs) bulk loaded with generate_series, its buckets counted as the
//      schema's step does, then reads of the big board (top 10 and the
//      asking player's place) from 64 clients, and the place's SQL alone;
// with the server's memory after each. It fails when a goal is missed.
// Between the two, GET /metrics back to back from one client, for its cost.
//   server_bench [--seconds N] [--fast] [--boards-only | --submissions-only] [--scrape-metrics] [--server PROGRAM]
// --scrape-metrics: GET /metrics ten times a second during the submissions;
// --server: another build's velmora_server, to compare.
#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "server/store.hpp"
#include "server/tokens.hpp"
#include "server/server_helpers.hpp"
#include "support/pg_cluster.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int submit_clients = 32;
constexpr double submit_rate_goal = 500;  // a second
constexpr double read_rate_goal = 3000;
constexpr int read_clients = 64;
constexpr int boards = 10000;
constexpr int players = 1000000;   // all on board 0
constexpr int small_runs = 20;     // on each other board
constexpr int runs = players + small_runs * (boards - 1);
constexpr int first_loaded_player = 1001;         // after the submissions' players
constexpr int first_loaded_session = 10000001;    // after the submissions' sessions

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }

struct figures {
    std::size_t done = 0, failed = 0;
    double seconds = 0, median_ms = 0, p99_ms = 0, max_ms = 0;
    std::string failures;  // by status
};

// Runs `clients` threads, each calling `once(client, thread, i)` until the
// time is up: back to back when rate is 0, else paced so that all together
// start `rate` calls a second, each latency then counted from the moment
// the call was due (a late start is the server's delay too).
figures load(int port, int clients, double seconds, double rate,
             const std::function<int(httplib::Client&, int, std::uint64_t)>& once) {
    std::mutex mutex;
    std::vector<double> latencies;
    std::size_t failed = 0;
    std::map<int, int> failures;
    const auto start = clock_type::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    const auto interval = std::chrono::duration<double>(rate > 0 ? clients / rate : 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", port);
            c.set_keep_alive(true);
            c.set_tcp_nodelay(true);
            c.set_read_timeout(30);
            std::vector<double> mine;
            std::map<int, int> bad;
            // Paced threads start spread over one interval.
            const clock_type::time_point first =
                start + std::chrono::duration_cast<clock_type::duration>(interval * (static_cast<double>(t) / clients));
            for (std::uint64_t i = 0;; ++i) {
                auto due = clock_type::now();
                if (rate > 0) {
                    due = first + std::chrono::duration_cast<clock_type::duration>(interval * static_cast<double>(i));
                    std::this_thread::sleep_until(due);
                }
                if (due >= until) break;
                const int status = once(c, t, i);
                const double ms = std::chrono::duration<double, std::milli>(clock_type::now() - due).count();
                if (status == 200 || status == 202) mine.push_back(ms);
                else ++bad[status];
            }
            std::lock_guard<std::mutex> lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
            for (const auto& [status, n] : bad) {
                failures[status] += n;
                failed += static_cast<std::size_t>(n);
            }
        });
    for (std::thread& t : threads) t.join();
    figures f;
    f.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    f.done = latencies.size();
    f.failed = failed;
    for (const auto& [status, n] : failures)
        f.failures += (f.failures.empty() ? "" : ", ") + (status < 0 ? "no answer" : std::to_string(status)) + " x" + std::to_string(n);
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        f.median_ms = latencies[latencies.size() / 2];
        f.p99_ms = latencies[latencies.size() * 99 / 100];
        f.max_ms = latencies.back();
    }
    return f;
}

// CPU seconds a process used (with its reaped children's), from /proc.
double cpu_seconds(pid_t pid, bool with_children) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    std::vector<std::string> v;
    while (fields >> f) v.push_back(f);
    // After the name: state is field 3; utime, stime, cutime, cstime are 14 to 17.
    if (v.size() < 15) return 0;
    double ticks = std::stod(v[11]) + std::stod(v[12]);
    if (with_children) ticks += std::stod(v[13]) + std::stod(v[14]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// PostgreSQL's CPU seconds: the postmaster, its live backends and the ones it reaped.
double cluster_cpu_seconds(const std::string& data_folder) {
    std::ifstream pidfile(data_folder + "/postmaster.pid");
    pid_t postmaster = 0;
    pidfile >> postmaster;
    if (postmaster <= 0) return 0;
    double total = cpu_seconds(postmaster, true);
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
            if (pid <= 0) continue;
            std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const auto close = text.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream fields(text.substr(close + 2));
            std::string state;
            pid_t parent = 0;
            fields >> state >> parent;
            if (parent == postmaster) total += cpu_seconds(pid, false);
        }
        closedir(d);
    }
    return total;
}

// CPU per call of the server and of PostgreSQL over a phase.
struct cpu_meter {
    pid_t server;
    std::string data;
    double server_at = 0, cluster_at = 0;
    void start() {
        server_at = cpu_seconds(server, true);
        cluster_at = cluster_cpu_seconds(data);
    }
    void report(std::size_t calls) const {
        const double s = cpu_seconds(server, true) - server_at, c = cluster_cpu_seconds(data) - cluster_at;
        std::printf("  CPU per call: server %.0f us, PostgreSQL %.0f us (%.1f s and %.1f s in all)\n",
                    1e6 * s / static_cast<double>(calls), 1e6 * c / static_cast<double>(calls), s, c);
    }
};

std::string memory_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmHWM:", 0) == 0) out += (out.empty() ? "" : ", ") + line;
    return out;
}

void report(const char* what, const figures& f) {
    std::printf("%s: %zu in %.1f s = %.0f/s, median %.2f ms, p99 %.2f ms, max %.1f ms, %zu failed%s%s%s\n", what, f.done,
                f.seconds, static_cast<double>(f.done) / f.seconds, f.median_ms, f.p99_ms, f.max_ms, f.failed,
                f.failures.empty() ? "" : " (", f.failures.c_str(), f.failures.empty() ? "" : ")");
}

std::string token_of_player(int p) {
    char text[65];
    std::snprintf(text, sizeof text, "%064x", p);
    return text;
}

// The bulk load: player p's token is its number as 64 hex digits; board b's
// stage hash is b as 32 hex digits. Run j below `players` is player j's
// (from first_loaded_player) on board 0; the others, k = j - players, are
// on board 1 + k % 9999, each board's players k / 9999 * 50000 + its number.
std::string bulk_sql() {
    const std::string board_of = "(CASE WHEN j < " + std::to_string(players) + " THEN 0 ELSE 1 + (j - " +
                                 std::to_string(players) + ") % " + std::to_string(boards - 1) + " END)";
    const std::string player_of = "(CASE WHEN j < " + std::to_string(players) + " THEN j ELSE (j - " +
                                  std::to_string(players) + ") / " + std::to_string(boards - 1) + " * 50000 + (j - " +
                                  std::to_string(players) + ") % " + std::to_string(boards - 1) + " END + " +
                                  std::to_string(first_loaded_player) + ")";
    return R"(
BEGIN;
INSERT INTO players (id, name, token_hash) OVERRIDING SYSTEM VALUE
  SELECT p, 'p' || p, sha256(convert_to(lpad(to_hex(p), 64, '0'), 'UTF8'))
  FROM generate_series()" + std::to_string(first_loaded_player) + ", " + std::to_string(first_loaded_player + players - 1) + R"() p;
INSERT INTO stages (hash, bytes, events) SELECT lpad(to_hex(b), 32, '0'), '\x01ffffffff'::bytea, 0 FROM generate_series(0, )" + std::to_string(boards - 1) + R"() b;
INSERT INTO replays (hash, bytes) SELECT 'r' || j, '\x00'::bytea FROM generate_series(0, )" + std::to_string(runs - 1) + R"() j;
INSERT INTO sessions (id, player, stage, replay, edition, difficulty, updates, status, submitted_at, verified_at) OVERRIDING SYSTEM VALUE
  SELECT j + )" + std::to_string(first_loaded_session) + R"(, )" + player_of + R"(, lpad(to_hex()" + board_of + R"(), 32, '0'), 'r' || j, 'standard', 'hard', 10000, 'verified', 1700000000000000 + j, now()
  FROM generate_series(0, )" + std::to_string(runs - 1) + R"() j;
CREATE TEMP TABLE figures AS SELECT j, (j::bigint * 7919) % 50 AS hits, (j::bigint * 104729) % 100000 AS score FROM generate_series(0, )" + std::to_string(runs - 1) + R"() j;
INSERT INTO runs (session, run, hits, score, ratio, updates, played_at)
  SELECT j + )" + std::to_string(first_loaded_session) + R"(, 1, hits, score, (CASE WHEN hits > 0 THEN score::float8 / (hits * 15) ELSE score END)::float4::float8, 5000, 1700000000000000 + j FROM figures;
INSERT INTO bests (stage, edition, difficulty, player, session, run, ratio, hits, score, played_at)
  SELECT lpad(to_hex()" + board_of + R"(), 32, '0'), 'standard', 'hard', )" + player_of + R"(, j + )" + std::to_string(first_loaded_session) + R"(, 1,
         (CASE WHEN hits > 0 THEN score::float8 / (hits * 15) ELSE score END)::float4::float8, hits, score, 1700000000000000 + j FROM figures;
INSERT INTO board_buckets (stage, edition, difficulty, level, bucket, players)
  SELECT b.stage, b.edition, b.difficulty, l.level, ratio_key(b.ratio) >> l.shift, count(*)
  FROM bests b CROSS JOIN (VALUES (0, 52), (1, 46), (2, 40), (3, 34)) l(level, shift) GROUP BY 1, 2, 3, 4, 5;
SELECT setval(pg_get_serial_sequence('players', 'id'), )" + std::to_string(first_loaded_player + players) + R"();
SELECT setval(pg_get_serial_sequence('sessions', 'id'), )" + std::to_string(first_loaded_session + runs) + R"();
COMMIT;
VACUUM ANALYZE;
)";
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    double seconds = 10;
    bool fast = false, boards_only = false, submissions_only = false, scrape = false;
    std::string server_program = program("velmora_server");
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (a == "--fast") fast = true;
        else if (a == "--boards-only") boards_only = true;
        else if (a == "--submissions-only") submissions_only = true;
        else if (a == "--scrape-metrics") scrape = true;
        else if (a == "--server" && i + 1 < argc) server_program = argv[++i];
        else {
            std::fprintf(stderr, "usage: server_bench [--seconds N] [--fast] [--boards-only | --submissions-only] [--scrape-metrics]"
                                 " [--server PROGRAM]\n");
            return 2;
        }
    }
    int status0 = 0;
    test_support::pg_cluster cluster(!fast);
    test_support::server_process server(server_program, cluster.url(),
                                        // The server's own thread and connection counts: on two cores more of
                                        // either only queue in the kernel instead of in the server.
                                        {"--workers", "0", "--players-per-address", "0", "--rate-per-address",
                                         "0", "--rate-per-token", "0"},
                                        cluster.root() + "/server.log");
    std::printf("load average at start: %s\n", test_support::shell_output("cut -d' ' -f1-3 /proc/loadavg", status0).c_str());
    std::printf("PostgreSQL %s (%s), velmora_server pid %d on port %d\n", cluster.url().c_str(),
                fast ? "fsync off" : "durable", static_cast<int>(server.pid()), server.port());

    // 1. Submissions: 32 players, each sending replays of its own on one of 32 stages.
    cpu_meter meter{server.pid(), cluster.root() + "/pg/data"};
    figures most, submitted;
    if (!boards_only) {
        std::uint32_t rounds = 0;
        std::vector<std::string> tokens, stages;
        for (int t = 0; t < submit_clients; ++t) {
            httplib::Client c("127.0.0.1", server.port());
            auto r = c.Post("/v1/players", "{\"name\":\"bench" + std::to_string(t) + "\"}", "application/json");
            if (!r || r->status != 201) {
                std::fprintf(stderr, "server_bench: cannot make a player\n");
                return 1;
            }
            tokens.push_back(nlohmann::json::parse(r->body)["token"]);
            stages.push_back(server_test::stage_bytes(3000, t));  // 36 kB, about a minute of a hard stage
        }
        const auto submit = [&](httplib::Client& c, int t, std::uint64_t i) {
            const std::string& stage = stages[static_cast<std::size_t>(t)];
            const auto seed = static_cast<std::uint32_t>(t) << 24 | static_cast<std::uint32_t>(i) | (rounds << 20);
            auto r = c.Post("/v1/sessions", server_test::bearer(tokens[static_cast<std::size_t>(t)]),
                            server_test::session_form(stage, server_test::replay_bytes(stage, seed, {{3, 900}, {1, 20}})));
            return r ? r->status : -1;
        };
        // A scraper beside the submissions, as Prometheus would be (at 150 times its usual rate).
        std::atomic<bool> scraping{scrape};
        std::thread scraper;
        if (scrape)
            scraper = std::thread([&] {
                const auto metrics = [](httplib::Client& c, int, std::uint64_t) {
                    auto r = c.Get("/metrics");
                    return r ? r->status : -1;
                };
                while (scraping) {
                    const figures f = load(server.port(), 1, 1, 10, metrics);
                    if (f.failed) std::printf("  /metrics failed beside the submissions: %s\n", f.failures.c_str());
                }
            });
        meter.start();
        most = load(server.port(), submit_clients, seconds, 0, submit);
        report("submissions, 32 clients back to back", most);
        meter.report(most.done);
        ++rounds;
        submitted = load(server.port(), submit_clients, seconds, submit_rate_goal, submit);
        report("submissions, 32 clients at 500/s", submitted);
        scraping = false;
        if (scraper.joinable()) scraper.join();
        std::printf("server memory after submissions: %s\n", memory_of(server.pid()).c_str());
        // What one scrape costs, with the counts the submissions left.
        const auto metrics = [](httplib::Client& c, int, std::uint64_t) {
            auto r = c.Get("/metrics");
            return r ? r->status : -1;
        };
        httplib::Client probe("127.0.0.1", server.port());
        const auto body = probe.Get("/metrics");
        if (body && body->status == 200) {
            std::printf("/metrics answer: %zu bytes\n", body->body.size());
            meter.start();
            const figures m = load(server.port(), 1, 2, 0, metrics);
            report("GET /metrics, one client back to back", m);
            meter.report(m.done);
        }
    }
    if (submissions_only) {
        const double submit_rate = static_cast<double>(most.done) / most.seconds;
        std::printf("%s submissions at least 500/s\n", submit_rate >= 500 ? "met:   " : "MISSED:");
        std::printf("%s submissions at 500/s: p99 under 50 ms\n", submitted.p99_ms < 50 && submitted.failed == 0 ? "met:   " : "MISSED:");
        return submit_rate >= 500 && submitted.p99_ms < 50 && submitted.failed == 0 ? 0 : 1;
    }

    // 2. A million verified runs, then board reads.
    const auto load_start = clock_type::now();
    const std::string sql_file = cluster.root() + "/bulk.sql";
    std::ofstream(sql_file) << bulk_sql();
    int status = 0;
    const std::string out = test_support::shell_output(
        "/usr/lib/postgresql/15/bin/psql -X -q -v ON_ERROR_STOP=1 -d '" + cluster.url() + "' -f '" + sql_file + "' 2>&1", status);
    if (status != 0) {
        std::fprintf(stderr, "server_bench: the bulk load failed: %s\n", out.c_str());
        return 1;
    }
    std::printf("bulk load of %d runs, %d boards, %d players: %.1f s\n", runs, boards, players,
                std::chrono::duration<double>(clock_type::now() - load_start).count());
    const std::string big_board(32, '0');
    {
        pqxx::connection c(cluster.url());
        server::prepare_statements(c);
        pqxx::nontransaction n(c);
        for (const pqxx::row& b : n.exec_params("SELECT level, count(*), max(players), percentile_disc(0.5) WITHIN GROUP"
                                                " (ORDER BY players) FROM board_buckets WHERE stage = $1 GROUP BY level ORDER BY level",
                                                big_board))
            std::printf("the big board's buckets at level %d: %lld, players in the largest %lld, median %lld\n", b[0].as<int>(),
                        b[1].as<long long>(), b[2].as<long long>(), b[3].as<long long>());
        // The reader's place alone, on one connection: what of a read is SQL
        // while the board's top rows are kept.
        const server::board_top kept = server::board_top_rows(n, big_board, "standard", "hard", 100);
        std::mt19937 pick(99);
        std::vector<double> us;
        std::size_t estimated = 0;
        for (int i = 0; i < 2000; ++i) {
            const std::string hash = server::token_hash(token_of_player(static_cast<int>(pick() % players) + first_loaded_player));
            const auto start = clock_type::now();
            const nlohmann::json you = server::board_place(n, big_board, "standard", "hard", hash, &kept).value_or(nullptr);
            us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
            estimated += you.is_object() && you.value("rank_estimate", false) ? 1 : 0;
        }
        std::sort(us.begin(), us.end());
        std::printf("the place statement alone, 2,000 random readers of the big board on one connection: median %.0f us,"
                    " p99 %.0f us, max %.0f us; %zu places estimated\n", us[us.size() / 2], us[us.size() * 99 / 100],
                    us.back(), estimated);
    }
    std::vector<std::mt19937> random;
    for (int t = 0; t < read_clients; ++t) random.emplace_back(static_cast<unsigned>(t + 1));
    std::atomic<std::size_t> wrong{0}, estimates{0};
    const auto read_board = [&](httplib::Client& c, int t, std::uint64_t) {
        const int p = static_cast<int>(random[static_cast<std::size_t>(t)]() % players);
        const std::string board = "/v1/boards/" + big_board + "/standard/hard?limit=10";
        auto r = c.Get(board.c_str(), server_test::bearer(token_of_player(p + first_loaded_player)));
        if (!r) return -1;
        if (r->status != 200) return r->status;
        const auto body = nlohmann::json::parse(r->body);
        if (body["entries"].size() != 10 || body["players"] != players || body["you"].is_null()) ++wrong;
        else if (body["you"].value("rank_estimate", false)) ++estimates;
        return 200;
    };
    meter.start();
    const figures fastest = load(server.port(), read_clients, seconds, 0, read_board);
    report("board reads with the reader's rank, 64 clients back to back", fastest);
    meter.report(fastest.done);
    const figures read = load(server.port(), read_clients, seconds, read_rate_goal, read_board);
    report("board reads with the reader's rank, 64 clients at 3,000/s", read);
    // What a reader meets below the machine's most: latency without a queue.
    report("board reads with the reader's rank, 64 clients at 1,500/s", load(server.port(), read_clients, seconds, 1500, read_board));
    std::printf("server memory after board reads: %s\n", memory_of(server.pid()).c_str());
    std::printf("places estimated (past the exact top): %zu\n", estimates.load());
    if (wrong) std::printf("board answers without 10 entries, 1,000,000 players or the reader: %zu\n", wrong.load());

    const double submit_rate = static_cast<double>(most.done) / most.seconds;
    const double read_rate = static_cast<double>(fastest.done) / fastest.seconds;
    bool ok = wrong == 0;
    const auto goal = [&](bool met, const char* what) {
        std::printf("%s %s\n", met ? "met:   " : "MISSED:", what);
        ok = ok && met;
    };
    if (!boards_only) {
        goal(submit_rate >= 500, "submissions at least 500/s");
        goal(submitted.p99_ms < 50 && submitted.failed == 0, "submissions at 500/s: p99 under 50 ms");
    }
    goal(read.median_ms < 2 && read.failed == 0, "board reads at 3,000/s: median under 2 ms");
    goal(read.p99_ms < 10, "board reads at 3,000/s: p99 under 10 ms");
    goal(read_rate >= 3000, "board reads at least 3,000/s");
    return ok ? 0 : 1;
}
