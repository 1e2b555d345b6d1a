#include "server/history.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>

#include "proto/packet.hpp"
#include "server/thread_priority.hpp"
#include "server/wall_clock.hpp"

namespace asio = boost::asio;

namespace sotto {

namespace {

constexpr const char* kLogName = "history";
// Messages older than what is kept go this often.
constexpr std::chrono::seconds kForgetEvery{60};
// After an instance was stopped dead, how long before its last write its
// members are given again what came: they had most of it, but what they had
// is known by time alone.
constexpr std::chrono::milliseconds kTrailing{1000};
// A store that failed is tried again this soon, then at most this far apart.
constexpr std::chrono::milliseconds kRetryFirst{250};
constexpr std::chrono::milliseconds kRetryMost{4000};
// How often a sign-in looks whether another origin has written far enough.
constexpr std::chrono::milliseconds kThroughPoll{20};
// An idle writer still writes this often, so that a sign-in elsewhere can
// tell it has nothing older to add; one silent for kAlive is taken as gone.
constexpr std::chrono::milliseconds kHeartbeat{500};
constexpr std::chrono::milliseconds kAlive{3000};

// "3" or "2.5".
std::string seconds(std::chrono::milliseconds span) {
  std::string out = std::to_string(span.count() / 1000);
  if (span.count() % 1000 != 0) out += "." + std::to_string(span.count() % 1000 / 100);
  return out;
}

std::unique_ptr<HistoryStore> openStore(const ServerOptions& options, std::string& error) {
  if (options.postgres) return HistoryStore::openPostgres(*options.postgres, error);
  return HistoryStore::openSqlite(options.dataDir + "/" + kHistoryFileName, error);
}

// Appends from's items to into's and empties from; under the relay's lock,
// so a swap when it can.
template <class T>
void takeAll(std::vector<T>& into, std::vector<T>& from) {
  if (into.empty()) {
    into.swap(from);
    return;
  }
  std::move(from.begin(), from.end(), std::back_inserter(into));
  from.clear();
}

// One arrival for each identity, its last: a session that came after
// another of the same identity replaces it, and a store takes no two for
// one identity in one statement.
void keepLastEach(std::vector<Arrival>& arrivals) {
  std::stable_sort(arrivals.begin(), arrivals.end(),
                   [](const Arrival& a, const Arrival& b) { return a.identity < b.identity; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < arrivals.size(); ++i)
    if (i + 1 == arrivals.size() || arrivals[i + 1].identity != arrivals[i].identity) arrivals[kept++] = arrivals[i];
  arrivals.resize(kept);
}

}  // namespace

History::History(const ServerOptions& options, const InstanceId& origin, const EventLog& log, Registered registered,
                 std::mutex& relayLock)
    : limits_(options.limits),
      keep_(options.keepHistory),
      maxMissed_(options.maxMissed),
      origin_(origin),
      startedAt_(wallMs()),
      log_(log),
      registered_(std::move(registered)),
      mutex_(relayLock) {}

std::unique_ptr<History> History::open(const ServerOptions& options, const InstanceId& origin, const EventLog& log,
                                       Registered registered, std::mutex& relayLock, std::string& error) {
  std::unique_ptr<History> history(new History(options, origin, log, std::move(registered), relayLock));
  history->writerStore_ = openStore(options, error);
  if (history->writerStore_) history->readerStore_ = openStore(options, error);
  if (!history->readerStore_) return nullptr;
  if (!history->writerStore_->shared()) {
    auto departed = std::make_unique<DepartedFilter>();
    if (history->writerStore_->departed([&](const Key& identity) { departed->add(identity); }))
      history->departed_ = std::move(departed);
  }
  history->running_ = 2;
  history->writer_ = std::thread([h = history.get()] {
    behindTheRelay();
    h->write();
    h->finished();
  });
  history->reader_ = std::thread([h = history.get()] {
    behindTheRelay();
    h->read();
    h->finished();
  });
  return history;
}

History::~History() {
  if (!stopAsked_.load()) beginStop(limits_.historyStopWait);
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
}

void History::beginStop(std::chrono::milliseconds within) {
  const Clock::time_point now = Clock::now();
  {
    const std::lock_guard lock(askMutex_);
    readerStopping_ = true;
  }
  askWake_.notify_all();
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    giveUpAt_ = now + within / 2;
    stopBy_ = now + within;
    stopWithin_ = within;
  }
  stopAsked_ = true;
  wake_.notify_all();
  {
    // Taken, so that a reader between its look and its wait still wakes.
    const std::lock_guard lock(writtenMutex_);
  }
  writtenWake_.notify_all();
}

void History::finished() {
  const std::lock_guard lock(doneMutex_);
  --running_;
  doneWake_.notify_all();
}

bool History::stop() {
  Clock::time_point half, by;
  {
    const std::lock_guard lock(mutex_);
    half = giveUpAt_;
    by = stopBy_;
  }
  std::unique_lock lock(doneMutex_);
  const auto done = [&] { return running_ == 0; };
  if (!doneWake_.wait_until(lock, half, done)) {
    lock.unlock();
    // PostgreSQL's cancel opens a connection of its own, which a host that
    // drops packets would hold: asked from a thread of its own.
    std::thread([writer = writerStore_, reader = readerStore_] {
      writer->interrupt();
      reader->interrupt();
    }).detach();
    lock.lock();
    if (!doneWake_.wait_until(lock, by, done)) {
      lock.unlock();
      std::size_t waiting = writing_.load();
      {
        const std::lock_guard queued(mutex_);
        waiting += queue_.size();
      }
      // Left to the process's exit, the one that did finish too.
      reader_.detach();
      writer_.detach();
      const std::lock_guard logged(logMutex_);
      abandoned_ = true;
      log_.event(kLogName, "stopping: " + std::to_string(waiting) +
                               " messages not written: the database did not answer within " +
                               seconds(stopWithin_) + " s");
      return false;
    }
  }
  lock.unlock();
  reader_.join();
  writer_.join();
  return true;
}

void History::note(const std::string& what) const {
  const std::lock_guard lock(logMutex_);
  if (!abandoned_) log_.event(kLogName, what);
}

void History::keep(const MessageId& id, std::int64_t at, const Key& named, const Bytes& packet) {
  const bool direct = packet[0] == Direct;
  const std::size_t entry = KeptBatch::entryBytes(packet.size(), direct);
  ++taken_;
  through_ = id.seq + 1;
  if (queuedBytes_ + entry > limits_.historyQueueBytes) {
    ++unkept_;
    // Said as it begins, not once the writer is back: a hung database
    // holds the writer for as long as it hangs.
    if (!overflowing_) {
      overflowing_ = true;
      note("the store is behind: messages are not kept until it catches up");
    }
    if (!gap_) gap_ = Gap{origin_, at, at, 0};
    gap_->to = at;
    ++gap_->lost;
    return;
  }
  const bool wasIdle = idle();
  queuedBytes_ += queue_.add(id.seq, at, packet, direct ? named.data() : nullptr);
  if (wasIdle) wake_.notify_one();
}

std::uint64_t History::unkept() const {
  const std::lock_guard lock(mutex_);
  return unkept_;
}

void History::depart(Departure&& departure) {
  if (departed_) departed_->add(departure.identity);
  ++taken_;
  const bool wasIdle = idle();
  departures_.push_back(std::move(departure));
  if (wasIdle) wake_.notify_one();
}

void History::arrive(const Key& identity, std::uint64_t session, std::int64_t at) {
  const bool wasIdle = idle();
  arrivals_.push_back({identity, origin_, session, at});
  if (wasIdle) wake_.notify_one();
}

bool History::guarded(HistoryStore& store, bool& down, Clock::time_point& retryAt,
                      const std::function<bool()>& call) {
  if (down) {
    if (Clock::now() < retryAt || !store.reconnect()) return false;
    down = false;
  }
  if (call()) return true;
  if (store.connected()) return false;
  // A restarted database ends every connection: the first call after it
  // finds out, and a new connection may answer it.
  if (store.reconnect() && call()) return true;
  down = !store.connected();
  return false;
}

// The writer thread: batches of messages and departures, each batch one
// transaction; a batch that fails is tried again, with what came meanwhile.
void History::write() {
  KeptBatch batch;
  KeptBatch fresh;
  std::vector<Departure> departures;
  std::vector<Arrival> arrivals;
  std::vector<Gap> gaps;
  std::size_t batchBytes = 0;
  std::uint64_t batchTaken = 0;
  std::uint64_t batchThrough = 0;
  bool down = false;
  bool failing = false;
  Clock::time_point retryAt{};
  std::chrono::milliseconds backoff = kRetryFirst;
  Clock::time_point nextForget = Clock::now();
  std::uint64_t unkeptSince = 0;  // in this episode of an overflowing queue
  std::string episode;
  std::unique_lock lock(mutex_);
  const auto work = [&] { return !idle() || gap_.has_value(); };
  for (;; lock.lock()) {
    // Rows the relay's lock let go of, freed at the end of the turn, out of it.
    std::vector<Bytes> dropped;
    std::vector<BatchRow> spent;
    const bool pending = !batch.empty() || !departures.empty() || !arrivals.empty() || !gaps.empty();
    if (stopping_) {
      if (pending) wake_.wait_until(lock, std::min(retryAt, giveUpAt_));
    } else if (!pending) {
      wake_.wait_until(lock, std::min(nextForget, Clock::now() + kHeartbeat), [&] { return stopping_ || work(); });
      // Whatever else comes within the window goes in the same transaction.
      if (work()) wake_.wait_for(lock, limits_.historyBatchWindow, [&] { return stopping_; });
    } else {
      // A batch that failed waits for its retry.
      wake_.wait_until(lock, retryAt, [&] { return stopping_; });
    }
    fresh.take(queue_);
    // Rows kept for a flood go once the relay is quiet.
    if (fresh.empty() && batch.empty()) dropped = queue_.dropSpares();
    takeAll(departures, departures_);
    takeAll(arrivals, arrivals_);
    if (gap_) {
      unkeptSince += gap_->lost;
      gaps.push_back(*std::exchange(gap_, std::nullopt));
    } else if (unkeptSince > 0 && !failing) {
      episode = "keeping messages again; " + std::to_string(unkeptSince) + " were not kept";
      unkeptSince = 0;
      overflowing_ = false;
    }
    batchTaken = taken_;
    batchThrough = through_;
    const bool stopping = stopping_;
    const Clock::time_point giveUpAt = giveUpAt_;
    lock.unlock();
    // Logged, and the registry asked, once the relay's lock is let go.
    if (!episode.empty()) note(std::exchange(episode, {}));
    batchBytes += fresh.bytes();
    // A Direct to an identity nobody registered is never kept.
    fresh.keepDirects(registered_);
    batch.take(fresh);
    keepLastEach(arrivals);
    if (stopping && ((batch.empty() && departures.empty() && arrivals.empty() && gaps.empty()) ||
                     Clock::now() >= giveUpAt)) {
      if (!batch.empty()) note("stopping: " + std::to_string(batch.size()) + " messages could not be kept");
      // Gone, as far as sign-ins elsewhere are concerned: none waits for it.
      if (!down) writerStore_->write({}, {}, {}, {}, origin_, batchThrough, 0);
      const std::lock_guard last(mutex_);
      unkept_ += batch.size();
      break;
    }
    writing_ = batch.size();
    const bool written = guarded(*writerStore_, down, retryAt, [&] {
      return writerStore_->write(batch, arrivals, departures, gaps, origin_, batchThrough, wallMs());
    });
    if (written) {
      writing_ = 0;
      if (failing) note("writing again");
      failing = false;
      backoff = kRetryFirst;
      departures.clear();
      arrivals.clear();
      gaps.clear();
      {
        const std::lock_guard done(writtenMutex_);
        written_ = batchTaken;
      }
      writtenWake_.notify_all();
    } else {
      if (!failing)
        note("cannot write, keeping up to " + std::to_string(limits_.historyQueueBytes) +
             " bytes of messages meanwhile: " + writerStore_->lastError());
      failing = true;
      retryAt = Clock::now() + backoff;
      backoff = std::min(backoff * 2, kRetryMost);
    }
    if (Clock::now() >= nextForget) {
      guarded(*writerStore_, down, retryAt, [&] { return writerStore_->forget(wallMs() - keep_.count()); });
      nextForget = Clock::now() + kForgetEvery;
    }
    if (written) {
      const std::lock_guard released(mutex_);
      queuedBytes_ -= batchBytes;
      batchBytes = 0;
      spent = queue_.recycle(batch);
    }
  }
}

namespace {

// A sign-in waiting for its catch-up, answered once: by the reader or by the
// deadline, whichever comes first; both on the caller's executor.
template <typename Handler>
struct Waiting {
  template <typename Executor>
  Waiting(Handler&& h, const Executor& on) : handler(std::move(h)), deadline(on) {}
  void finish(History::CatchUp&& answer) {
    if (std::exchange(answered, true)) return;
    deadline.cancel();
    handler(std::move(answer));
  }
  Handler handler;
  asio::steady_timer deadline;
  bool answered = false;
};

}  // namespace

// Not a coroutine itself, and the question passed as a shared copy: GCC 12
// destroys a by-value parameter moved into a lambda's capture twice.
boost::asio::awaitable<History::CatchUp> History::catchUp(Ask ask) {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(CatchUp)>(
      [this](auto handler, std::shared_ptr<const Ask> asked) {
        // The deadline keeps the caller's io_context running until the
        // answer is back; the answer is posted only until closeAsks().
        auto home = asio::get_associated_executor(handler);
        auto waiting = std::make_shared<Waiting<decltype(handler)>>(std::move(handler), home);
        // A database that hangs holds the reader, never the sign-in: past
        // the deadline the member is told some may be missing.
        waiting->deadline.expires_after(limits_.historyAnswerWait);
        waiting->deadline.async_wait([waiting](const boost::system::error_code& cancelled) {
          if (cancelled) return;
          CatchUp late;
          late.incomplete = true;
          waiting->finish(std::move(late));
        });
        std::function<void(CatchUp)> answer = [home, waiting](CatchUp found) {
          asio::post(home, [waiting, found = std::move(found)]() mutable { waiting->finish(std::move(found)); });
        };
        {
          const std::lock_guard lock(askMutex_);
          if (asksClosed_) {
            answer(CatchUp{{}, 0, true});
            return;
          }
          asks_.push_back({*asked, std::move(answer)});
        }
        askWake_.notify_one();
      },
      asio::use_awaitable, std::make_shared<const Ask>(std::move(ask)));
}

// The reader thread: one sign-in's catch-up at a time.
void History::read() {
  std::unique_lock lock(askMutex_);
  for (;;) {
    askWake_.wait(lock, [&] { return readerStopping_ || !asks_.empty(); });
    if (asks_.empty()) break;
    Job job = std::move(asks_.front());
    asks_.pop_front();
    answering_ = job.answer;
    const bool stopping = readerStopping_;
    lock.unlock();
    // Sessions that sign in as the server stops are closed at once anyway.
    CatchUp found = stopping ? CatchUp{{}, 0, true} : answer(job.ask);
    lock.lock();
    if (!asksClosed_) job.answer(std::move(found));
    answering_ = nullptr;
  }
}

void History::closeAsks() {
  const std::lock_guard lock(askMutex_);
  asksClosed_ = true;
  for (Job& job : asks_) job.answer(CatchUp{{}, 0, true});
  asks_.clear();
  if (answering_) answering_(CatchUp{{}, 0, true});
}

bool History::waitWritten(std::uint64_t taken, Clock::time_point deadline) {
  std::unique_lock lock(writtenMutex_);
  return writtenWake_.wait_until(lock, deadline, [&] { return written_ >= taken || stopAsked_.load(); }) &&
         written_ >= taken;
}

History::CatchUp History::answer(const Ask& ask) {
  bool& down = readerDown_;
  Clock::time_point& retryAt = readerRetryAt_;
  HistoryStore& store = *readerStore_;
  const auto deadline = Clock::now() + limits_.historyCatchUpWait;
  CatchUp out;
  // Everything relayed here before the sign-in, and the departure of a
  // session that ended here, are in the store first.
  out.incomplete = !waitWritten(ask.taken, deadline);
  // So are what the other origins relayed here before it, and a departure
  // from any other instance that is alive: each has written since.
  const std::int64_t askedAt = wallMs();
  for (bool behind = true; behind;) {
    // Nobody else writes a store that is not shared: what its earlier
    // origins wrote is read once.
    if (!readerMarks_ || store.shared()) {
      std::vector<OriginMark> read;
      if (!guarded(store, down, retryAt, [&] { return store.origins(read); })) break;
      readerMarks_ = std::move(read);
    }
    const std::vector<OriginMark>& marks = *readerMarks_;
    behind = false;
    std::size_t heard = 0;
    for (const OriginMark& mark : marks) {
      if (mark.origin == origin_) continue;
      const auto joined = ask.joined.find(mark.origin);
      heard += joined != ask.joined.end();
      const bool alive = mark.writtenAt > askedAt - kAlive.count();
      behind |= (joined != ask.joined.end() && mark.next < joined->second) || (alive && mark.writtenAt < askedAt);
    }
    behind |= heard < ask.joined.size() - ask.joined.count(origin_);
    if (behind && (Clock::now() >= deadline || stopAsked_.load())) {
      out.incomplete = true;
      break;
    }
    if (behind) std::this_thread::sleep_for(kThroughPoll);
  }
  std::optional<Departure> departure = ask.departure;
  std::optional<Arrival> arrival;
  if (!departure && !guarded(store, down, retryAt, [&] {
        return store.departure(ask.identity, departure) && store.arrival(ask.identity, arrival);
      })) {
    note("cannot read a departure: " + store.lastError());
    return CatchUp{{}, 0, true};
  }
  // A session of the member that never ended, on another instance (one
  // that ended here has its departure written by now).
  bool stoppedDead = false;
  if (arrival && arrival->origin != origin_) {
    const OriginMark* mark = nullptr;
    if (readerMarks_)
      for (const OriginMark& m : *readerMarks_)
        if (m.origin == arrival->origin) mark = &m;
    // Still open there: it has had everything.
    if (mark && mark->writtenAt >= askedAt) return out;
    // Its instance was stopped dead: it had what came before, and missed
    // what came after, that instance's last write; the last second before
    // it is given again rather than risk losing what it never had.
    departure = Departure{ask.identity, (mark ? mark->writtenAt : arrival->at) - kTrailing.count(), {}, {}};
    stoppedDead = out.incomplete = true;
  }
  // A member never seen leave has missed nothing.
  if (!departure) return CatchUp{};
  MissedQuery query;
  query.identity = ask.identity;
  // A departure's cut says what it had, and its time, less a margin for
  // clocks that disagree, only bounds the search. After an instance was
  // stopped dead there is no cut: the time alone says it.
  query.since = std::max(departure->at - (stoppedDead ? 0 : kSkew.count()), wallMs() - keep_.count());
  query.departed = departure->cut;
  query.listed = departure->missed;
  std::sort(query.listed.begin(), query.listed.end());
  query.joined = ask.joined;
  query.startedAt = startedAt_;
  query.limit = maxMissed_;
  std::uint64_t total = 0;
  bool gaps = false;
  if (!guarded(store, down, retryAt, [&] {
        return store.missed(query, out.messages, total) && store.gapsSince(departure->at, gaps);
      })) {
    note("cannot read what a member missed: " + store.lastError());
    return CatchUp{{}, 0, true};
  }
  {
    const std::lock_guard lock(mutex_);
    gaps |= gap_.has_value();
  }
  out.incomplete |= gaps;
  auto& rows = out.messages;
  std::sort(rows.begin(), rows.end(), [](const Stored& a, const Stored& b) {
    return std::tie(a.at, a.id.origin, a.id.seq) < std::tie(b.at, b.id.origin, b.id.seq);
  });
  rows.erase(std::unique(rows.begin(), rows.end(), [](const Stored& a, const Stored& b) { return a.id == b.id; }),
             rows.end());
  // The newest within the bounds.
  std::size_t first = rows.size();
  for (std::size_t bytes = 0; first > 0 && rows.size() - first < maxMissed_; --first) {
    bytes += rows[first - 1].packet->size();
    if (bytes > limits_.maxCatchUpBytes) break;
  }
  rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(first));
  out.older = total > rows.size() ? total - rows.size() : 0;
  return out;
}

}  // namespace sotto
