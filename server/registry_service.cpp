#include "server/registry_service.hpp"

#include <algorithm>
#include <ctime>

namespace sotto {

namespace {
constexpr const char* kLogName = "registry";
// Hellos past their days or past the store's bound are forgotten this often.
constexpr auto kPruneInterval = std::chrono::hours(1);
constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;

std::int64_t sinceEpoch(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
}  // namespace

RegistryService::RegistryService(std::unique_ptr<Registry> registry, const Limits& limits,
                                 Registration registration, const EventLog& log)
    : limits_(limits), registration_(registration), log_(log), seen_(limits.helloMemory), registry_(std::move(registry)) {}

std::unique_ptr<RegistryService> RegistryService::start(std::unique_ptr<Registry> registry, const Limits& limits,
                                                        Registration registration, const EventLog& log,
                                                        std::string& error) {
  std::unique_ptr<RegistryService> service(new RegistryService(std::move(registry), limits, registration, log));
  Registry& r = *service->registry_;
  std::vector<HelloDigest> newestFirst;
  if (!r.forEach([&](const Key& key, const Registry::Entry&) { service->known_.insert(key); }) ||
      !r.forEachHello(limits.helloMemory, [&](const HelloDigest& d) { newestFirst.push_back(d); })) {
    error = "cannot read the registry: " + r.lastError();
    return nullptr;
  }
  // Oldest first, so that the oldest are the first to go.
  for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) service->seen_.insert(*it);
  service->worker_ = std::thread([s = service.get()] { s->work(); });
  return service;
}

RegistryService::~RegistryService() {
  if (worker_.joinable()) stop(std::chrono::milliseconds::max());
}

bool RegistryService::hangs() const {
  if (down_.load()) return true;
  const std::int64_t since = busySince_.load();
  return since != 0 && sinceEpoch(Clock::now()) - since > std::chrono::nanoseconds(limits_.helloCheckWait).count();
}

std::optional<RegistryService::Answer> RegistryService::answerAtOnce(const Question& question) {
  std::lock_guard lock(mutex_);
  if (seen_.contains(question.hello)) return Answer{Registry::Result::known, true, {}};
  // Anyone can sign a hello of an identity nobody registered: those are
  // remembered only once the registry knows the identity (lookUp), so
  // that they cannot push real ones out of memory.
  if (!question.isNew && !known_.contains(question.identity)) return std::nullopt;
  seen_.insert(question.hello);
  if (question.isNew) return std::nullopt;
  std::int64_t& last = touched_[question.identity];
  last = std::max(last, question.now);
  if (!hangs() && !trusting_.load()) return std::nullopt;
  // Written, and compared with other instances' hellos, once the database
  // answers again.
  checks_.push_back({question.hello, question.now, {}});
  wake_.notify_one();
  return Answer{Registry::Result::known, false, {}};
}

void RegistryService::ask(const Question& question, Reply reply) {
  {
    std::lock_guard lock(mutex_);
    if (!question.isNew && known_.contains(question.identity)) {
      checks_.push_back({question.hello, question.now, std::move(reply)});
    } else {
      // Askers that gave up leave their look-ups behind; drop them here
      // too, so that a database that hangs does not gather a backlog.
      const Clock::time_point now = Clock::now();
      while (!jobs_.empty() && jobs_.front().deadline < now) jobs_.pop_front();
      jobs_.push_back({question, now + limits_.registryDeadline, std::move(reply)});
    }
    // A database that hangs must not gather them without bound either; a
    // hello not written is still refused here, from memory, when replayed.
    if (checks_.size() > limits_.helloMemory) {
      const std::size_t over = checks_.size() - limits_.helloMemory;
      checksDropped_ += over;
      checks_.erase(checks_.begin(), checks_.begin() + static_cast<std::ptrdiff_t>(over));
    }
  }
  wake_.notify_one();
}

bool RegistryService::registered(const Key& key) {
  std::lock_guard lock(mutex_);
  return known_.contains(key);
}

std::chrono::milliseconds RegistryService::wait(const Question& question) {
  std::lock_guard lock(mutex_);
  return !question.isNew && known_.contains(question.identity) ? limits_.helloCheckWait : limits_.registryDeadline;
}

RegistryService::Answer RegistryService::withoutAnswer(const Question& question) {
  bool known = false;
  {
    std::lock_guard lock(mutex_);
    known = !question.isNew && known_.contains(question.identity);
  }
  if (!known) {
    // Not admitted: the same hello may come again once the registry answers.
    std::lock_guard lock(mutex_);
    seen_.erase(question.hello);
    return Answer{Registry::Result::failed, false,
                  "no answer within " + std::to_string(limits_.registryDeadline.count() / 1000) + " s", true};
  }
  if (!trusting_.exchange(true))
    note("the database does not answer: sign-ins of known identities go ahead, their hellos checked against this "
         "server's memory only");
  return Answer{Registry::Result::known, false, {}};
}

bool RegistryService::mayHold(const Key& identity) {
  {
    std::lock_guard lock(mutex_);
    if (known_.contains(identity)) return true;
    if (absent_.contains(identity)) return false;
    // Looked up a few at a time; past that the answer is yes unasked.
    if (asking_.size() >= kMaxAsking || !asking_.insert(identity).second) return true;
    toLookUp_.push_back(identity);
  }
  wake_.notify_one();
  return true;
}

void RegistryService::answer(const Reply& reply, const Answer& answer) {
  std::lock_guard lock(mutex_);
  if (reply && !stopping_) reply(answer);
}

void RegistryService::note(const std::string& what) {
  std::lock_guard lock(mutex_);
  if (!abandoned_) log_.event(kLogName, what);
}

bool RegistryService::stop(std::chrono::milliseconds within) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  std::unique_lock lock(mutex_);
  const auto stopped = [&] { return done_; };
  if (within == std::chrono::milliseconds::max()) {
    finished_.wait(lock, stopped);
  } else if (!finished_.wait_for(lock, within / 2, stopped)) {
    lock.unlock();
    // PostgreSQL's cancel opens a connection of its own, which a host that
    // drops packets would hold: asked from a thread of its own.
    std::thread([registry = registry_.get()] { registry->interrupt(); }).detach();
    lock.lock();
    if (!finished_.wait_for(lock, within - within / 2, stopped)) {
      log_.event(kLogName, "last-seen times not written: the database did not answer within " +
                               std::to_string(within.count() / 1000) + " s");
      abandoned_ = true;
      return false;
    }
  }
  lock.unlock();
  worker_.join();
  return true;
}

