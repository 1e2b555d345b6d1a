// A one-shot watchdog for coroutine steps that Asio cannot bound by itself.
// While the Deadline lives, onExpiry runs on the executor's thread once the
// time is up; destroying it first disarms it, even if the expiry is already
// queued, so onExpiry may safely capture the caller's locals by reference.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>

namespace sotto {

class Deadline {
 public:
  Deadline(const boost::asio::any_io_executor& executor, std::chrono::steady_clock::duration after,
           std::function<void()> onExpiry)
      : timer_(executor, after), state_(std::make_shared<State>()) {
    state_->onExpiry = std::move(onExpiry);
    timer_.async_wait([state = state_](const boost::system::error_code& ec) {
      if (ec || !state->armed) return;
      state->expired = true;
      state->onExpiry();
    });
  }
  ~Deadline() {
    state_->armed = false;
    timer_.cancel();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool expired() const { return state_->expired; }

 private:
  struct State {
    bool armed = true;
    bool expired = false;
    std::function<void()> onExpiry;
  };
  boost::asio::steady_timer timer_;
  std::shared_ptr<State> state_;
};

}  // namespace sotto
