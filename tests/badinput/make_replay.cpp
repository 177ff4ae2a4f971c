// Writes a good replay for a pattern file, for the bad-input cases to spoil:
//   badinput_replay PATTERN OUT
// A few title updates with no key down; the seed is fixed.
#include <cstdio>
#include <string>

#include "results/replay_file.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: badinput_replay PATTERN OUT\n");
        return 2;
    }
    results::replay r;
    r.seed = 20261208;
    std::string error;
    if (!results::hash_file(argv[1], r.pattern, error)) {
        std::fprintf(stderr, "badinput_replay: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    for (int i = 0; i < 100; ++i) results::append_update(r, 0);
    error = results::write_replay_file(argv[2], r);
    if (!error.empty()) {
        std::fprintf(stderr, "badinput_replay: %s: %s\n", argv[2], error.c_str());
        return 1;
    }
    return 0;
}
