// The headless re-play on arbitrary bytes: two bytes give the stage's length,
// the stage follows, then the replay. So that the bytes reach the game's
// update walk rather than the replay's checks, a replay long enough to hold a
// header is made to name the stage and its checksum is set to match. Besides
// the sanitizers it checks that a verdict always has its reason, and that a
// second re-play of the same bytes gives the same answer: each starts from a
// fresh game, whatever the one before left.
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "replaycheck/replay_check.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "replay check: %s\n", what);
        std::abort();
    }
}

void put_le(std::uint8_t* at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Each input plays at most this many updates, a few minutes of play.
constexpr std::uint32_t max_updates = 20000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t stage_size = std::min<std::size_t>(data[0] | (std::size_t{data[1]} << 8), size - 2);
    const std::uint8_t* stage = data + 2;
    std::vector<std::uint8_t> replay(stage + stage_size, data + size);
    if (replay.size() >= results::replay_header_size + results::replay_checksum_size) {
        const vaz::hash_128 hash = vaz::hash_bytes(stage, stage_size);
        put_le(replay.data() + 16, hash.low, 8);
        put_le(replay.data() + 24, hash.high, 8);
        const std::size_t checked = replay.size() - results::replay_checksum_size;
        put_le(replay.data() + checked, XXH3_64bits(replay.data(), checked), 8);
    }

    const replaycheck::check_result first =
        replaycheck::check_replay(stage, stage_size, replay.data(), replay.size(), max_updates);
    require(first.verified == first.reason.empty(), "a verdict without its reason, or a reason for a verified replay");
    require(first.updates <= max_updates, "more updates played than allowed");
    const replaycheck::check_result again =
        replaycheck::check_replay(stage, stage_size, replay.data(), replay.size(), max_updates);
    require(again.verified == first.verified && again.reason == first.reason && again.updates == first.updates &&
                again.bombs == first.bombs && again.runs.size() == first.runs.size(),
            "a second re-play of the same bytes went otherwise");
    for (std::size_t i = 0; i < first.runs.size(); ++i) {
        const results::run_summary& a = first.runs[i];
        const results::run_summary& b = again.runs[i];
        require(a.start_update == b.start_update && a.result_update == b.result_update &&
                    a.end_update == b.end_update && a.hits == b.hits && a.score == b.score,
                "a second re-play of the same bytes counted a run otherwise");
    }
    return 0;
}
