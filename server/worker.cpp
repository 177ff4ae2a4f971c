#include "server/worker.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "results/result_row.hpp"
#include "server/board_cache.hpp"
#include "server/database.hpp"
#include "server/log.hpp"
#include "server/metrics.hpp"
#include "server/recheck.hpp"
#include "server/statements.hpp"
#include "server/store.hpp"

namespace server {
namespace {

// A scratch folder of the worker's own for the two files of a job; error
// is set when it cannot be made.
class scratch_files {
public:
    scratch_files() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velmora_verify.XXXXXX";
        if (mkdtemp(pattern.data())) dir_ = pattern;
        else error = "cannot make a scratch folder " + pattern + ": " + std::strerror(errno);
    }
    ~scratch_files() {
        if (dir_.empty()) return;
        unlink(stage().c_str());
        unlink(replay().c_str());
        rmdir(dir_.c_str());
    }
    std::string stage() const { return dir_ + "/stage.pat"; }
    std::string replay() const { return dir_ + "/session.vrp"; }
    std::string error;

private:
    std::string dir_;
};

// Empty, or why the file could not be written whole.
std::string write_whole(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return "cannot write " + path + ": " + std::strerror(errno);
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) == 0 && ok) return {};
    return "cannot write " + path + ": " + std::strerror(errno);
}

