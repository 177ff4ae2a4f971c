// What knowing a copy costs a submission: the near-copy comparison of one
// run against the stored runs of its stage, and taking the play out of a
// long session.
#include <benchmark/benchmark.h>

#include <random>

#include "server/plays.hpp"

namespace {

// `count` changes of random keys, 2 to 9 updates apart, each key pressed
// and released in turn.
std::vector<server::key_change> random_changes(unsigned seed, std::size_t count) {
    std::mt19937 random(seed);
    std::vector<server::key_change> out;
    std::uint32_t at = 0, down = 0;
    for (std::size_t i = 0; i < count; ++i) {
        at += 2 + random() % 8;
        const auto key = static_cast<std::uint8_t>(random() % results::replay_key_count);
        down ^= 1u << key;
        out.push_back({at, key, (down >> key & 1u) != 0});
    }
    return out;
}

// One run of 500 changes against state.range(0) stored runs of 500, none a
// copy, so every one is read whole: as each submission's check on a busy stage.
void near_copy_check(benchmark::State& state) {
    const server::change_matcher run(random_changes(1, 500));
    std::vector<std::string> stored;
    for (int i = 0; i < state.range(0); ++i) stored.push_back(server::encode_changes(random_changes(100 + i, 500)));
    for (auto _ : state) {
        std::size_t copies = 0;
        for (const std::string& s : stored) copies += run.near_copy(s, 500);
        benchmark::DoNotOptimize(copies);
        if (copies != 0) state.SkipWithError("a random run taken for a copy");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(near_copy_check)->Arg(1000)->Unit(benchmark::kMicrosecond);

// A two-hour session (432,000 updates) with a key change every 4 updates.
void play_of_long_session(benchmark::State& state) {
    results::replay r;
    std::uint32_t keys = 0;
    for (std::uint32_t u = 0; u < 432000; ++u) {
        if (u % 4 == 0) keys ^= 1u << (u / 4 % results::replay_key_count);
        results::append_update(r, keys);
    }
    r.finished_runs.push_back({0, 431000, 432000, 0, 0});
    for (auto _ : state) benchmark::DoNotOptimize(server::play_of(r));
}
BENCHMARK(play_of_long_session)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
