// The operator's endpoint in the benchmarks. With SOTTO_BENCH_METRICS=1 in
// the environment, the servers that the push and scale rows start answer
// --metrics, and a Scraper reads their /metrics every second while the row
// runs (fifteen times as often as Prometheus's default): a run with it and
// one without, alternated, give each row with the endpoint on and off.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/http_get.hpp"

namespace bench {

inline bool metricsOn() {
  const char* on = std::getenv("SOTTO_BENCH_METRICS");
  return on && std::string(on) == "1";
}

inline constexpr int kMetricsPort = 9464;

// A sotto-server command line, with --metrics on its own address when on.
inline std::vector<std::string> withMetrics(std::vector<std::string> args, const std::string& address) {
  if (metricsOn()) {
    args.push_back("--metrics");
    args.push_back(address + ":" + std::to_string(kMetricsPort));
  }
  return args;
}

class Scraper {
 public:
  // Does nothing unless metricsOn().
  explicit Scraper(const std::string& address) {
    if (!metricsOn()) return;
    thread_ = std::thread([this, address] {
      std::unique_lock lock(mutex_);
      while (!stop_) {
        lock.unlock();
        if (const auto answer = httpGet(address, kMetricsPort, "/metrics"); answer && answer->status == 200) ++scrapes_;
        lock.lock();
        wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
      }
    });
  }
  ~Scraper() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  Scraper(const Scraper&) = delete;
  Scraper& operator=(const Scraper&) = delete;
  int scrapes() const { return scrapes_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<int> scrapes_{0};
  std::thread thread_;
};

}  // namespace bench
