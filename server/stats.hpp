// What the relay counts for its operator. Each thread that counts (every
// shard, and the front thread for the refusals) keeps its own Counters,
// written by that thread alone; whoever reads sums them into one Stats.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sotto {

// One count each; a new one is a new line here, and summing, reading and
// listing them take it up by themselves.
enum class Count : std::size_t {
  sessions,        // signed in now
  helloPending,    // connections owing their hello now
  signIns,         // sessions begun since the start, registrations included
  packetsIn,       // opened from clients
  bytesIn,         // read from clients' sockets
  packetsOut,      // sealed for clients
  bytesOut,        // written to clients' sockets
  slowReadersCut,  // sessions ended because their client read too slowly
  budgetPauses,    // times a reader was held back while the budget was spent
  historyUnkept,   // relayed, but not kept: the store was too far behind
  catchUps,        // sign-ins given what they missed
  sendersSlowed,   // times an identity was read slower for passing its fair share
  unfinishedFramesEnded,  // sessions ended for a frame not whole in time
  payloadsRefused,        // packets over the payload limit, dropped and answered
  onwardPauses,    // times a reader was held back while the cluster's bus was pressed
  directsToNobody,  // Directs not sent onward: the registry said no such identity
  // The cluster's bus.
  busRecordsPublished,  // records sealed and put on the bus, each counted once
  busRecordsResent,     // records sent again: not back in time, or the bus came back
  busPacketsDropped,    // packets for the other instances dropped while the backlog was full
  busRecordsRefused,    // records from the bus that do not open with the cluster's key
  busRecordsReplayed,   // sealed records played again from before this instance joined
  busBacklogBytes,      // held for the bus now: relayed here and not yet read back
  // Connections turned away before their session began, by reason.
  refusedNoHello,          // closed, timed out or pushed out before their hello
  refusedEvicted,          // pushed out after their hello, still without a session
  refusedBadHello,         // a hello or key that does not open or verify
  refusedReplayed,         // a hello already seen for its identity
  refusedUnknownIdentity,  // not registered, and no proof of work
  refusedRegistryFailed,   // the registry could not answer
  refusedRegistryLate,     // the registry did not answer in time
  refusedByState,          // revoked, or not allowed while registration is closed
  refusedServerFull,       // at the bound on sessions
  refusedIdentityFull,     // at the bound on one identity's sessions
  refusedOther,            // shutting down, gone before the answer, or the hand-over failed
  end_
};
inline constexpr std::size_t kCounts = static_cast<std::size_t>(Count::end_);

// Plain numbers, summed over every thread that counts.
struct Stats {
  std::array<std::uint64_t, kCounts> values{};

  std::uint64_t operator[](Count c) const { return values[static_cast<std::size_t>(c)]; }
  Stats& operator+=(const Stats& other) {
    for (std::size_t i = 0; i < kCounts; ++i) values[i] += other.values[i];
    return *this;
  }
};

// One thread's counts. Only the owning thread adds, with a plain load and
// store (no locked instruction, no cache line shared with another writer);
// the atomics only let a reader on another thread see whole values.
class alignas(64) Counters {
 public:
  void add(Count c, std::uint64_t n = 1) {
    auto& value = values_[static_cast<std::size_t>(c)];
    value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  void subtract(Count c, std::uint64_t n = 1) {
    auto& value = values_[static_cast<std::size_t>(c)];
    value.store(value.load(std::memory_order_relaxed) - n, std::memory_order_relaxed);
  }
  // Any thread.
  Stats read() const {
    Stats stats;
    for (std::size_t i = 0; i < kCounts; ++i) stats.values[i] = values_[i].load(std::memory_order_relaxed);
    return stats;
  }

 private:
  std::array<std::atomic<std::uint64_t>, kCounts> values_{};
};

}  // namespace sotto
