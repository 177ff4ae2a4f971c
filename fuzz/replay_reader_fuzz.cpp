// The replay reader on arbitrary bytes. Besides the sanitizers, it checks the
// reader's promises: a failure always has its message, and an accepted file
// is the one encoding of what was read, so writing it again gives its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "results/replay_file.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "replay reader: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    results::replay r;
    r.seed = 12345;
    const results::replay_read_result result = results::decode_replay(data, size, r);
    const std::string line = results::describe_replay_failure("fuzz.vrp", result);
    require((result.status == results::replay_status::ok) == line.empty(), "a failure without a message");
    if (result.status != results::replay_status::ok) {
        require(r.seed == 12345 && r.runs.empty(), "a refused file changed the replay");
        require(result.status != results::replay_status::cannot_open &&
                    result.status != results::replay_status::read_error &&
                    result.status != results::replay_status::too_large,
                "an impossible status from memory");
        return 0;
    }

    std::uint64_t total = 0;
    for (const results::key_run& run : r.runs) {
        require(run.length > 0, "a run of no updates accepted");
        require(run.keys < results::replay_key_word_limit, "a key word beyond the recorded keys accepted");
        total += run.length;
    }
    require(total == r.update_count, "the runs do not add up to the update count");
    require(r.version == 2 || r.finished_runs.empty(), "a version 1 file with finished runs");
    std::uint32_t earliest = 0;
    for (std::size_t i = 0; i < r.finished_runs.size(); ++i) {
        const results::run_summary& s = r.finished_runs[i];
        require(s.start_update >= earliest && s.start_update < s.result_update && s.result_update <= r.update_count,
                "a finished run outside the session or before an earlier one");
        require(s.end_update == 0 ? i + 1 == r.finished_runs.size()
                                  : s.end_update >= s.result_update && s.end_update <= r.update_count,
                "a finished run that never ended, or ended outside the session");
        earliest = s.end_update;
    }
    const std::vector<std::uint8_t> again = results::encode_replay(r);
    require(again.size() == size && std::memcmp(again.data(), data, size) == 0,
            "an accepted file does not encode back to its bytes");

    results::replay_cursor cursor(r);
    std::uint32_t keys = 0;
    std::uint64_t walked = 0;
    // Long idle runs are cheap to hold; walking billions of updates is not.
    if (r.update_count <= 1000000) {
        while (cursor.next(keys)) ++walked;
        require(walked == r.update_count, "the cursor walks another number of updates");
    }
    return 0;
}
