#include "server/event_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace sotto {

LogSink stderrSink() {
  return [](const std::string& line) {
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(STDERR_FILENO, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // a lost log line must not stop the relay
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  };
}

std::string utcTimestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

void EventLog::event(std::string_view peer, std::string_view what) const {
  std::string line = utcTimestamp();
  line += ' ';
  line += peer;
  line += ' ';
  line += what;
  line += '\n';
  sink_(line);
}

}  // namespace sotto
