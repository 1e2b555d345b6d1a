#include "server/fair_share.hpp"

#include <algorithm>

namespace sotto {

FairShare::FairShare(const Limits& limits)
    : bytes_{static_cast<double>(limits.senderBurstBytes), static_cast<double>(limits.senderBytesPerSecond),
             static_cast<double>(limits.senderBurstBytes)},
      packets_{static_cast<double>(limits.senderBurstPackets), static_cast<double>(limits.senderPacketsPerSecond),
               static_cast<double>(limits.senderBurstPackets)},
      last_(Clock::now()) {}

bool FairShare::bounds(const Limits& limits) {
  return limits.senderBytesPerSecond > 0 || limits.senderPacketsPerSecond > 0;
}

void FairShare::refill(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - last_).count();
  if (seconds <= 0) return;
  last_ = now;
  for (Bucket* bucket : {&bytes_, &packets_})
    if (bucket->rate > 0) bucket->level = std::min(bucket->burst, bucket->level + seconds * bucket->rate);
  if (bytes_.level >= bytes_.burst && packets_.level >= packets_.burst) slowed_ = false;
}

FairShare::Clock::duration FairShare::wait(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  refill(now);
  double seconds = 0;
  for (const Bucket* bucket : {&bytes_, &packets_})
    if (bucket->rate > 0 && bucket->level < 0) seconds = std::max(seconds, -bucket->level / bucket->rate);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void FairShare::take(std::size_t bytes, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  refill(now);
  if (bytes_.rate > 0) bytes_.level -= static_cast<double>(bytes);
  if (packets_.rate > 0) packets_.level -= 1;
}

bool FairShare::beginEpisode() {
  std::lock_guard lock(mutex_);
  if (slowed_) return false;
  slowed_ = true;
  return true;
}

bool FairShare::full(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  refill(now);
  return (bytes_.rate == 0 || bytes_.level >= bytes_.burst) && (packets_.rate == 0 || packets_.level >= packets_.burst);
}

}  // namespace sotto
