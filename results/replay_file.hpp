#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vaz/files.hpp"

// A replay: what the game needs to play a recorded session again update for
// update. The game is a fixed function of the random seed, the pattern file
// and the keys each update sees, so those are all a replay needs; from
// version 2 on it also says how each finished run of the session went, so
// one file, written whole at every result screen, carries a session's
// results and its replay.
//
// File layout, version 2, every number little-endian:
//
//   offset  size  field
//        0     8  magic "VELMRPLY"
//        8     2  version (2; version 1 files are read too)
//       10     2  reserved, 0
//       12     4  random seed
//       16    16  XXH3-128 of the pattern file's bytes: low 64 bits, high 64 bits
//       32     4  offset in milliseconds (signed)
//       36     4  update count
//       40     4  payload size P in bytes
//       44     P  key runs: per run an update count (at least 1), then a key
//                 word, each as an unsigned LEB128 number in its shortest
//                 form; two neighbouring runs never hold the same word
//     44+P     4  run count N (version 2 only)
//     48+P   20N  per finished run, in order: the updates before its first
//                 (its start key's update included), the updates up to and
//                 including the one that showed its result screen, the same
//                 up to the one that left it (0 while it still shows), then
//                 its hits and score as last shown (signed)
//        end     8  XXH3-64 of every byte before it
//
// A key word holds one bit per key of replay_keys: bit i is that key down as
// the update sees it now, bit replay_key_count + i the same key as it stood
// before (the previous snapshot), so press and release edges replay exactly.
namespace results {

constexpr std::uint16_t replay_version = 2;
constexpr std::size_t replay_header_size = 44;
constexpr std::size_t replay_run_count_size = 4;
constexpr std::size_t replay_run_summary_size = 20;
constexpr std::size_t replay_checksum_size = 8;
// Far beyond a day of play with a key change every update; a longer file is
// not a replay, and nothing larger is ever read into memory.
constexpr std::size_t replay_max_file_size = 64u << 20;

// The keys the game reads (SDL 1.2 key symbols): start a run, steer, bomb,
// leave the result screen. Escape quits through the event queue instead.
constexpr int replay_keys[] = {
    32,   // Space
    122,  // Z
    13,   // Return
    273,  // Up
    274,  // Down
    276,  // Left
    275,  // Right
    97,   // A
    100,  // D
    119,  // W
    115,  // S
};
constexpr int replay_key_count = sizeof replay_keys / sizeof replay_keys[0];
constexpr std::uint32_t replay_key_word_limit = std::uint32_t{1} << (2 * replay_key_count);

using file_hash = vaz::hash_128;

struct key_run {
    std::uint32_t length;  // updates, at least 1
    std::uint32_t keys;    // key word, below replay_key_word_limit
};

// One finished run: its result screen was reached. Updates are counted from
// the session's first.
struct run_summary {
    std::uint32_t start_update = 0;   // updates before the run's first
    std::uint32_t result_update = 0;  // updates up to the result screen's first; after start_update
    std::uint32_t end_update = 0;     // updates up to the one that left the result screen; 0 while it shows
    std::int32_t hits = 0;
    std::int32_t score = 0;
};

// The updates the run was played for, from its first to the result screen.
inline std::uint32_t frames_played(const run_summary& s) { return s.result_update - s.start_update; }

// The ratio the result screen shows beside the hits: score / (hits x 15.0)
// when there are hits, else the score itself; both as unsigned 32-bit, the
// division in double precision, the result rounded to float32.
inline float shown_ratio(std::int32_t hits, std::int32_t score) {
    const auto h = static_cast<std::uint32_t>(hits);
    const auto s = static_cast<std::uint32_t>(score);
    return h != 0 ? static_cast<float>(static_cast<double>(s) / (static_cast<double>(h) * 15.0))
                  : static_cast<float>(s);
}

// The ratio as the screen writes it: the whole part (as the screen's ten
// digits hold it, without the leading zeros), a point and two truncated
// hundredths.
std::string ratio_text(float ratio);

struct replay {
    std::uint16_t version = replay_version;  // the format read; 1 holds no run summaries
    std::uint32_t seed = 0;
    file_hash pattern;
    std::int32_t offset_ms = 0;
    std::uint32_t update_count = 0;  // the sum of the runs' lengths
    std::vector<key_run> runs;
    std::vector<run_summary> finished_runs;
};

// Keeps the session up to the end of finished run `run` (its result screen
// left) and that run's and earlier runs' summaries: a replay of the file
// then stops there. False, and nothing changed, when that run has not ended
// or does not exist.
bool cut_after_run(replay& r, std::size_t run);

// Adds one update with this key word, extending the last run when it matches.
// False, and nothing added, when the replay already holds 2^32-1 updates.
bool append_update(replay& r, std::uint32_t keys);

// Walks a replay's updates in order.
class replay_cursor {
public:
    explicit replay_cursor(const replay& r) : replay_(r) {}
    // The next update's key word; false after the last update.
    bool next(std::uint32_t& keys);
    bool at_end() const;

private:
    const replay& replay_;
    std::size_t run_ = 0;
    std::uint32_t used_ = 0;  // updates taken from runs_[run_]
};

// In r.version's layout; a version 1 replay keeps no run summaries.
std::vector<std::uint8_t> encode_replay(const replay& r);

enum class replay_status {
    ok,
    cannot_open,
    read_error,
    too_large,
    empty,
    foreign,
    newer_version,
    truncated,
    damaged,
};

struct replay_read_result {
    replay_status status = replay_status::ok;
    std::string detail;  // the system's reason or what exactly is damaged
};

// Checks everything before it hands out a replay: out is only written on ok.
replay_read_result decode_replay(const std::uint8_t* bytes, std::size_t size, replay& out);
replay_read_result read_replay_file(const std::string& path, replay& out);

// One line for a failed read, naming the file as given; empty for ok.
std::string describe_replay_failure(const std::string& path, const replay_read_result& r);

// Writes to a temporary file in the same folder and renames it over path, so
// an earlier file stays whole until the new one is complete. Returns an empty
// string on success, else the reason.
std::string write_replay_file(const std::string& path, const replay& r);

// Whether a replay could be written to path, found out by creating and
// removing a temporary file beside it: empty, else the reason.
std::string check_replay_destination(const std::string& path);

// XXH3-128 of a whole file; on failure returns false and sets error.
using vaz::hash_file;

}  // namespace results
