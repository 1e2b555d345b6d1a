// One identity's fair share of the relay: a token bucket in bytes and one in
// packets, shared by the identity's sessions on every shard of this server.
// A sender past its share is not cut off: its sessions stop reading their
// sockets until the buckets have refilled, so that its TCP window closes and
// its burst reaches the other clients no faster than the share.
//
// Any thread: the readers of the identity's sessions, each on its shard,
// take from it under its lock; the front thread makes it at sign-in.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>

#include "server/options.hpp"

namespace sotto {

class FairShare {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FairShare(const Limits& limits);
  FairShare(const FairShare&) = delete;
  FairShare& operator=(const FairShare&) = delete;

  // Whether the limits bound anything: a rate of 0 lifts its bucket.
  static bool bounds(const Limits& limits);

  // How long the sender must wait before more of it is read; zero when it
  // may go on.
  Clock::duration wait(Clock::time_point now);
  // Takes one packet of bytes. A bucket may go below empty, so that a packet
  // larger than the burst still passes; the sender then waits for it.
  void take(std::size_t bytes, Clock::time_point now);
  // True once per episode of waits: the first time it is asked while the
  // sender waits, until both buckets have filled up again.
  bool beginEpisode();
  // Whether both buckets are full: nothing is lost by forgetting it.
  bool full(Clock::time_point now);

 private:
  struct Bucket {
    double level;  // what may be taken now; below 0, what is owed
    double rate;   // refill per second; 0: no bound
    double burst;  // the most it holds
  };
  // Under mutex_.
  void refill(Clock::time_point now);

  std::mutex mutex_;
  Bucket bytes_;
  Bucket packets_;
  Clock::time_point last_;
  bool slowed_ = false;
};

}  // namespace sotto
