#include "server/worker.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "results/result_row.hpp"
#include "server/database.hpp"
#include "server/store.hpp"

namespace server {
namespace {

// A scratch folder of the worker's own for the two files of a job.
class scratch_files {
public:
    scratch_files() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velmora_verify.XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch folder in " + pattern);
        dir_ = pattern;
    }
    ~scratch_files() {
        unlink(stage().c_str());
        unlink(replay().c_str());
        rmdir(dir_.c_str());
    }
    std::string stage() const { return dir_ + "/stage.pat"; }
    std::string replay() const { return dir_ + "/session.vrp"; }

private:
    std::string dir_;
};

bool write_whole(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

void sleep_unless_stopped(std::chrono::milliseconds d, const std::atomic<bool>& stop) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (!stop && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

job_outcome verify_next(pqxx::connection& c, const worker_options& o) {
    pqxx::work w(c);
    const pqxx::result job = w.exec(
        "SELECT s.id, s.player, s.stage, s.edition, s.difficulty, st.bytes, r.bytes"
        " FROM sessions s JOIN stages st ON st.hash = s.stage JOIN replays r ON r.hash = s.replay"
        " WHERE s.status = 'pending' ORDER BY s.submitted_at, s.id LIMIT 1 FOR UPDATE OF s SKIP LOCKED");
    if (job.empty()) {
        w.commit();
        return job_outcome::none_pending;
    }
    const pqxx::row j = job[0];
    const auto session = j[0].as<std::int64_t>();
    const auto player = j[1].as<std::int64_t>();
    session_files files;
    files.stage_hash = j[2].as<std::string>();
    for (const pqxx::row& r : w.exec_params("SELECT run, hits, score, ratio, updates FROM runs WHERE session = $1 ORDER BY run", session)) {
        claimed_run cr;
        cr.run = r[0].as<std::int32_t>();
        cr.hits = r[1].as<std::int32_t>();
        cr.score = r[2].as<std::int32_t>();
        cr.ratio = r[3].as<double>();
        cr.updates = static_cast<std::uint32_t>(r[4].as<std::int64_t>());
        files.claimed.push_back(cr);
    }
    scratch_files scratch;
    files.stage_path = scratch.stage();
    files.replay_path = scratch.replay();
    if (!write_whole(files.stage_path, pqxx::binarystring(j[5]).str()) ||
        !write_whole(files.replay_path, pqxx::binarystring(j[6]).str())) {
        std::fprintf(stderr, "velmora_server: worker: cannot write the files of session %lld to play it again\n",
                     static_cast<long long>(session));
        return job_outcome::left_pending;
    }
    const verdict v = verify_session(o.verifier, files, o.limits);
    if (v.outcome == verdict::kind::retry) {
        std::fprintf(stderr, "velmora_server: worker: session %lld left pending: %s\n", static_cast<long long>(session),
                     v.reason.c_str());
        return job_outcome::left_pending;
    }
    const bool verified = v.outcome == verdict::kind::verified;
    w.exec_params("UPDATE sessions SET status = $2, reason = $3, verified_at = now() WHERE id = $1", session,
                  verified ? "verified" : "rejected", v.reason);
    if (verified) {
        // One best per player and board: the session's runs and the kept
        // best, ordered by the game's best-run order, the first kept.
        record_best(w, session, files.stage_hash, j[3].as<std::string>(), j[4].as<std::string>(), player);
    }
    w.commit();
    return verified ? job_outcome::verified : job_outcome::rejected;
}

void run_worker(const worker_options& o, const std::atomic<bool>& stop) {
    std::chrono::milliseconds back_off{100};
    while (!stop) {
        std::unique_ptr<pqxx::connection> c;
        try {
            c = open_connection(o.url);
            back_off = std::chrono::milliseconds{100};
            while (!stop) {
                const job_outcome r = verify_next(*c, o);
                if (r == job_outcome::none_pending) sleep_unless_stopped(o.idle_wait, stop);
                if (r == job_outcome::left_pending) sleep_unless_stopped(std::chrono::seconds(2), stop);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora_server: worker: %s; trying again in %lld ms\n", e.what(),
                         static_cast<long long>(back_off.count()));
            sleep_unless_stopped(back_off, stop);
            back_off = std::min(back_off * 2, std::chrono::milliseconds{4000});
        }
    }
}

}  // namespace server
