// The history of what was relayed, and what a member missed read back from
// it at sign-in.
//
// The relay hands every message to keep() in its origin's order and never
// waits: a writer thread of the history's own takes them in batches (at
// most Limits::historyBatchWindow apart) and writes each batch in one
// transaction. While the store is slow or down the messages wait in memory
// up to Limits::historyQueueBytes; past it they are not kept, counted
// (Count::historyUnkept), logged once per episode and written down as a gap,
// so that members who sign in later are told some of what they missed may
// be missing. Departures go the same way.
//
// A reader thread answers catchUp(): it waits (within
// Limits::historyCatchUpWait) until the store holds everything relayed here
// before the sign-in, and everything the other origins relayed before it
// that this instance had, then reads what the member missed.
//
// Threads: keep() and taken() under the hub's relay lock, depart() and
// catchUp() from any thread; the store connections are the writer's and the
// reader's own.
#pragma once

#include <boost/asio/awaitable.hpp>
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
#include <vector>

#include "server/event_log.hpp"
#include "server/history_store.hpp"
#include "server/options.hpp"

namespace sotto {

class History {
 public:
  // Whether an identity is registered; a Direct to one that is not is not
  // kept. Called on the writer thread.
  using Registered = std::function<bool(const Key&)>;

  // How far back a search reaches before a departure, for clocks of
  // instances that disagree.
  static constexpr std::chrono::milliseconds kSkew{60'000};

  struct CatchUp {
    std::vector<Stored> messages;  // oldest first
    std::uint64_t older = 0;       // missed, and no longer kept or past the bounds
    bool incomplete = false;       // some of what was missed may be missing
  };
  // A sign-in's question: who, where it joined (the cut then, and the jobs
  // the history had taken then), and where its previous session ended when
  // that is known here already (another session of it still open).
  struct Ask {
    Key identity{};
    Cut joined;
    std::uint64_t taken = 0;
    std::optional<Departure> departure;
  };

  // Opens the store: PostgreSQL with options.postgres, otherwise
  // DATA_DIR/history.sqlite3. origin names this instance's messages. Null
  // with error on failure.
  static std::unique_ptr<History> open(const ServerOptions& options, const InstanceId& origin, const EventLog& log,
                                       Registered registered, std::string& error);
  // Writes what waits (within Limits::historyStopWait), then stops.
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  const InstanceId& origin() const { return origin_; }
  std::int64_t startedAt() const { return startedAt_; }

  // Under the hub's relay lock, in the origin's order; never waits.
  void keep(const MessageId& id, std::int64_t at, const Key& named, const std::shared_ptr<const Bytes>& packet);
  // Jobs (messages and departures) handed over so far.
  std::uint64_t taken() const;
  // Any thread; never waits.
  void depart(Departure&& departure);
  // Any thread; the answer resumes the caller on its own executor.
  boost::asio::awaitable<CatchUp> catchUp(Ask ask);

  // Messages not kept because the store fell behind; any thread.
  std::uint64_t unkept() const;

 private:
  struct Job {
    Ask ask;
    std::function<void(CatchUp)> answer;
  };
  using Clock = std::chrono::steady_clock;

  History(const ServerOptions& options, const InstanceId& origin, const EventLog& log, Registered registered);
  void write();
  void read();
  CatchUp answer(const Ask& ask);
  // Waits until the writer has done taken jobs; false when the wait ran out.
  bool waitWritten(std::uint64_t taken, Clock::time_point deadline);
  // Runs call on store unless it is down and not yet due for a retry; a call
  // that finds the connection broken gets one more try on a new one. down
  // and retryAt are the calling thread's.
  static bool guarded(HistoryStore& store, bool& down, Clock::time_point& retryAt,
                      const std::function<bool()>& call);

  const Limits& limits_;
  const std::chrono::milliseconds keep_;
  const std::size_t maxMissed_;
  const InstanceId origin_;
  const std::int64_t startedAt_;
  const EventLog& log_;
  const Registered registered_;

  // The relay's side, under mutex_.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Kept> queue_;
  std::vector<Departure> departures_;
  // Of the messages taken and not yet written or given up.
  std::size_t queuedBytes_ = 0;
  std::uint64_t unkept_ = 0;
  std::uint64_t taken_ = 0;
  std::uint64_t through_ = 0;  // the first seq of this origin not yet handed over
  // Messages not kept since the queue overflowed, not yet written down.
  std::optional<Gap> gap_;
  bool stopping_ = false;

  // Jobs done by the writer (kept, or given up for lost); the reader waits
  // on it.
  std::mutex writtenMutex_;
  std::condition_variable writtenWake_;
  std::uint64_t written_ = 0;

  std::mutex askMutex_;
  std::condition_variable askWake_;
  std::deque<Job> asks_;
  bool readerStopping_ = false;

  // The reader thread's: whether its store is down, and when to try again.
  bool readerDown_ = false;
  Clock::time_point readerRetryAt_{};

  // Each thread's own connection.
  std::unique_ptr<HistoryStore> writerStore_;
  std::unique_ptr<HistoryStore> readerStore_;
  std::thread writer_;
  std::thread reader_;
};

}  // namespace sotto
