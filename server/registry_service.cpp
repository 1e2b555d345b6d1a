#include "server/registry_service.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>
#include <cstring>
#include <vector>

namespace asio = boost::asio;

namespace sotto {

namespace {
constexpr const char* kLogName = "registry";
}  // namespace

std::size_t RegistryService::KeyHash::operator()(const Key& key) const {
  // Public keys are uniformly random already.
  std::size_t hash;
  std::memcpy(&hash, key.data(), sizeof hash);
  return hash;
}

RegistryService::RegistryService(std::unique_ptr<Registry> registry, const Limits& limits, const EventLog& log)
    : limits_(limits), log_(log), registry_(std::move(registry)) {}

std::unique_ptr<RegistryService> RegistryService::start(std::unique_ptr<Registry> registry, const Limits& limits,
                                                        const EventLog& log, std::string& error) {
  std::unique_ptr<RegistryService> service(new RegistryService(std::move(registry), limits, log));
  if (!service->registry_->forEach([&](const Key& key, const Registry::Entry&) { service->known_.insert(key); })) {
    error = "cannot read the registry: " + service->registry_->lastError();
    return nullptr;
  }
  service->worker_ = std::thread([s = service.get()] { s->work(); });
  return service;
}

RegistryService::~RegistryService() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

bool RegistryService::knownInMemory(const Key& key, std::int64_t now) {
  std::lock_guard lock(mutex_);
  if (!known_.contains(key)) return false;
  std::int64_t& last = touched_[key];
  last = std::max(last, now);
  return true;
}

bool RegistryService::registered(const Key& key) {
  std::lock_guard lock(mutex_);
  return known_.contains(key);
}

asio::awaitable<RegistryService::Answer> RegistryService::admit(const Key& key, bool isNew, std::int64_t now) {
  if (knownInMemory(key, now)) co_return Answer{Registry::Result::known, {}};
  co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(Answer)>(
      [this, key, isNew, now](auto handler) {
        // The caller's io_context keeps running until the answer is back,
        // even when the server stops meanwhile.
        auto home = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
        auto waiting = std::make_shared<decltype(handler)>(std::move(handler));
        // The handler leaves the job with the answer, so that it is resumed
        // and destroyed on its own thread, never on the worker.
        submit([this, key, isNew, now, home, waiting]() mutable {
          asio::post(home, [waiting = std::move(waiting), answer = ask(key, isNew, now)]() mutable {
            (*waiting)(std::move(answer));
          });
        });
      },
      asio::use_awaitable);
}

void RegistryService::submit(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void RegistryService::work() {
  Clock::time_point nextFlush = Clock::now() + limits_.registryWriteInterval;
  Clock::time_point nextLoad = Clock::now() + limits_.registryLoadInterval;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_until(lock, std::min({nextFlush, nextLoad, down_ ? retryAt_ : Clock::time_point::max()}),
                     [&] { return stopping_ || !jobs_.empty(); });
    if (stopping_ && jobs_.empty()) break;
    std::deque<std::function<void()>> jobs;
    jobs.swap(jobs_);
    lock.unlock();
    for (const auto& job : jobs) job();
    const Clock::time_point now = Clock::now();
    // Back before the next registration needs it.
    if (down_ && now >= retryAt_) reconnect();
    // Due even while jobs keep coming.
    if (now >= nextFlush) {
      flush();
      nextFlush = now + limits_.registryWriteInterval;
    }
    if (now >= nextLoad) {
      load();
      nextLoad = now + limits_.registryLoadInterval;
    }
    lock.lock();
  }
  lock.unlock();
  flush();
}

RegistryService::Answer RegistryService::ask(const Key& key, bool isNew, std::int64_t now) {
  Registry::Result result = Registry::Result::failed;
  if (!guarded([&] {
        result = isNew ? registry_->enrol(key, now) : registry_->seen(key, now);
        return result != Registry::Result::failed;
      }))
    return Answer{Registry::Result::failed,
                  down_ ? "database unreachable: " + downError_ : registry_->lastError()};
  if (result != Registry::Result::unknown) {
    std::lock_guard lock(mutex_);
    known_.insert(key);
  }
  return Answer{result, {}};
}

bool RegistryService::guarded(const std::function<bool()>& call) {
  if (down_ && (Clock::now() < retryAt_ || !reconnect())) return false;
  if (call()) return true;
  if (registry_->connected()) return false;
  // A restarted database ends every connection: the first call after it
  // finds out, and a new connection may answer it.
  return reconnect() && call();
}

bool RegistryService::reconnect() {
  if (registry_->reconnect()) {
    if (down_) log_.event(kLogName, "database reachable again");
    down_ = false;
    backoff_ = kRetryFirst;
    return true;
  }
  if (!down_)
    log_.event(kLogName, "database unreachable, registrations are refused until it is back: " +
                             registry_->lastError());
  down_ = true;
  downError_ = registry_->lastError();
  retryAt_ = Clock::now() + backoff_;
  backoff_ = std::min(backoff_ * 2, kRetryMost);
  return false;
}

void RegistryService::flush() {
  std::unordered_map<Key, std::int64_t, KeyHash> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(touched_);
  }
  if (batch.empty()) return;
  const bool written = guarded([&] {
    return registry_->transaction([&] {
      for (const auto& [key, time] : batch)
        if (registry_->seen(key, time) == Registry::Result::failed) return false;
      return true;
    });
  });
  if (written) return;
  if (!down_) log_.event(kLogName, "cannot write last-seen times: " + registry_->lastError());
  // Kept for the next round.
  std::lock_guard lock(mutex_);
  for (const auto& [key, time] : batch) {
    std::int64_t& last = touched_[key];
    last = std::max(last, time);
  }
}

void RegistryService::load() {
  std::vector<Key> keys;
  if (!guarded([&] { return registry_->forEach([&](const Key& key, const Registry::Entry&) { keys.push_back(key); }); }))
    return;
  std::size_t added = 0;
  {
    std::lock_guard lock(mutex_);
    for (const Key& key : keys) added += known_.insert(key).second;
  }
  // This server's own registrations are in memory before they are answered.
  if (added > 0)
    log_.event(kLogName, std::to_string(added) + (added == 1 ? " identity" : " identities") +
                             " registered elsewhere since the last look");
}

}  // namespace sotto
