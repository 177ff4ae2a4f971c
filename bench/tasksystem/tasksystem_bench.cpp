// Cost of the per-frame walk and of spawning and killing, on schedulers shaped
// like the game's (14 types each, five pools of 1024) with bodies that do nothing.
#include <benchmark/benchmark.h>

#include "vaz/tasksystem/taskmain.hpp"

using vaz::tasksystem::sst::line;
using vaz::tasksystem::sst::task;

namespace {

template <int I, int Size>
struct idle_type {
    unsigned char payload[Size];
    idle_type() {}
    static const vaz::tasksystem::body_fn body;
};
template <int I, int Size>
const vaz::tasksystem::body_fn idle_type<I, Size>::body = &vaz::tasksystem::idle;

using update_shape = line<
    task<idle_type<0, 12>, 1024>, task<idle_type<1, 24>, 1024>, task<idle_type<2, 16>, 1024>,
    task<idle_type<3, 28>, 1>, task<idle_type<4, 12>, 2>, task<idle_type<5, 20>, 1024>,
    task<idle_type<6, 24>, 1024>, task<idle_type<7, 1>, 1>, task<idle_type<8, 4>, 1>,
    task<idle_type<9, 1>, 1>, task<idle_type<10, 12>, 1>, task<idle_type<11, 4>, 1>,
    task<idle_type<12, 4>, 1>, task<idle_type<13, 4>, 1>>;
using draw_shape = line<
    task<idle_type<20, 1>, 1>, task<idle_type<21, 1>, 1>, task<idle_type<22, 1>, 1>,
    task<idle_type<23, 1>, 1>, task<idle_type<24, 1>, 1>, task<idle_type<25, 1>, 1>,
    task<idle_type<26, 1>, 1>, task<idle_type<27, 1>, 1>, task<idle_type<28, 1>, 1>,
    task<idle_type<29, 1>, 1>, task<idle_type<30, 1>, 1>, task<idle_type<31, 1>, 1>,
    task<idle_type<32, 1>, 1>, task<idle_type<33, 1>, 1>>;

template <class Scheduler, class T>
void fill(Scheduler& s) {
    while (s.template spawn<T>() != nullptr) {
    }
}

void BM_RunBothSchedulersFullPools(benchmark::State& state) {
    vaz::tasksystem::taskmain<update_shape> updates;
    vaz::tasksystem::taskmain<draw_shape> draws;
    fill<decltype(updates), idle_type<0, 12>>(updates);
    fill<decltype(updates), idle_type<1, 24>>(updates);
    fill<decltype(updates), idle_type<2, 16>>(updates);
    fill<decltype(updates), idle_type<5, 20>>(updates);
    fill<decltype(updates), idle_type<6, 24>>(updates);
    fill<decltype(draws), idle_type<20, 1>>(draws);
    for (auto _ : state) {
        updates.run();
        draws.run();
        benchmark::ClobberMemory();
    }
    state.counters["bodies_per_frame"] = 5 * 1024 + 2 * 14 + 2 * 14 + 1;
}
BENCHMARK(BM_RunBothSchedulersFullPools);

void BM_SpawnKillPair(benchmark::State& state) {
    vaz::tasksystem::taskmain<update_shape> updates;
    using bullet = idle_type<1, 24>;
    for (int i = 0; i < 512; ++i) updates.spawn<bullet>();
    for (auto _ : state) {
        auto* n = updates.spawn<bullet>();
        benchmark::DoNotOptimize(n);
        updates.kill<bullet>(n);
    }
}
BENCHMARK(BM_SpawnKillPair);

}  // namespace

BENCHMARK_MAIN();