void sleep_unless_stopped(std::chrono::milliseconds d, const std::atomic<bool>& stop) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (!stop && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string ms_of(std::chrono::steady_clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

job_outcome judge(pqxx::work& w, const pqxx::row& j, const worker_options& o, std::string& why);

// Old watch rows go a batch at a time while the worker has nothing to
// verify: the next batch at its next idle moment while a batch came back
// full, else in an hour. Returns when to prune next.
std::chrono::steady_clock::time_point prune_when_idle(pqxx::connection& c) {
    constexpr int batch = 1000;
    const auto now = std::chrono::steady_clock::now();
    try {
        if (prune_watches(c, watch_rows_days, batch) == batch) return now;
    } catch (const pqxx::broken_connection&) {
        throw;
    } catch (const std::exception& e) {
        log_event("prune_failed", {{"error", e.what()}});
    }
    return now + std::chrono::hours(1);
}

}  // namespace

job_outcome verify_next(pqxx::connection& c, const worker_options& o, std::string& why) {
    pqxx::work w(c);
    const pqxx::result job = run(w, sql::job_claim);
    if (job.empty()) {
        w.commit();
        return job_outcome::none_pending;
    }
    try {
        return judge(w, job[0], o, why);
    } catch (const pqxx::broken_connection&) {
        throw;  // the database's, not the session's
    } catch (const std::exception& e) {
        throw std::runtime_error("session " + job[0][0].as<std::string>() + ": " + e.what());
    }
}

namespace {

// A session verified before, played again after the game changed.
job_outcome judged_again(pqxx::work& w, const recheck_job& again, const verdict& v, std::chrono::steady_clock::duration took,
                         const worker_options& o) {
    const job_outcome out = settle_recheck(w, again, v, o);
    const char* status = out == job_outcome::verified     ? "verified"
                         : out == job_outcome::rejected   ? "rejected"
                         : out == job_outcome::unverified ? "unverified"
                                                          : "retried";
    server_metrics().verification(status, took);
    log_event("verdict", {{"session", std::to_string(again.session)}, {"status", status}, {"again", "yes"},
                          {"ms", ms_of(took)}, {"cpu_ms", std::to_string(v.cpu_ms)}, {"reason", v.reason}});
    return out;
}

// The re-play itself failed: tried again later, or given up after the last attempt.
job_outcome replay_failed(pqxx::work& w, std::int64_t session, int attempts, const verdict& v,
                          std::chrono::steady_clock::duration took, const worker_options& o) {
    if (attempts >= o.attempts) {
        run(w, sql::session_unverified, session, v.reason, attempts, v.cpu_ms);
        w.commit();
        server_metrics().verification("unverified", took);
        log_event("verdict", {{"session", std::to_string(session)}, {"status", "unverified"}, {"attempts", std::to_string(attempts)},
                              {"ms", ms_of(took)}, {"cpu_ms", std::to_string(v.cpu_ms)}, {"reason", v.reason}});
        return job_outcome::unverified;
    }
    auto wait = o.retry_after;
    for (int i = 1; i < attempts; ++i) wait = std::min(wait * 4, std::chrono::milliseconds{3600 * 1000});
    run(w, sql::session_retry, session, v.reason, attempts, v.cpu_ms, static_cast<std::int64_t>(wait.count()) * 1000);
    w.commit();
    server_metrics().verification("retried", took);
    log_event("verifier_failed", {{"session", std::to_string(session)}, {"attempt", std::to_string(attempts)},
                                  {"of", std::to_string(o.attempts)}, {"retry_ms", std::to_string(wait.count())},
                                  {"ms", ms_of(took)}, {"reason", v.reason}});
    return job_outcome::left_pending;
}

job_outcome judge(pqxx::work& w, const pqxx::row& j, const worker_options& o, std::string& why) {
    const auto session = j[0].as<std::int64_t>();
    const auto player = j[1].as<std::int64_t>();
    session_files files;
    files.stage_hash = j[2].as<std::string>();
    for (const pqxx::row& r : run(w, sql::session_runs, session)) {
        claimed_run cr;
        cr.run = r[0].as<std::int32_t>();
        cr.hits = r[1].as<std::int32_t>();
        cr.score = r[2].as<std::int32_t>();
        cr.ratio = r[3].as<double>();
        cr.updates = static_cast<std::uint32_t>(r[4].as<std::int64_t>());
        files.claimed.push_back(cr);
    }
    const std::string session_text = "session " + std::to_string(session);
    scratch_files scratch;
    files.stage_path = scratch.stage();
    files.replay_path = scratch.replay();
    std::string unwritten = scratch.error;
    if (unwritten.empty()) unwritten = write_whole(files.stage_path, pqxx::binarystring(j[5]).str());
    if (unwritten.empty()) unwritten = write_whole(files.replay_path, pqxx::binarystring(j[6]).str());
    if (!unwritten.empty()) {
        why = "cannot verify " + session_text + ": " + unwritten;
        return job_outcome::worker_fault;  // rolled back: the job is any worker's
    }
    const auto started = std::chrono::steady_clock::now();
    const verdict v = verify_session(o.verifier, files, o.limits);
    const auto took = std::chrono::steady_clock::now() - started;
    if (v.outcome == verdict::kind::worker_fault) {
        why = "cannot verify " + session_text + ": " + v.reason;
        server_metrics().verification("worker_fault", took);
        return job_outcome::worker_fault;
    }
    if (j[8].as<bool>()) {
        const recheck_job again{session, player, {files.stage_hash, j[3].as<std::string>(), j[4].as<std::string>()}, j[7].as<int>()};
        return judged_again(w, again, v, took, o);
    }
    if (v.outcome == verdict::kind::fault) return replay_failed(w, session, j[7].as<int>() + 1, v, took, o);
    const bool verified = v.outcome == verdict::kind::verified;
    // Readers of this process skip the board's kept rows from before the
    // best is written until after its commit (or rollback).
    std::optional<board_write> writing;
    if (verified) writing.emplace(board_id{files.stage_hash, j[3].as<std::string>(), j[4].as<std::string>()});
    run(w, sql::session_judged, session, verified ? "verified" : "rejected", v.reason, v.cpu_ms,
        v.logic_version.empty() ? nullptr : v.logic_version.c_str());
    if (verified) {
        // One best per player and board: the session's runs and the kept
        // best, ordered by the game's best-run order, the first kept.
        record_best(w, session, files.stage_hash, j[3].as<std::string>(), j[4].as<std::string>(), player);
        choose_recording_board(w, files.stage_hash, j[3].as<std::string>(), j[4].as<std::string>());
    }
    w.commit();
    server_metrics().verification(verified ? "verified" : "rejected", took);
    log_event("verdict", {{"session", std::to_string(session)}, {"status", verified ? "verified" : "rejected"},
                          {"ms", ms_of(took)}, {"cpu_ms", std::to_string(v.cpu_ms)}, {"reason", v.reason}});
    return verified ? job_outcome::verified : job_outcome::rejected;
}

}  // namespace

void run_worker(const worker_options& o, const std::atomic<bool>& stop) {
    // While this worker cannot run re-plays its jobs are left to the others.
    std::chrono::milliseconds pause{1000};
    // Any failure is met with a new connection after the shared back-off:
    // a statement's error names its session and statement in the log.
    keep_connected(o.url, "worker", [](const std::exception&) { return true; }, stop,
                   std::chrono::steady_clock::time_point::max(), [&](pqxx::connection& c) {
        auto prune_at = std::chrono::steady_clock::now();
        while (!stop) {
            std::string why;
            const job_outcome r = verify_next(c, o, why);
            if (r == job_outcome::none_pending) {
                if (std::chrono::steady_clock::now() >= prune_at) prune_at = prune_when_idle(c);
                sleep_unless_stopped(o.idle_wait, stop);
            } else if (r == job_outcome::worker_fault) {
                log_event("worker_paused", {{"pause_s", std::to_string(pause.count() / 1000)}, {"error", why}});
                sleep_unless_stopped(pause, stop);
                pause = std::min(pause * 2, std::chrono::milliseconds{60000});
            } else {
                pause = std::chrono::milliseconds{1000};
            }
        }
    });
}

}  // namespace server