void RegistryService::work() {
  Clock::time_point nextFlush = Clock::now() + limits_.registryWriteInterval;
  Clock::time_point nextLoad = Clock::now() + limits_.registryLoadInterval;
  Clock::time_point nextPrune = Clock::now();
  Clock::time_point nextProbe = Clock::now() + kProbeEvery;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_until(lock,
                     std::min({nextFlush, nextLoad, nextPrune, nextProbe,
                               down_ ? retryAt_ : Clock::time_point::max()}),
                     [&] { return stopping_ || !jobs_.empty() || !checks_.empty() || !toLookUp_.empty(); });
    if (stopping_) break;
    std::vector<Check> checks;
    checks.swap(checks_);
    std::deque<Job> jobs;
    jobs.swap(jobs_);
    std::vector<Key> holders;
    holders.swap(toLookUp_);
    lock.unlock();
    // Known identities first: their sign-ins wait only briefly.
    if (!checks.empty()) check(checks);
    for (const Job& job : jobs)
      if (Clock::now() < job.deadline) answer(job.reply, lookUp(job.question));
    if (!holders.empty()) lookUpHolders(holders);
    const Clock::time_point now = Clock::now();
    // Back before the next registration needs it.
    if (down_ && now >= retryAt_) reconnect();
    // Due even while questions keep coming.
    if (now >= nextFlush) {
      std::vector<Check> none;
      check(none);
      flush();
      nextFlush = now + limits_.registryWriteInterval;
    }
    // A sign-in of an identity nobody has: it changes nothing, and fails
    // only when the database does.
    if (now >= nextProbe) {
      guarded([&] { return registry_->seen(Key{}, 0) != Registry::Result::failed; });
      nextProbe = now + kProbeEvery;
    }
    if (now >= nextLoad) {
      load();
      nextLoad = now + limits_.registryLoadInterval;
    }
    if (now >= nextPrune) {
      prune();
      nextPrune = now + kPruneInterval;
    }
    lock.lock();
  }
  std::vector<Check> checks;
  checks.swap(checks_);
  lock.unlock();
  // One try each, not the backoff: the server is on its way out.
  down_ = false;
  check(checks);
  flush();
  lock.lock();
  done_ = true;
  finished_.notify_all();
}

