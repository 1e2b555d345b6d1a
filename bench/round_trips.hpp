// Round trips timed one by one, and the percentiles the benchmarks report.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace bench {

// p50 and p99 of samples, or -1 for both when there are none.
inline void percentiles(std::vector<double> samples, double& p50, double& p99) {
  if (samples.empty()) {
    p50 = p99 = -1;
    return;
  }
  std::sort(samples.begin(), samples.end());
  p50 = samples[samples.size() / 2];
  p99 = samples[static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(samples.size()))) - 1];
}

inline void setPercentiles(benchmark::State& state, const std::vector<double>& microseconds) {
  double p50 = 0, p99 = 0;
  percentiles(microseconds, p50, p99);
  state.counters["p50"] = p50;
  state.counters["p99"] = p99;
}

// Runs warmUp + count round trips per benchmark iteration, each one call of
// once(i), which returns whether it came back whole, and keeps the times of
// the last count of them in microseconds; stops at the first that fails.
template <class Once>
bool timeRoundTrips(benchmark::State& state, int warmUp, int count, std::vector<double>& samples, Once once) {
  for (auto _ : state) {
    for (int i = 0; i < warmUp + count; ++i) {
      const auto start = std::chrono::steady_clock::now();
      if (!once(i)) return false;
      const auto end = std::chrono::steady_clock::now();
      if (i >= warmUp) samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
  }
  return true;
}

}  // namespace bench
