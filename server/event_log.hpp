// One line per connection event: an ISO-8601 UTC timestamp, the peer address,
// then what happened. Lines go to a sink (standard error in the program) and
// each line is handed over whole, so lines never interleave.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace sotto {

using LogSink = std::function<void(const std::string& line)>;

// Hands each line to a thread of the program's that writes it to standard
// error with a single write, so that a log reader that stalls holds up that
// thread alone. Lines that find 256 KiB still waiting are dropped and
// counted, and the count is written once the log drains.
LogSink stderrSink();
// Waits at most `within` for the lines handed over so far to be written:
// at exit, for a log that still moves.
void drainStderr(std::chrono::milliseconds within);

// "2026-12-08T14:57:50.123Z"
std::string utcTimestamp();

class EventLog {
 public:
  explicit EventLog(LogSink sink) : sink_(std::move(sink)) {}
  void event(std::string_view peer, std::string_view what) const;

 private:
  LogSink sink_;
};

}  // namespace sotto
