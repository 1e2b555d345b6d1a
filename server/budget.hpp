// The server-wide budget: the bytes queued for, or sealed and not yet
// written to, every session together, each recipient's copy counted, and the
// bytes read of frames not yet whole. Only outboxes (Outbox) and held
// charges (BudgetCharge) charge and discharge it; readers look at it to
// decide whether a feeder must wait. Any thread.
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

// Bytes held outside any outbox, charged for as long as they are held: set()
// to what is held now; all of it goes back when the charge goes.
class BudgetCharge {
 public:
  explicit BudgetCharge(Budget& budget) : budget_(budget) {}
  ~BudgetCharge() { set(0); }
  BudgetCharge(const BudgetCharge&) = delete;
  BudgetCharge& operator=(const BudgetCharge&) = delete;

  // Called on every read: a read that changes nothing leaves the shared
  // count alone.
  void set(std::uint64_t bytes) {
    if (bytes > held_) budget_.charge(bytes - held_);
    else if (bytes < held_) budget_.discharge(held_ - bytes);
    held_ = bytes;
  }

 private:
  Budget& budget_;
  std::uint64_t held_ = 0;
};

}  // namespace sotto
