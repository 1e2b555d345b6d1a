#include "client/connect_race.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace sotto {

Endpoints interleaveFamilies(const Endpoints& endpoints) {
  Endpoints first, second;
  for (const auto& e : endpoints) (e.protocol() == endpoints.front().protocol() ? first : second).push_back(e);
  Endpoints out;
  for (std::size_t i = 0; i < first.size() || i < second.size(); ++i) {
    if (i < first.size()) out.push_back(first[i]);
    if (i < second.size()) out.push_back(second[i]);
  }
  return out;
}

ConnectRace::ConnectRace(const asio::any_io_executor& executor) : state_(std::make_shared<State>(executor)) {}

ConnectRace::~ConnectRace() { state_->closeAllBut(std::nullopt); }

void ConnectRace::State::closeAllBut(std::optional<std::size_t> keep) {
  boost::system::error_code ignored;
  for (std::size_t i = 0; i < attempts.size(); ++i)
    if (i != keep) attempts[i]->close(ignored);
}

void ConnectRace::stop() {
  state_->stopped = true;
  state_->closeAllBut(std::nullopt);
  state_->wake.cancel();
}

asio::awaitable<void> ConnectRace::attempt(std::shared_ptr<State> state, std::size_t index, tcp::endpoint endpoint) {
  // Spawned attempts start later: the race may be decided or stopped by then,
  // and connecting would open the closed socket anew.
  if (state->winner || state->stopped) co_return;
  boost::system::error_code ec;
  co_await state->attempts[index]->async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) {
    ++state->failed;
    state->lastError = ec;
  } else if (!state->winner) {
    state->winner = index;
  }
  state->wake.cancel();
}

asio::awaitable<void> ConnectRace::run(tcp::socket& socket, const Endpoints& endpoints) {
  const auto executor = co_await asio::this_coro::executor;
  State& s = *state_;
  s.lastError = asio::error::host_not_found;
  const Endpoints order = interleaveFamilies(endpoints);
  // Each wake-up (the delay over, an attempt done) starts the next attempt.
  while (!s.winner && !s.stopped) {
    const std::size_t started = s.attempts.size();
    if (started < order.size()) {
      s.attempts.push_back(std::make_unique<tcp::socket>(executor));
      asio::co_spawn(executor, attempt(state_, started, order[started]), asio::detached);
    } else if (s.failed == started) {
      break;
    }
    if (s.attempts.size() < order.size()) {
      s.wake.expires_after(kAttemptDelay);
    } else {
      s.wake.expires_at(asio::steady_timer::time_point::max());
    }
    boost::system::error_code ignored;
    co_await s.wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  if (s.stopped) throw boost::system::system_error(asio::error::operation_aborted);
  s.closeAllBut(s.winner);
  if (!s.winner) throw boost::system::system_error(s.lastError);
  socket = std::move(*s.attempts[*s.winner]);
}

}  // namespace sotto
