// SPDX-License-Identifier: MIT
#ifndef BENCH_PERCENTILES_H
#define BENCH_PERCENTILES_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

// Reports latency samples (in microseconds) as median, 99th percentile and maximum.
inline void percentiles(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  state.counters["max_us"] = us.back();
  state.counters["samples"] = static_cast<double>(us.size());
}

#endif
