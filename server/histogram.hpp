// How long something took, as a distribution for the operator: a count per
// upper bound, and the sum and number of all observations. Like Counters
// (server/stats.hpp), each thread that observes keeps its own, written by
// that thread alone; whoever reads sums them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sotto {

// Upper bounds in seconds, from a tenth of a millisecond (a fan-out on an
// idle machine) to ten seconds (a database that hangs).
inline constexpr std::array<double, 14> kDurationBounds{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                        0.025,  0.05,    0.1,    0.25,  0.5,    1,     10};

// Plain numbers: per bound, how many took at most that long (and more than
// the bound before; the last counts those above every bound).
struct Durations {
  std::array<std::uint64_t, kDurationBounds.size() + 1> buckets{};
  std::uint64_t sumNanoseconds = 0;

  std::uint64_t count() const {
    std::uint64_t n = 0;
    for (const std::uint64_t b : buckets) n += b;
    return n;
  }
  Durations& operator+=(const Durations& other) {
    for (std::size_t i = 0; i < buckets.size(); ++i) buckets[i] += other.buckets[i];
    sumNanoseconds += other.sumNanoseconds;
    return *this;
  }
};

class alignas(64) DurationCounters {
 public:
  // The owning thread only.
  void observe(std::chrono::nanoseconds took) {
    const double seconds = std::chrono::duration<double>(took).count();
    std::size_t i = 0;
    while (i < kDurationBounds.size() && seconds > kDurationBounds[i]) ++i;
    bump(buckets_[i], 1);
    bump(sum_, static_cast<std::uint64_t>(took.count() > 0 ? took.count() : 0));
  }
  // Any thread.
  Durations read() const {
    Durations d;
    for (std::size_t i = 0; i < d.buckets.size(); ++i) d.buckets[i] = buckets_[i].load(std::memory_order_relaxed);
    d.sumNanoseconds = sum_.load(std::memory_order_relaxed);
    return d;
  }

 private:
  static void bump(std::atomic<std::uint64_t>& value, std::uint64_t n) {
    value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  std::array<std::atomic<std::uint64_t>, kDurationBounds.size() + 1> buckets_{};
  std::atomic<std::uint64_t> sum_{0};
};

}  // namespace sotto
