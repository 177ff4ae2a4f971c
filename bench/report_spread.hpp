#pragma once
// The spread of per-frame times a benchmark kept: its median, 90th and 99th
// percentiles and worst, as counters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

inline void report_spread(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]; };
    state.counters["median_us"] = at(0.5);
    state.counters["p90_us"] = at(0.9);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
}
