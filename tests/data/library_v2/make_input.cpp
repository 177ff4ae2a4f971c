// Writes the keys of one run for the game to replay while it records the
// session: some updates on the title, Return to start, a few steering
// presses, then still until `result` updates have passed, Space to leave
// the result screen and a few updates on the title again.
//   make_input PATTERN SEED RESULT_UPDATE OUT
//   make_input --result RECORDING   prints the update its first run's result showed at
#include <cstdio>
#include <cstdlib>
#include <string>

#include "results/replay_file.hpp"

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--result") {
        results::replay recorded;
        const results::replay_read_result read = results::read_replay_file(argv[2], recorded);
        if (read.status != results::replay_status::ok || recorded.finished_runs.empty()) {
            std::fprintf(stderr, "make_input: %s holds no finished run\n", argv[2]);
            return 1;
        }
        std::printf("%u\n", recorded.finished_runs[0].result_update);
        return 0;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: make_input PATTERN SEED RESULT_UPDATE OUT\n");
        return 2;
    }
    results::replay r;
    r.seed = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const long result = std::strtol(argv[3], nullptr, 10);
    std::string error;
    if (!results::hash_file(argv[1], r.pattern, error)) {
        std::fprintf(stderr, "make_input: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    constexpr std::uint32_t space = 1u << 0, enter = 1u << 2, left = 1u << 5, up = 1u << 3;
    constexpr std::uint32_t before = 1u << results::replay_key_count;
    long n = 0;
    auto add = [&](std::uint32_t keys, long updates) {
        for (long i = 0; i < updates; ++i, ++n) results::append_update(r, keys);
    };
    add(0, 10);
    add(enter, 1);
    add(enter | enter * before, 2);
    add(enter * before, 1);
    // The seed also chooses how long the ship is steered.
    const long steer = 20 + static_cast<long>(r.seed % 40);
    add(left, 1);
    add(left | left * before, steer);
    add(left * before | up, 1);
    add(up | up * before, steer / 2);
    add(up * before, 1);
    if (result > n) add(0, result - n);
    add(space, 1);
    add(space * before, 1);
    add(0, 5);
    error = results::write_replay_file(argv[4], r);
    if (!error.empty()) {
        std::fprintf(stderr, "make_input: %s: %s\n", argv[4], error.c_str());
        return 1;
    }
    return 0;
}
