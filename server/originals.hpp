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
    bool labels_known = false;       // the stage is kept under its labels already
    bool unlinked = false;           // the stage, kept before recordings, could be linked to one
};

// Takes the stage's lock, held to the transaction's end, so two copies sent
// at once are judged one after the other; then refuses labels other than
// the stage's first, a play another player's session holds (the whole
// session, or any run exactly), and a near copy of another player's
// verified run on the board. A play the player already sent gives its session.
play_verdict check_play(pqxx::work& w, std::int64_t player, const submission& s);

// The play as the session's insert takes it: the session's hash (none when
// no run is anyone's) and per run its hash (NULL for no one's), its key
// changes in hex and their count, as array literals.
struct play_columns {
    std::optional<std::string> session;
    std::string runs, changes, counts;
};
play_columns play_columns_of(const submission& s);

// Gives a stage kept before labels were its labels.
void keep_labels(pqxx::work& w, const submission& s);

}  // namespace server
