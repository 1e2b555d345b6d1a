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
// Threads: keep(), taken(), depart() and mayHaveMissed() with the relay lock
// held, catchUp() from any thread, closeAsks(), beginStop() and stop() from
// the thread that stops the server; the store connections are the writer's and
// the reader's own (interrupt() aside).
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

#include "server/departed_filter.hpp"
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
  // DATA_DIR/history.sqlite3. origin names this instance's messages;
  // relayLock is the hub's, which must outlive the history. Null with error
  // on failure.
  static std::unique_ptr<History> open(const ServerOptions& options, const InstanceId& origin, const EventLog& log,
                                       Registered registered, std::mutex& relayLock, std::string& error);
  // Starts the stop: what waits is written within `within`, the call under
  // way on each store is cancelled half way, and the writer gives up on
  // what is left then. Never waits.
  void beginStop(std::chrono::milliseconds within);
  // Waits for the stop begun, at most until its bound. False, with a line in
  // the log saying what was not written, when the database kept the writer
  // or the reader: they are left running, and the history must then be left
  // alone, never destroyed.
  bool stop();
  // beginStop(Limits::historyStopWait) unless begun, then waits without a
  // bound.
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  const InstanceId& origin() const { return origin_; }
  std::int64_t startedAt() const { return startedAt_; }

  // With the relay lock held, in the origin's order; never waits.
  // Copies the packet: the relay's copy is not held.
  void keep(const MessageId& id, std::int64_t at, const Key& named, const Bytes& packet);
  // Jobs (messages and departures) handed over so far; with the relay lock held.
  std::uint64_t taken() const { return taken_; }
  // With the relay lock held; never waits.
  void depart(Departure&& departure);
  // A session of identity joined here, numbered session among this
  // instance's; with the relay lock held; never waits.
  void arrive(const Key& identity, std::uint64_t session, std::int64_t at);
  // Whether a sign-in of the identity may have missed anything. False only
  // when this server alone writes the store and the identity never left:
  // its sign-in then needs no catch-up at all. With the relay lock held.
  bool mayHaveMissed(const Key& identity) const { return !departed_ || departed_->may(identity); }
  // Any thread; the answer resumes the caller on its own executor, within
  // Limits::historyAnswerWait whatever the store does: past it, with
  // nothing and incomplete.
  boost::asio::awaitable<CatchUp> catchUp(Ask ask);

  // At a stop, before the threads of the sessions end: every sign-in still
  // waiting for its catch-up is answered now (with nothing, incomplete), so
  // that none waits on a database that hangs, and none is answered after,
  // so that no answer reaches a thread that has ended.
  void closeAsks();

  // Messages not kept because the store fell behind; any thread.
  std::uint64_t unkept() const;

 private:
  struct Job {
    Ask ask;
    std::function<void(CatchUp)> answer;
  };
  using Clock = std::chrono::steady_clock;

  History(const ServerOptions& options, const InstanceId& origin, const EventLog& log, Registered registered,
          std::mutex& relayLock);
  void write();
  void read();
  // Each thread's last step.
  void finished();
  CatchUp answer(const Ask& ask);
  // Waits until the writer has done taken jobs; false when the wait ran out.
  bool waitWritten(std::uint64_t taken, Clock::time_point deadline);
  // Nothing waits to be handed to the writer; with the relay lock held.
  bool idle() const { return queue_.empty() && departures_.empty() && arrivals_.empty(); }
  // Logs unless stop() has given up on the threads (whose log may be gone).
  void note(const std::string& what) const;
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
  // Who left, read at the open and added to by depart(); null with a store
  // that others write too, or that could not list them.
  std::unique_ptr<DepartedFilter> departed_;

  // The relay's side, under mutex_: the hub's relay lock (server/hub.hpp),
  // held to number, keep and post a message and by a session's join and
  // leave, so that keeping a message takes no lock of its own. The writer
  // holds it only to take a batch, never while it writes.
  std::mutex& mutex_;
  std::condition_variable wake_;
  KeptBatch queue_;
  std::vector<Departure> departures_;
  std::vector<Arrival> arrivals_;
  // Of the messages taken and not yet written or given up.
  std::size_t queuedBytes_ = 0;
  std::uint64_t unkept_ = 0;
  // Messages are not kept, and the log has said so; until the writer has
  // written down every gap and taken no new one.
  bool overflowing_ = false;
  std::uint64_t taken_ = 0;
  std::uint64_t through_ = 0;  // the first seq of this origin not yet handed over
  // Messages not kept since the queue overflowed, not yet written down.
  std::optional<Gap> gap_;
  bool stopping_ = false;
  // Set by beginStop(): when the writer gives up on what is left, and when
  // stop() gives up on the threads.
  Clock::time_point giveUpAt_{};
  Clock::time_point stopBy_{};
  std::chrono::milliseconds stopWithin_{};

  // Seen by the reader's waits, so that a stop does not wait out a sign-in's.
  std::atomic<bool> stopAsked_{false};
  // Messages the writer is writing now; stop() names them when it gives up.
  std::atomic<std::size_t> writing_{0};

  // Threads still running, under doneMutex_.
  std::mutex doneMutex_;
  std::condition_variable doneWake_;
  int running_ = 0;

  mutable std::mutex logMutex_;
  bool abandoned_ = false;  // under logMutex_

  // Jobs done by the writer (kept, or given up for lost); the reader waits
  // on it.
  std::mutex writtenMutex_;
  std::condition_variable writtenWake_;
  std::uint64_t written_ = 0;

  std::mutex askMutex_;
  std::condition_variable askWake_;
  std::deque<Job> asks_;
  bool readerStopping_ = false;
  bool asksClosed_ = false;
  // The answer of the ask the reader is on, for closeAsks().
  std::function<void(CatchUp)> answering_;

  // The reader thread's: whether its store is down, and when to try again.
  bool readerDown_ = false;
  Clock::time_point readerRetryAt_{};
  // The origins' marks as last read (once only, from a store that is not
  // shared).
  std::optional<std::vector<OriginMark>> readerMarks_;

  // Each thread's own connection; shared with the thread that interrupts
  // them at a stop, which may outlive the history.
  std::shared_ptr<HistoryStore> writerStore_;
  std::shared_ptr<HistoryStore> readerStore_;
  std::thread writer_;
  std::thread reader_;
};

}  // namespace sotto
