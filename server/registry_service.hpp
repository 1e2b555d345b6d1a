// The registry as the I/O threads see it. Identities already known are
// answered from memory at once; everything else goes to one worker thread
// that owns the registry's connection, and its answer comes back on the
// caller's executor, so a thread that relays frames never waits on a disk
// or a database. Last-seen times of sign-ins answered from memory are
// written in batches, and identities registered through other servers are
// loaded now and then (Limits::registryWriteInterval, registryLoadInterval).
//
// While the database is unreachable the worker retries in the background,
// with backoff; meanwhile known identities still sign in, and registrations
// are refused with the reason.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "server/event_log.hpp"
#include "server/options.hpp"
#include "server/registry.hpp"

namespace sotto {

class RegistryService {
 public:
  // Reconnection attempts start this soon after a failure and back off to
  // at most this far apart.
  static constexpr std::chrono::milliseconds kRetryFirst{250};
  static constexpr std::chrono::milliseconds kRetryMost{4000};

  struct Answer {
    Registry::Result result = Registry::Result::failed;
    std::string error;  // why, when failed
  };

  // Loads the identities registry knows and starts the worker. Null with
  // error set on failure.
  static std::unique_ptr<RegistryService> start(std::unique_ptr<Registry> registry, const Limits& limits,
                                                const EventLog& log, std::string& error);
  // Answers what was asked, writes the pending last-seen times, then stops.
  ~RegistryService();
  RegistryService(const RegistryService&) = delete;
  RegistryService& operator=(const RegistryService&) = delete;

  // Registers key (isNew: its proof of work was checked) or signs it in.
  // Any thread; the answer resumes the caller on its own executor. A
  // registration is committed before the answer comes.
  boost::asio::awaitable<Answer> admit(const Key& key, bool isNew, std::int64_t now);
  // Whether key is registered, as far as memory knows; any thread.
  bool registered(const Key& key);

 private:
  struct KeyHash {
    std::size_t operator()(const Key& key) const;
  };
  using Clock = std::chrono::steady_clock;

  RegistryService(std::unique_ptr<Registry> registry, const Limits& limits, const EventLog& log);
  // Known: notes the sign-in for the next batch.
  bool knownInMemory(const Key& key, std::int64_t now);
  void submit(std::function<void()> job);
  void work();
  // The rest run on the worker thread only.
  Answer ask(const Key& key, bool isNew, std::int64_t now);
  // Runs call on the database unless it is down and not yet due for a retry;
  // a call that finds the connection broken gets one more try on a new one.
  bool guarded(const std::function<bool()>& call);
  bool reconnect();
  void flush();
  // Adds the identities the registry knows and memory does not.
  void load();

  const Limits& limits_;
  const EventLog& log_;

  // Guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::unordered_set<Key, KeyHash> known_;
  std::unordered_map<Key, std::int64_t, KeyHash> touched_;
  bool stopping_ = false;

  // The worker thread's own.
  std::unique_ptr<Registry> registry_;
  bool down_ = false;
  std::string downError_;
  Clock::time_point retryAt_;
  std::chrono::milliseconds backoff_ = kRetryFirst;

  std::thread worker_;
};

}  // namespace sotto
