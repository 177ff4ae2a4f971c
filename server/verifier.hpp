#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server/submission.hpp"

// Plays a session again in a child process (the verifier program, which
// runs the game's own update code headless) under a CPU-time, memory and
// wall-clock limit, and compares what it finds with what the replay claims.
namespace server {

struct verify_limits {
    int cpu_seconds = 30;
    int wall_seconds = 60;
    std::uint64_t memory_bytes = 1ull << 30;  // address space; not applied under AddressSanitizer
    std::uint32_t max_updates = limits{}.session_updates;
};

struct verdict {
    enum class kind { verified, rejected, retry };  // retry: the verifier could not be run; the job stays pending
    kind outcome = kind::retry;
    std::string reason;
};

struct session_files {
    std::string stage_path;
    std::string replay_path;
    std::string stage_hash;  // 32 hex digits the re-play must report
    std::vector<claimed_run> claimed;
};

// Judges the verifier's exit and output against the claim; pure, so the
// rules are tested without a child process.
verdict judge(int exit_status, int signal, bool timed_out, const std::string& output, const session_files& s);

verdict verify_session(const std::string& verifier, const session_files& s, const verify_limits& lim);

}  // namespace server
