// The headless re-play as a scoreboard's worker runs it, on one core: read
// the stage and the replay from files, play every update again, compare the
// finished run. A 3-minute song's stage on dynamics/normal and on
// standard/hard; the replay is one run steered round a small square (so its
// bullets come back past the ship and it grazes, bombs and sets off chains),
// played once to learn its result and then kept as a finished run's replay.
// The counter x_real_time is how many times faster than the game plays the
// re-play runs (60 updates a second).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "replaycheck/replay_check.hpp"
#include "results/replay_file.hpp"
#include "support/run_process.hpp"

namespace {

constexpr int song_seconds = 180;

std::string folder() {
    const char* dir = std::getenv("VELMORA_REPLAY_BENCH_DIR");
    return dir ? dir : "/tmp/velmora_replay_bench";
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

bool run(const std::vector<std::string>& argv) {
    const process_result r = run_process(argv);
    if (r.status != 0) std::fprintf(stderr, "%s failed: %s%s\n", argv[0].c_str(), r.out.c_str(), r.err.c_str());
    return r.status == 0;
}

// Start on update 10, steer round a square of 12 updates a side (arrows, then
// W A S D), Space every 90 updates: a bomb in play, the result left.
std::vector<std::uint8_t> steered_keys(const vaz::hash_128& stage, std::uint32_t updates) {
    constexpr std::uint32_t space = 1u << 0;
    const std::uint32_t arrows[4] = {1u << 6, 1u << 4, 1u << 5, 1u << 3};  // right, down, left, up
    const std::uint32_t wasd[4] = {1u << 8, 1u << 10, 1u << 7, 1u << 9};
    auto down_at = [&](std::uint32_t u) {
        const std::uint32_t leg = u / 12;
        const std::uint32_t* keys = (leg / 4) % 2 ? wasd : arrows;
        return keys[leg % 4] | (u % 90 == 10 ? space : 0u);
    };
    results::replay r;
    r.seed = 1234;
    r.pattern = stage;
    for (std::uint32_t u = 0; u < updates; ++u) {
        results::append_update(r, down_at(u) | (u > 0 ? down_at(u - 1) << results::replay_key_count : 0u));
    }
    // A placeholder run: the first re-play rejects it and says how the run went.
    r.finished_runs.push_back({0, 1, 0, 0, 0});
    return results::encode_replay(r);
}

struct job_files {
    std::string stage;
    std::string replay;
    std::string error;
};

// The stage and a verified replay of its first run, made once in the folder.
job_files prepare(const std::string& edition, const std::string& difficulty) {
    job_files f;
    const std::string dir = folder();
    ::mkdir(dir.c_str(), 0755);
    const std::string song = dir + "/song.wav";
    f.stage = dir + "/" + edition + "-" + difficulty + ".pat";
    f.replay = dir + "/" + edition + "-" + difficulty + ".vrp";
    if (!exists(song) && !run({build_dir() + "/make_song", "--seconds", std::to_string(song_seconds), song})) {
        f.error = "cannot make the song";
        return f;
    }
    if (!exists(f.stage) && !run({build_dir() + "/velmora_bc", song, f.stage, "--edition", edition, "--difficulty",
                                  difficulty})) {
        f.error = "cannot make the stage";
        return f;
    }
    const replaycheck::file_bytes stage = replaycheck::read_file_bounded(f.stage, replaycheck::stage_max_file_size);
    const vaz::hash_128 hash = vaz::hash_bytes(stage.bytes.data(), stage.bytes.size());
    const std::vector<std::uint8_t> keys = steered_keys(hash, (song_seconds + 60) * 60);
    const replaycheck::check_result first =
        replaycheck::check_replay(stage.bytes.data(), stage.bytes.size(), keys.data(), keys.size());
    if (first.runs.empty() || first.runs[0].end_update == 0) {
        f.error = "the steered keys never finish a run: " + first.reason;
        return f;
    }
    results::replay r;
    results::decode_replay(keys.data(), keys.size(), r);
    r.finished_runs = {first.runs[0]};
    results::cut_after_run(r, 0);
    if (const std::string why = results::write_replay_file(f.replay, r); !why.empty()) f.error = why;
    return f;
}

void BM_ReplayCheck(benchmark::State& state, const std::string& edition, const std::string& difficulty) {
    const job_files files = prepare(edition, difficulty);
    if (!files.error.empty()) {
        state.SkipWithError(files.error.c_str());
        return;
    }
    std::uint32_t updates = 0, hits = 0, score = 0, bombs = 0;
    for (auto _ : state) {
        const replaycheck::file_bytes stage =
            replaycheck::read_file_bounded(files.stage, replaycheck::stage_max_file_size);
        const replaycheck::file_bytes replay =
            replaycheck::read_file_bounded(files.replay, results::replay_max_file_size);
        const replaycheck::check_result r = replaycheck::check_replay(stage.bytes.data(), stage.bytes.size(),
                                                                      replay.bytes.data(), replay.bytes.size());
        if (!r.verified) {
            state.SkipWithError(("not verified: " + r.reason).c_str());
            return;
        }
        updates = r.updates;
        hits = static_cast<std::uint32_t>(r.runs[0].hits);
        score = static_cast<std::uint32_t>(r.runs[0].score);
        bombs = r.bombs;
    }
    state.counters["updates"] = updates;
    state.counters["hits"] = hits;
    state.counters["score"] = score;
    state.counters["bombs"] = bombs;
    state.counters["us_per_update"] = benchmark::Counter(static_cast<double>(updates) * 1e-6,
                                                         benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(updates) / 60.0, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_ReplayCheck, dynamics_normal, std::string("dynamics"), std::string("normal"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayCheck, standard_hard, std::string("standard"), std::string("hard"))
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
