#pragma once
#include <atomic>
#include <chrono>
#include <string>

#include <pqxx/pqxx>

#include "server/verifier.hpp"

// Verification jobs are the pending sessions. A worker claims the first due
// (by next_attempt_at, then submission) with FOR UPDATE SKIP LOCKED and
// holds that transaction while the session is played again, then writes the
// verdict (and the player's best) in it; a worker that dies mid-job rolls
// back and the job is the next one's. A re-play that fails without judging
// the replay is tried again later, a few times; a worker that cannot run
// re-plays at all leaves the job untouched and pauses.
namespace server {

struct worker_options {
    std::string url;
    std::string verifier;  // the verifier program
    verify_limits limits;
    std::chrono::milliseconds idle_wait{200};  // between looks while nothing is pending
    int attempts = 4;                          // re-plays that may fail before a session is unverified
    std::chrono::milliseconds retry_after{2000};  // after the first failed one; four times as long after each next
};

enum class job_outcome { none_pending, verified, rejected, left_pending, unverified, worker_fault };

// Claims one pending session and judges it in one transaction. On a
// worker_fault nothing is changed and why names the session.
job_outcome verify_next(pqxx::connection& c, const worker_options& o, std::string& why);

// Verifies jobs until stop is set, reconnecting with back-off while the
// database is away.
void run_worker(const worker_options& o, const std::atomic<bool>& stop);

}  // namespace server
