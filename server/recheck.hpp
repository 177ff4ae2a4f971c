#pragma once
#include <cstdint>
#include <string>

#include <pqxx/pqxx>

#include "server/board_cache.hpp"
#include "server/verifier.hpp"
#include "server/worker.hpp"

// A verified session queued again (velmora_server admin reverify) after the
// game's logic changed, and its new verdict: it costs its player nothing,
// its best stays on the board until the verdict, a session that no longer
// verifies is hidden with the verifier's reason and kept (the player's best
// worked out again without it), one that verifies records the logic version
// that verified it. A re-play that keeps failing without a verdict leaves
// the session as it was, the fault kept.
namespace server {

struct recheck_job {
    std::int64_t session = 0;
    std::int64_t player = 0;
    board_id board;
    int attempts = 0;  // failed re-plays before this one
};

// Writes the verdict in w (the job's transaction) and commits it.
job_outcome settle_recheck(pqxx::work& w, const recheck_job& job, const verdict& v, const worker_options& o);

// The logic version a verifier program plays by, from its --version
// ("logic_version N" on a line of its own); empty with why when it cannot tell.
std::string verifier_logic_version(const std::string& program, std::string& why);

}  // namespace server
