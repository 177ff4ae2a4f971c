#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "results/replay_file.hpp"
#include "vaz/files.hpp"

// The headless re-play: a replay played again on its stage with the game's
// own update walk (gametask/update_walk.hpp), without a window, sound, clock
// or drawing, as fast as the processor goes, and its finished runs compared
// with the ones the replay claims. The game's state is static (task pools,
// keys, the random engine): one re-play at a time in a process. Each starts
// from a fresh game, so re-plays one after another give the same answers.
namespace replaycheck {

// A pattern file larger than this is no stage: 2.8 million events, over ten
// hours of the densest edition.
constexpr std::size_t stage_max_file_size = 32u << 20;
// The updates a re-play may run when nothing else is asked: six hours of play.
constexpr std::uint32_t default_max_updates = 6u * 60 * 60 * 60;

// A finished run as a server claims it: the hits and score of its result
// screen and the updates from its start to that screen.
struct run_claim {
    std::int32_t hits = 0;
    std::int32_t score = 0;
    std::uint32_t updates = 0;
};

struct check_result {
    bool verified = false;
    std::string reason;  // why it was rejected, one line; empty when verified
    vaz::hash_128 stage;  // XXH3-128 of the stage's bytes
    std::uint32_t updates = 0;  // updates played again: fewer than the session's when it stopped early
    std::uint32_t session_updates = 0;  // the replay's updates
    std::uint32_t bombs = 0;    // bombs set off in them
    // Every run the re-play took to its result screen, counted as the game
    // counts them (hits and score as the result screen last showed them).
    std::vector<results::run_summary> runs;
};

// Plays replay (a replay file's bytes) again on stage (a pattern file's
// bytes) and compares every finished run the replay lists: its start, result
// and leave updates, hits and score must all come out as recorded. Rejected
// before anything is played: a stage or replay that does not read whole, a
// replay of another stage (its XXH3-128), one without finished runs, one
// holding more than max_updates updates, claims (when given) not one for each
// listed run. Any bytes are safe. The re-play stops at the first run that
// ends otherwise than listed or claimed, or when the updates pass the update
// a run should have shown its result at, so a forged run costs no more than
// the play up to it. after_update, when given, is called after every update
// the re-play runs (with the session's update count), while the game's state
// stands as that update left it: a ghost is recorded through it.
using update_observer = std::function<void(std::uint32_t update)>;
check_result check_replay(const std::uint8_t* stage, std::size_t stage_size, const std::uint8_t* replay,
                          std::size_t replay_size, std::uint32_t max_updates = default_max_updates,
                          const std::vector<run_claim>& claims = {}, const update_observer& after_update = {});

// A run's ratio as the result screen shows it and the song library keeps it.
inline float run_ratio(const results::run_summary& s) { return results::shown_ratio(s.hits, s.score); }

// A whole regular file of at most max_size bytes.
struct file_bytes {
    enum class status { ok, unreadable, too_large };
    status outcome = status::ok;
    std::string why;  // unreadable: the system's reason
    std::vector<std::uint8_t> bytes;
};

// Never opens a pipe or a device for reading, never reads past max_size + 1 bytes.
file_bytes read_file_bounded(const std::string& path, std::size_t max_size);

}  // namespace replaycheck
