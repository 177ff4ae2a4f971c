// Changes a recorded replay the way a cheat would, keeping its format whole
// (the checksum made to fit again), for the server's end-to-end case:
//   replay_edit IN OUT score RUN DELTA   a finished run's claimed score
//   replay_edit IN OUT keys RUN          the key word held in the middle of a finished run
#include <cstdio>
#include <cstdlib>
#include <string>

#include "results/replay_file.hpp"

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: replay_edit IN OUT score RUN DELTA | keys RUN\n");
        return 2;
    }
    results::replay r;
    const results::replay_read_result read = results::read_replay_file(argv[1], r);
    if (read.status != results::replay_status::ok) {
        std::fprintf(stderr, "%s\n", results::describe_replay_failure(argv[1], read).c_str());
        return 1;
    }
    const std::string what = argv[3];
    const std::size_t run = std::strtoul(argv[4], nullptr, 10);
    if (run < 1 || run > r.finished_runs.size()) return 1;
    results::run_summary& s = r.finished_runs[run - 1];
    if (what == "score" && argc >= 6) {
        s.score += std::atoi(argv[5]);
    } else if (what == "keys") {
        // The key run holding the update halfway through the run's play.
        const std::uint32_t middle = s.start_update + (s.result_update - s.start_update) / 2;
        std::uint32_t at = 0;
        std::size_t i = 0;
        while (i < r.runs.size() && at + r.runs[i].length <= middle) at += r.runs[i++].length;
        if (i == r.runs.size()) return 1;
        // Left held (now and before) on top of what was held, unlike either neighbour.
        for (std::uint32_t bit : {5u, 6u, 7u, 8u}) {
            const std::uint32_t keys = r.runs[i].keys ^ (1u << bit) ^ (1u << (bit + results::replay_key_count));
            const bool same_as_before = i > 0 && r.runs[i - 1].keys == keys;
            const bool same_as_after = i + 1 < r.runs.size() && r.runs[i + 1].keys == keys;
            if (!same_as_before && !same_as_after) {
                r.runs[i].keys = keys;
                break;
            }
        }
    } else {
        return 2;
    }
    const std::string error = results::write_replay_file(argv[2], r);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
