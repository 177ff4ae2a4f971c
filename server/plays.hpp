#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "results/replay_file.hpp"

// What a session played, apart from how its file is written: the server
// knows a run by its stage and the keys of its updates from its start to its
// result screen, so a replay with its seed, offset or checksum made anew is
// still the run it was copied from.
namespace server {

// A run with fewer key changes is no one's: standing still, or a key or two
// held for a while, is a run two players may well play alike to the update
// (two changes each spread over 20 updates meet one time in 400), so it is
// never a copy.
constexpr std::size_t copy_min_changes = 8;
// A run with fewer key changes is judged by its exact play only: too few
// changes say too little to call two runs the same.
constexpr std::size_t near_copy_min_changes = 30;
// Updates a change may be moved by and still be the same change.
constexpr std::uint32_t near_copy_tolerance = 3;

// One press or release: `update` counted from the run's first.
struct key_change {
    std::uint32_t update = 0;
    std::uint8_t key = 0;  // index into results::replay_keys
    bool down = false;
};
inline bool operator==(const key_change& a, const key_change& b) {
    return a.update == b.update && a.key == b.key && a.down == b.down;
}

struct run_play {
    std::string hash;  // 32 hex digits
    std::vector<key_change> changes;  // in update order, then key order
};

inline bool owned(const run_play& r) { return r.changes.size() >= copy_min_changes; }

struct session_play {
    std::string hash;  // over the stage and every finished run's hash and claimed result
    std::vector<run_play> runs;  // per finished run, in order
};

// Reads only what the decoder already checked: finished runs in order,
// within the updates.
session_play play_of(const results::replay& r);

// One unsigned LEB128 number per change: the updates since the previous
// change, times 32, plus the key times 2, plus 1 for a press.
std::string encode_changes(const std::vector<key_change>& changes);
// False on bytes that are no such encoding; out then holds what came before.
bool decode_changes(const std::string& bytes, std::vector<key_change>& out);

// The key change counts a stored run may have to be a near copy of a run
// with n changes: at least 90% of n to match 90% of them, and at most twice
// n, so a run that presses everything everywhere does not cover every later
// run of the stage.
inline std::size_t near_copy_fewest(std::size_t n) { return (9 * n + 9) / 10; }
inline std::size_t near_copy_most(std::size_t n) { return 2 * n; }

// Matches one run's key changes against others', one to one: the same key,
// the same direction, at most `tolerance` updates apart.
class change_matcher {
public:
    explicit change_matcher(const std::vector<key_change>& run, std::uint32_t tolerance = near_copy_tolerance);
    // How many of the run's changes `other` matches (an encoding as
    // encode_changes makes; read up to where it is damaged).
    std::size_t matched(const std::string& other) const;
    std::size_t matched(const std::vector<key_change>& other) const;
    // At least 90% of the run's changes matched; never for a run of fewer
    // than near_copy_min_changes, nor against one outside near_copy_most.
    bool near_copy(const std::string& other, std::size_t other_count) const;

private:
    static constexpr int classes = 2 * results::replay_key_count;
    // Stops once fewer than `need` matches remain possible with `left` changes to read.
    template <class Next>
    std::size_t match(Next next, std::size_t need = 0, std::size_t left = 0) const;

    std::uint32_t tolerance_;
    std::size_t count_;
    std::vector<std::uint32_t> updates_;  // the run's change updates grouped by class, each group in order
    std::array<std::uint32_t, classes + 1> begin_{};
};

}  // namespace server
