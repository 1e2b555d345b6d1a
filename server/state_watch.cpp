#include "server/state_watch.hpp"

#include <algorithm>

#include "proto/bytes.hpp"

namespace sotto {

namespace {
constexpr const char* kLogName = "identities";
// While the database does not answer, tries back off to this.
constexpr std::chrono::milliseconds kRetryMost{4000};

std::string hex(const Key& key) { return toHex(key.data(), key.size()); }
}  // namespace

struct StateWatch::Shared {
  Shared(std::unique_ptr<Registry> r, Hub& h, const EventLog& l, std::chrono::milliseconds i)
      : interval(i), registry(std::move(r)), hub(&h), log(&l) {}

  // Reads the count, and the states when it has moved. False on failure,
  // with the reason in registry->lastError().
  bool look();
  // Hands what changed to the hub and the log, unless left behind; at start
  // only the hub hears of it.
  void apply(std::map<Key, IdentityState> fresh, bool starting);

  const std::chrono::milliseconds interval;

  // The watching thread's own (start()'s until the thread runs).
  std::unique_ptr<Registry> registry;
  std::map<Key, IdentityState> stored;
  std::int64_t count = -1;

  // Under mutex. hub and log are null once the thread is left behind.
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  bool done = false;
  Hub* hub;
  const EventLog* log;
};

bool StateWatch::Shared::look() {
  if (!registry->connected() && !registry->reconnect()) return false;
  std::optional<std::int64_t> now = registry->stateChanges();
  // A restarted database ends every connection; a new one may answer.
  if (!now && !registry->connected() && registry->reconnect()) now = registry->stateChanges();
  if (!now) return false;
  if (*now == count) return true;
  std::map<Key, IdentityState> fresh;
  if (!registry->forEachStoredState([&](const Key& key, IdentityState state) { fresh.emplace(key, state); }))
    return false;
  count = *now;
  apply(std::move(fresh), false);
  return true;
}

void StateWatch::Shared::apply(std::map<Key, IdentityState> fresh, bool starting) {
  const std::lock_guard lock(mutex);
  if (!hub) return;
  const auto note = [&](const std::string& what) {
    if (!starting) log->event(kLogName, what);
  };
  for (const auto& [key, state] : fresh) {
    const auto old = stored.find(key);
    const IdentityState before = old == stored.end() ? IdentityState::unknown : old->second;
    if (state == before) continue;
    if (state == IdentityState::revoked) {
      hub->revoke(key);
      note("revoked " + hex(key) + ": its sessions here are closed and its hellos refused");
    } else if (before == IdentityState::revoked) {
      hub->reinstate(key);
      note("reinstated " + hex(key));
    } else {
      note("allowed " + hex(key) + " to register");
    }
  }
  for (const auto& [key, state] : stored) {
    if (state != IdentityState::revoked || fresh.contains(key)) continue;
    hub->reinstate(key);
    note("reinstated " + hex(key));
  }
  const auto revoked = std::count_if(fresh.begin(), fresh.end(),
                                     [](const auto& entry) { return entry.second == IdentityState::revoked; });
  if (starting && revoked > 0)
    log->event(kLogName, std::to_string(revoked) + (revoked == 1 ? " revoked identity is" : " revoked identities are") +
                             " refused");
  stored = std::move(fresh);
}

StateWatch::StateWatch(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

std::unique_ptr<StateWatch> StateWatch::start(std::unique_ptr<Registry> registry, Hub& hub, const EventLog& log,
                                              std::chrono::milliseconds interval, std::string& error) {
  auto shared = std::make_shared<Shared>(std::move(registry), hub, log, interval);
  std::map<Key, IdentityState> fresh;
  const std::optional<std::int64_t> count = shared->registry->stateChanges();
  if (!count ||
      !shared->registry->forEachStoredState([&](const Key& key, IdentityState state) { fresh.emplace(key, state); })) {
    error = "cannot read the identity states: " + shared->registry->lastError();
    return nullptr;
  }
  shared->count = *count;
  shared->apply(std::move(fresh), true);
  std::unique_ptr<StateWatch> watch(new StateWatch(shared));
  watch->thread_ = std::thread([shared] { StateWatch::watch(shared); });
  return watch;
}

StateWatch::~StateWatch() { stop(kStopWait); }

void StateWatch::watch(const std::shared_ptr<Shared>& s) {
  std::chrono::milliseconds wait = s->interval;
  bool failing = false;
  std::unique_lock lock(s->mutex);
  while (!s->changed.wait_for(lock, wait, [&] { return s->stopping; })) {
    lock.unlock();
    const bool ok = s->look();
    const std::string why = ok ? std::string() : s->registry->lastError();
    lock.lock();
    // One line when the database stops answering, one when it is back.
    if (s->log && ok == failing)
      s->log->event(kLogName, ok ? "states readable again"
                                 : "cannot read the states, changes wait until the database answers: " + why);
    failing = !ok;
    wait = ok ? s->interval : std::min(std::max(wait * 2, s->interval), kRetryMost);
  }
  s->done = true;
  s->changed.notify_all();
}

bool StateWatch::stop(std::chrono::milliseconds within) {
  if (!thread_.joinable()) return true;
  std::unique_lock lock(shared_->mutex);
  shared_->stopping = true;
  shared_->changed.notify_all();
  if (!shared_->changed.wait_for(lock, within, [&] { return shared_->done; })) {
    shared_->log->event(kLogName, "stopped without waiting for the database, which does not answer");
    shared_->hub = nullptr;
    shared_->log = nullptr;
    lock.unlock();
    thread_.detach();
    return false;
  }
  lock.unlock();
  thread_.join();
  return true;
}

}  // namespace sotto