void RegistryService::check(std::vector<Check>& checks) {
  // Those the database did not take before go with them, unanswered.
  for (Check& c : unwritten_) checks.push_back(std::move(c));
  unwritten_.clear();
  if (checks.empty()) return;
  std::vector<Registry::Result> results(checks.size(), Registry::Result::failed);
  const bool written = guarded([&] {
    return registry_->transaction([&] {
      for (std::size_t i = 0; i < checks.size(); ++i)
        if ((results[i] = registry_->noteHello(checks[i].hello, checks[i].now)) == Registry::Result::failed)
          return false;
      return true;
    });
  });
  if (written && trusting_.exchange(false)) note("the database answers again");
  for (std::size_t i = 0; i < checks.size(); ++i)
    answer(checks[i].reply, Answer{Registry::Result::known, written && results[i] == Registry::Result::known, {}});
  if (written) return;
  // Kept for the next batch or the next flush, so that other instances
  // learn of them; as many as memory keeps.
  for (Check& c : checks) unwritten_.push_back({c.hello, c.now, {}});
  if (unwritten_.size() > limits_.helloMemory) {
    const std::size_t over = unwritten_.size() - limits_.helloMemory;
    unwritten_.erase(unwritten_.begin(), unwritten_.begin() + static_cast<std::ptrdiff_t>(over));
    std::lock_guard lock(mutex_);
    checksDropped_ += over;
  }
}

RegistryService::Answer RegistryService::lookUp(const Question& q) {
  Registry::Result result = Registry::Result::failed;
  bool replayed = false;
  if (!guarded([&] {
        return registry_->transaction([&] {
          result = q.isNew ? registry_->registerWithin(q.identity, q.now, registration_)
                           : registry_->seen(q.identity, q.now);
          // Refused: nothing of it is written.
          if (result == Registry::Result::unknown || result == Registry::Result::revoked ||
              result == Registry::Result::closed)
            return true;
          const Registry::Result noted = registry_->noteHello(q.hello, q.now);
          replayed = noted == Registry::Result::known;
          return result != Registry::Result::failed && noted != Registry::Result::failed;
        });
      })) {
    std::lock_guard lock(mutex_);
    seen_.erase(q.hello);
    return Answer{Registry::Result::failed, false,
                  down_ ? "database unreachable: " + downError_ : registry_->lastError()};
  }
  if (result == Registry::Result::added || result == Registry::Result::known) {
    std::lock_guard lock(mutex_);
    known_.insert(q.identity);
    seen_.insert(q.hello);
  }
  return Answer{result, replayed, {}};
}

