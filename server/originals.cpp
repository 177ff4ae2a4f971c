#include "server/originals.hpp"

#include <algorithm>
#include <limits>
#include <optional>

#include "server/statements.hpp"

namespace server {
namespace {

// Two 32-bit keys, apart from the schema's class and the one-key locks per player.
constexpr int lock_class_stage = 0x76636f70;  // "vcop"

refusal copied(std::size_t run, std::int64_t original, const char* how) {
    return {409, "copied_run",
            "run " + std::to_string(run) + " " + how + " a run of session " + std::to_string(original) +
                ", another player's; it counts only for them"};
}

// An array literal of quoted elements (hex digits only, never quotes);
// with only_owned, NULL in place of a run that is no one's.
template <class F>
std::string array_of(const submission& s, F element, bool only_owned = false) {
    std::string out = "{";
    for (const run_play& c : s.play.runs) {
        if (out.size() > 1) out += ",";
        out += only_owned && !owned(c) ? "NULL" : "\"" + element(c) + "\"";
    }
    return out + "}";
}

bool any_owned(const submission& s) {
    return std::any_of(s.play.runs.begin(), s.play.runs.end(), [](const run_play& c) { return owned(c); });
}

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xf]);
    }
    return out;
}

}  // namespace

play_verdict check_play(pqxx::work& w, std::int64_t player, const submission& s) {
    play_verdict v;
    run(w, sql::stage_lock, lock_class_stage, s.stage_hash);

    const pqxx::row look = run1(w, sql::play_look,
        s.stage_hash, any_owned(s) ? s.play.hash : std::string(), array_of(s, [](const run_play& c) { return c.hash; }, true),
        player);
    v.labels_known = !look[0].is_null();
    v.unlinked = look[7].as<bool>();
    if (!look[0].is_null()) {
        const std::string edition = look[0].as<std::string>(), difficulty = look[1].as<std::string>();
        if (edition != s.edition || difficulty != s.difficulty) {
            v.refused = refusal{422, "label_mismatch",
                                "the stage was first sent as " + edition + "/" + difficulty + ", not " + s.edition + "/" +
                                    s.difficulty};
            return v;
        }
    }
    if (!look[2].is_null()) {
        const auto id = look[2].as<std::int64_t>();
        if (look[3].as<std::int64_t>() == player) {
            v.session = id;
            v.status = look[4].as<std::string>();
        } else {
            v.original = id;
            v.refused = refusal{409, "copied_run",
                                "the session plays as session " + std::to_string(id) +
                                    " did, another player's; it counts only for them"};
        }
        return v;
    }
    if (!look[5].is_null()) {
        const std::string play = look[6].as<std::string>();
        std::size_t run = 0;
        while (run < s.play.runs.size() && s.play.runs[run].hash != play) ++run;
        v.original = look[5].as<std::int64_t>();
        v.refused = copied(run + 1, v.original, "plays as");
        return v;
    }

    // Near copies: candidates whose change counts let one of the runs match them.
    std::size_t fewest = std::numeric_limits<std::size_t>::max(), most = 0;
    for (const run_play& c : s.play.runs)
        if (c.changes.size() >= near_copy_min_changes) {
            fewest = std::min(fewest, near_copy_fewest(c.changes.size()));
            most = std::max(most, near_copy_most(c.changes.size()));
        }
    if (most == 0) return v;
    std::vector<change_matcher> matchers;
    for (const run_play& c : s.play.runs) matchers.emplace_back(c.changes);
    const pqxx::result candidates = run(w, sql::near_copies, s.stage_hash, s.edition, s.difficulty, player, static_cast<std::int64_t>(fewest), static_cast<std::int64_t>(most));
    for (const pqxx::row& row : candidates) {
        const std::string changes = pqxx::binarystring(row[2]).str();
        const auto count = row[1].as<std::int64_t>();
        for (std::size_t i = 0; i < matchers.size(); ++i)
            if (matchers[i].near_copy(changes, static_cast<std::size_t>(count))) {
                v.original = row[0].as<std::int64_t>();
                v.refused = copied(i + 1, v.original, "nearly repeats");
                return v;
            }
    }
    return v;
}

play_columns play_columns_of(const submission& s) {
    play_columns c;
    if (any_owned(s)) c.session = s.play.hash;
    c.runs = array_of(s, [](const run_play& r) { return r.hash; }, true);
    c.changes = array_of(s, [](const run_play& r) { return hex_of(encode_changes(r.changes)); });
    c.counts = array_of(s, [](const run_play& r) { return std::to_string(r.changes.size()); });
    return c;
}

void keep_labels(pqxx::work& w, const submission& s) {
    run(w, sql::labels_keep, s.stage_hash, s.edition, s.difficulty);
}

}  // namespace server
