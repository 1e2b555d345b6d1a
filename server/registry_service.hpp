// The registry as the rest of the server sees it. What memory can answer is
// answered at once: a hello this server has already seen (a replay), and,
// while the database is down or hangs, a known identity. Everything else
// goes to one worker thread that owns the registry's connection, and its
// answer comes back through a callback, so that no thread that relays
// frames or works on hellos ever waits on a disk or a database.
//
// A known identity's hello still goes to the database, in batches, which
// says whether another instance or an earlier run saw it; the caller waits
// for that at most Limits::helloCheckWait. Last-seen times of sign-ins are
// written in batches, identities registered through other servers are
// loaded now and then, and hellos older than Limits::helloDays are
// forgotten (Limits::registryWriteInterval, registryLoadInterval).
//
// While the database is unreachable the worker retries in the background,
// with backoff; meanwhile known identities still sign in, and registrations
// are refused with the reason.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/event_log.hpp"
#include "server/histogram.hpp"
#include "server/key_hash.hpp"
#include "server/options.hpp"
#include "server/registry.hpp"
#include "server/seen_hellos.hpp"

namespace sotto {

class RegistryService {
 public:
  // Reconnection attempts start this soon after a failure and back off to
  // at most this far apart.
  static constexpr std::chrono::milliseconds kRetryFirst{250};
  static constexpr std::chrono::milliseconds kRetryMost{4000};
  // With nothing else to do the worker asks the database this often, so
  // that whether it answers is known without waiting for a sign-in.
  static constexpr std::chrono::milliseconds kProbeEvery{2000};

  // One hello's claim: its identity, registering (isNew: its proof of work
  // was checked) or signing in.
  struct Question {
    Key identity{};
    HelloDigest hello{};
    bool isNew = false;
    std::int64_t now = 0;
  };
  struct Answer {
    Registry::Result result = Registry::Result::failed;
    bool replayed = false;
    std::string error;  // why, when failed
    bool late = false;  // failed because no answer came in time
  };
  using Reply = std::function<void(const Answer&)>;

  // Loads the identities and the newest hellos the registry knows and
  // starts the worker. Null with error set on failure.
  static std::unique_ptr<RegistryService> start(std::unique_ptr<Registry> registry, const Limits& limits,
                                                Registration registration, const EventLog& log, std::string& error);
  // stop() without a bound, unless it was called.
  ~RegistryService();
  RegistryService(const RegistryService&) = delete;
  RegistryService& operator=(const RegistryService&) = delete;

  // Any thread. Notes the hello as seen and answers what memory alone can;
  // otherwise nothing, and the caller asks().
  std::optional<Answer> answerAtOnce(const Question& question);
  // Any thread: the worker answers through reply, on its own thread, unless
  // the service stops first. A look-up still queued after
  // Limits::registryDeadline is dropped unanswered: its asker has gone.
  void ask(const Question& question, Reply reply);
  // How long the asker waits for the answer: briefly for a known identity
  // (then memory decides), Limits::registryDeadline for anything else.
  std::chrono::milliseconds wait(const Question& question);
  // The answer for an asker that stopped waiting: a known identity signs in
  // on memory's word, anything else is refused.
  Answer withoutAnswer(const Question& question);
  // False once the registry has said that identity is not registered; true
  // while it may be: known here, or not yet looked up (which this starts).
  // Any thread; never waits on the database.
  bool mayHold(const Key& identity);
  // Answers nothing more, writes the pending last-seen times and hellos, and
  // stops the worker, waiting at most `within`. False, with a line in the
  // log, when the database kept the worker: it is left running, and the
  // service must then be left alone, never destroyed.
  bool stop(std::chrono::milliseconds within);
  // Whether key is registered, as far as memory knows; any thread.
  bool registered(const Key& key);

  // Any thread, for the operator: why the registry does not answer now
  // (its database is unreachable, or a call has hung for kProbeEvery and
  // more), or nothing; and how long its calls took.
  std::optional<std::string> trouble() const;
  Durations calls() const { return calls_.read(); }

 private:
  using Clock = std::chrono::steady_clock;
  // A known identity's hello, for the database's word on it.
  struct Check {
    HelloDigest hello;
    std::int64_t now;
    Reply reply;
  };
  // A registration or a look-up.
  struct Job {
    Question question;
    Clock::time_point deadline;
    Reply reply;
  };

  RegistryService(std::unique_ptr<Registry> registry, const Limits& limits, Registration registration,
                  const EventLog& log);
  // Whether a database call has been under way for longer than a known
  // sign-in waits, or the database is down.
  bool hangs() const;
  void work();
  // The rest run on the worker thread only.
  void check(std::vector<Check>& checks);
  Answer lookUp(const Question& question);
  // Hands an answer over unless the service is stopping.
  void answer(const Reply& reply, const Answer& answer);
  // Logs unless stop() has given up on the worker (whose log may be gone).
  void note(const std::string& what);
  // Runs call on the database unless it is down and not yet due for a retry;
  // a call that finds the connection broken gets one more try on a new one.
  bool guarded(const std::function<bool()>& call);
  bool reconnect();
  // True when there was nothing to write or it was written.
  bool flush();
  // Adds the identities the registry knows and memory does not.
  void load();
  void prune();
  // Whether each identity is registered, for mayHold().
  void lookUpHolders(const std::vector<Key>& identities);

  const Limits limits_;
  const Registration registration_;
  const EventLog& log_;

  // Guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::vector<Check> checks_;
  std::deque<Job> jobs_;
  std::unordered_set<Key, KeyHash> known_;
  std::unordered_map<Key, std::int64_t, KeyHash> touched_;
  SeenHellos seen_;
  // Identities the registry said it does not hold (forgotten at each load,
  // which may find them registered elsewhere), and those to look up.
  static constexpr std::size_t kMaxAbsent = 65536;
  static constexpr std::size_t kMaxAsking = 64;
  std::unordered_set<Key, KeyHash> absent_;
  std::unordered_set<Key, KeyHash> asking_;
  std::vector<Key> toLookUp_;
  std::uint64_t checksDropped_ = 0;
  bool stopping_ = false;
  bool done_ = false;
  bool abandoned_ = false;

  // Written by the worker, read anywhere.
  std::atomic<bool> down_{false};
  // When the call under way began (steady clock, nanoseconds), or 0.
  std::atomic<std::int64_t> busySince_{0};
  // A sign-in went ahead on memory's word; logged once per episode.
  std::atomic<bool> trusting_{false};

  // The worker thread's own.
  std::unique_ptr<Registry> registry_;
  // Hellos the database has not taken yet.
  std::vector<Check> unwritten_;
  std::string downError_;
  Clock::time_point retryAt_;
  std::chrono::milliseconds backoff_ = kRetryFirst;

  // Written by the worker, read by the operator's endpoint.
  DurationCounters calls_;

  std::thread worker_;
};

}  // namespace sotto
