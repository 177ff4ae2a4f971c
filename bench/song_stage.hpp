#pragma once
// A 3-minute made song and its stage, kept in a folder between runs of the
// benchmarks that re-play runs (VELMORA_REPLAY_BENCH_DIR, else a folder in
// /tmp), made with the built make_song and velmora_bc.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/run_process.hpp"

namespace bench {

constexpr int song_seconds = 180;

inline std::string folder() {
    const char* dir = std::getenv("VELMORA_REPLAY_BENCH_DIR");
    return dir ? dir : "/tmp/velmora_replay_bench";
}

inline bool made(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

inline bool run(const std::vector<std::string>& argv) {
    const process_result r = run_process(argv);
    if (r.status != 0) std::fprintf(stderr, "%s failed: %s%s\n", argv[0].c_str(), r.out.c_str(), r.err.c_str());
    return r.status == 0;
}

// The stage's path for an edition and difficulty, made when missing; "" and
// why when the song or the stage cannot be made.
inline std::string song_stage(const std::string& edition, const std::string& difficulty, std::string& why) {
    const std::string dir = folder();
    ::mkdir(dir.c_str(), 0755);
    const std::string song = dir + "/song.wav";
    const std::string stage = dir + "/" + edition + "-" + difficulty + ".pat";
    if (!made(song) && !run({build_dir() + "/make_song", "--seconds", std::to_string(song_seconds), song})) {
        why = "cannot make the song";
        return {};
    }
    if (!made(stage) && !run({build_dir() + "/velmora_bc", song, stage, "--edition", edition, "--difficulty", difficulty})) {
        why = "cannot make the stage";
        return {};
    }
    return stage;
}

}  // namespace bench
