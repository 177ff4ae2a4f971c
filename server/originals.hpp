#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <pqxx/pqxx>

#include "server/submission.hpp"

// Whose a submitted play is, and the labels its stage is kept under: the
// checks a submission passes inside the transaction that stores it.
namespace server {

struct play_verdict {
    std::optional<refusal> refused;  // copied_run or label_mismatch
    std::int64_t original = 0;       // copied_run: the session copied
    std::int64_t session = 0;        // the player's own session of this same play
    std::string status;              // that session's
};

// Takes the stage's lock, held to the transaction's end, so two copies sent
// at once are judged one after the other; then refuses labels other than
// the stage's first, a play another player's session holds (the whole
// session, or any run exactly), and a near copy of another player's
// verified run on the board. A play the player already sent gives its session.
play_verdict check_play(pqxx::work& w, std::int64_t player, const submission& s);

// Keeps the play of a session just stored, and its stage's labels when it
// had none yet.
void keep_play(pqxx::work& w, std::int64_t session, const submission& s);

}  // namespace server
