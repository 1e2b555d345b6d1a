// The server-wide budget: the bytes queued for, or sealed and not yet
// written to, every session together, each recipient's copy counted. Only
// outboxes charge and discharge it (Outbox); readers look at it to decide
// whether a feeder must wait. Any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace sotto {

class Budget {
 public:
  explicit Budget(std::uint64_t max) : max_(max) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  void charge(std::uint64_t bytes) { used_.fetch_add(bytes, std::memory_order_relaxed); }
  void discharge(std::uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
  std::uint64_t used() const { return used_.load(std::memory_order_relaxed); }
  std::uint64_t max() const { return max_; }
  bool over() const { return used() > max_; }
  // Whether over, just seen by a reader, differs from what the last one saw;
  // so that a pause in reading is logged once when it begins and once when
  // it ends.
  bool turned(bool over) {
    return overSeen_.load(std::memory_order_relaxed) != over && overSeen_.exchange(over) != over;
  }

 private:
  const std::uint64_t max_;
  std::atomic<std::uint64_t> used_{0};
  std::atomic<bool> overSeen_{false};
};

}  // namespace sotto
