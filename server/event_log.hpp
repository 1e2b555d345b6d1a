// One line per connection event: an ISO-8601 UTC timestamp, the peer address,
// then what happened. Lines go to a sink (standard error in the program) and
// each line is handed over whole, so lines never interleave.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace sotto {

using LogSink = std::function<void(const std::string& line)>;

// Writes each line to standard error with a single write.
LogSink stderrSink();

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
