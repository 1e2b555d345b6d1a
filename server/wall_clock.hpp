// The time the history stamps on messages, departures and its own writes.
#pragma once

#include <time.h>

#include <cstdint>

namespace sotto {

// Milliseconds since the epoch, from the coarse clock: the relay reads it for
// every message at full rate, where it costs a fraction of the precise one,
// and its few milliseconds matter to none of its uses (times shown to the
// minute, searched with a minute's margin). Never goes back between calls
// except when the system's clock is set back.
inline std::int64_t wallMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace sotto
