#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server/submission.hpp"

// Plays a session again in a child process (the verifier program, which
// runs the game's own update code headless) under a CPU-time, memory and
// wall-clock limit, and compares what it finds with what the replay claims.
// The claimed runs are passed to it, so a re-play stops at the first run
// that differs.
namespace server {

struct verify_limits {
    int cpu_seconds = 30;
    int wall_seconds = 60;
    std::uint64_t memory_bytes = 1ull << 30;  // address space; not applied under AddressSanitizer
    std::uint32_t max_updates = limits{}.session_updates;
};

struct verdict {
    // fault: the re-play failed in a way that says nothing of the replay (a
    // crash, a kill from outside, an unreadable scratch file): tried again,
    // never judged. worker_fault: this worker cannot run re-plays at all (the
    // program missing, fork failing); not counted against the session.
    enum class kind { verified, rejected, fault, worker_fault };
    kind outcome = kind::worker_fault;
    std::string reason;
    std::int64_t cpu_ms = 0;  // the re-play's CPU time, user and system
    std::string logic_version{};  // the game logic's version the verifier played by (digits), empty when it said none
};

// How the re-play ended.
struct child_end {
    int exit_status = -1;    // when it exited
    int signal = 0;          // when a signal ended it
    bool timed_out = false;  // killed at the wall-clock limit
    bool cpu_spent = false;  // its CPU time reached the limit (a SIGKILL then is the hard limit's)
    int exec_errno = 0;      // the program could not be started
};

struct session_files {
    std::string stage_path;
    std::string replay_path;
    std::string stage_hash;  // 32 hex digits the re-play must report
    std::vector<claimed_run> claimed;
};

// Judges the verifier's exit and output against the claim; pure, so the
// rules are tested without a child process.
verdict judge(const child_end& end, const std::string& output, const session_files& s);

verdict verify_session(const std::string& verifier, const session_files& s, const verify_limits& lim);

}  // namespace server
