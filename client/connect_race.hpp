// Connecting to a name with several addresses, in the manner of RFC 8305: a
// next attempt starts when the latest has had kAttemptDelay without an answer
// or an attempt has failed, the earlier ones keep running, the first to
// connect wins and the others are closed. One address that drops SYNs (a
// black-holed IPv6 route, say) then costs a quarter of a second, not the
// whole connect budget. Runs on the I/O thread.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "client/name_lookup.hpp"

namespace sotto {

inline constexpr std::chrono::milliseconds kAttemptDelay{250};

// The addresses with the families taking turns, the resolver's first family
// first, each family in the resolver's order.
Endpoints interleaveFamilies(const Endpoints& endpoints);

class ConnectRace {
 public:
  explicit ConnectRace(const boost::asio::any_io_executor& executor);
  ~ConnectRace();
  ConnectRace(const ConnectRace&) = delete;
  ConnectRace& operator=(const ConnectRace&) = delete;

  // Moves the first connected attempt into socket. Throws
  // boost::system::system_error when every attempt failed or stop came first.
  boost::asio::awaitable<void> run(boost::asio::ip::tcp::socket& socket, const Endpoints& endpoints);
  // Closes every attempt; run ends with operation_aborted.
  void stop();

 private:
  // Shared with the attempts, which may finish after the race is decided.
  struct State {
    explicit State(const boost::asio::any_io_executor& executor) : wake(executor) {}
    void closeAllBut(std::optional<std::size_t> keep);
    boost::asio::steady_timer wake;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> attempts;
    std::size_t failed = 0;
    std::optional<std::size_t> winner;
    bool stopped = false;
    boost::system::error_code lastError;
  };
  static boost::asio::awaitable<void> attempt(std::shared_ptr<State> state, std::size_t index,
                                              boost::asio::ip::tcp::endpoint endpoint);
  std::shared_ptr<State> state_;
};

}  // namespace sotto
