#pragma once
#include <atomic>
#include <chrono>
#include <string>

#include <pqxx/pqxx>

#include "server/verifier.hpp"

// Verification jobs are the pending sessions. A worker claims the oldest
// with FOR UPDATE SKIP LOCKED and holds that transaction while the session
// is played again, then writes the verdict (and the player's best) in it;
// a worker that dies mid-job rolls back and the job is the next one's.
namespace server {

struct worker_options {
    std::string url;
    std::string verifier;  // the verifier program
    verify_limits limits;
    std::chrono::milliseconds idle_wait{200};  // between looks while nothing is pending
};

enum class job_outcome { none_pending, verified, rejected, left_pending };

// Claims one pending session and judges it in one transaction.
job_outcome verify_next(pqxx::connection& c, const worker_options& o);

// Verifies jobs until stop is set, reconnecting with back-off while the
// database is away.
void run_worker(const worker_options& o, const std::atomic<bool>& stop);

}  // namespace server