bool RegistryService::guarded(const std::function<bool()>& call) {
  if (down_ && (Clock::now() < retryAt_ || !reconnect())) return false;
  busySince_ = sinceEpoch(Clock::now());
  // Each call timed for the operator.
  const auto timed = [&] {
    const auto start = Clock::now();
    const bool done = call();
    calls_.observe(Clock::now() - start);
    return done;
  };
  bool ok = timed();
  // A restarted database ends every connection: the first call after it
  // finds out, and a new connection may answer it.
  if (!ok && !registry_->connected()) ok = reconnect() && timed();
  busySince_ = 0;
  return ok;
}

std::optional<std::string> RegistryService::trouble() const {
  if (down_.load()) return "database unreachable";
  const std::int64_t since = busySince_.load();
  if (since != 0 && sinceEpoch(Clock::now()) - since > std::chrono::nanoseconds(kProbeEvery).count())
    return "a database call has hung for more than " + std::to_string(kProbeEvery.count() / 1000) + " s";
  return std::nullopt;
}

bool RegistryService::reconnect() {
  if (registry_->reconnect()) {
    if (down_) note("database reachable again");
    down_ = false;
    backoff_ = kRetryFirst;
    return true;
  }
  if (!down_)
    note("database unreachable, registrations are refused until it is back: " + registry_->lastError());
  down_ = true;
  downError_ = registry_->lastError();
  retryAt_ = Clock::now() + backoff_;
  backoff_ = std::min(backoff_ * 2, kRetryMost);
  return false;
}

bool RegistryService::flush() {
  std::unordered_map<Key, std::int64_t, KeyHash> batch;
  std::uint64_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    batch.swap(touched_);
    std::swap(dropped, checksDropped_);
  }
  if (dropped > 0)
    note(std::to_string(dropped) + " hellos not written while the database did not answer; this server still "
                                   "refuses them when replayed, other instances may not");
  if (batch.empty()) return true;
  const bool written = guarded([&] {
    return registry_->transaction([&] {
      for (const auto& [key, time] : batch)
        if (registry_->seen(key, time) == Registry::Result::failed) return false;
      return true;
    });
  });
  if (written) return true;
  std::lock_guard lock(mutex_);
  if (stopping_) {
    if (!abandoned_)
      log_.event(kLogName, "last-seen times of " + std::to_string(batch.size()) +
                               " identities not written: " + (down_ ? downError_ : registry_->lastError()));
    return false;
  }
  if (!down_) log_.event(kLogName, "cannot write last-seen times: " + registry_->lastError());
  // Kept for the next round.
  for (const auto& [key, time] : batch) {
    std::int64_t& last = touched_[key];
    last = std::max(last, time);
  }
  return false;
}

void RegistryService::load() {
  std::vector<Key> keys;
  if (!guarded([&] { return registry_->forEach([&](const Key& key, const Registry::Entry&) { keys.push_back(key); }); }))
    return;
  std::size_t added = 0;
  {
    std::lock_guard lock(mutex_);
    for (const Key& key : keys) added += known_.insert(key).second;
    absent_.clear();
  }
  // This server's own registrations are in memory before they are answered.
  if (added > 0)
    note(std::to_string(added) + (added == 1 ? " identity" : " identities") + " registered elsewhere since the last look");
}

void RegistryService::lookUpHolders(const std::vector<Key>& identities) {
  for (const Key& identity : identities) {
    bool found = false;
    const bool answered = guarded([&] {
      found = registry_->find(identity).has_value();
      return found || registry_->connected();
    });
    std::lock_guard lock(mutex_);
    asking_.erase(identity);
    if (!answered) continue;
    if (found) {
      known_.insert(identity);
      continue;
    }
    // Bounded: when full it starts over, and what it forgot is asked again.
    if (absent_.size() >= kMaxAbsent) absent_.clear();
    absent_.insert(identity);
  }
}

void RegistryService::prune() {
  const std::int64_t before = std::time(nullptr) - std::int64_t{limits_.helloDays} * kSecondsPerDay;
  guarded([&] { return registry_->forgetHellos(before, limits_.helloStoreRows); });
}

}  // namespace sotto
