#include "server/event_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

namespace sotto {

namespace {

void writeLine(const std::string& line) {
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a lost log line must not stop the writer
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

// "1234567" -> "1,234,567"
std::string withCommas(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The lines on their way to standard error, and the thread that writes
// them. Made once and never destroyed: at exit its thread may still be
// stuck in a write to a log nobody reads.
class StderrQueue {
 public:
  static constexpr std::size_t kMaxWaitingBytes = 256 * 1024;

  static StderrQueue& get() {
    static StderrQueue* queue = new StderrQueue;
    return *queue;
  }
  // Any thread; never waits for the log.
  void push(const std::string& line) {
    {
      std::lock_guard lock(mutex_);
      if (waitingBytes_ + line.size() > kMaxWaitingBytes) {
        ++dropped_;
        return;
      }
      waitingBytes_ += line.size();
      lines_.push_back(line);
    }
    wake_.notify_one();
  }
  void drain(std::chrono::milliseconds within) {
    std::unique_lock lock(mutex_);
    drained_.wait_for(lock, within, [&] { return lines_.empty() && !writing_; });
  }

 private:
  StderrQueue() { std::thread([this] { run(); }).detach(); }
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !lines_.empty(); });
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      waitingBytes_ -= line.size();
      writing_ = true;
      lock.unlock();
      writeLine(line);
      lock.lock();
      writing_ = false;
      if (lines_.empty() && dropped_ > 0) {
        const std::uint64_t dropped = dropped_;
        dropped_ = 0;
        lock.unlock();
        writeLine(utcTimestamp() + " log " + withCommas(dropped) + " log line" + (dropped == 1 ? "" : "s") +
                  " dropped while the log was full\n");
        lock.lock();
      }
      if (lines_.empty()) drained_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, drained_;
  std::deque<std::string> lines_;
  std::size_t waitingBytes_ = 0;
  std::uint64_t dropped_ = 0;
  bool writing_ = false;
};

}  // namespace

LogSink stderrSink() {
  StderrQueue& queue = StderrQueue::get();
  return [&queue](const std::string& line) { queue.push(line); };
}

void drainStderr(std::chrono::milliseconds within) { StderrQueue::get().drain(within); }

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
