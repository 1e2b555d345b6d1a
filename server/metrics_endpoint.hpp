// The operator's HTTP endpoint (--metrics ADDR:PORT): GET /metrics in the
// Prometheus text format, /healthz and /readyz, answered by Boost.Beast on
// a thread of its own, so that no scrape ever runs on, or waits for, a
// relaying thread. What its clients send is bounded like everything else
// from the network: at most kMaxConnections at once (a newcomer past it
// pushes out the oldest), a request head of at most kMaxRequestBytes and no
// body, kDeadline to send the request and again to take the answer, one
// request per connection.
//
//   auto endpoint = MetricsEndpoint::listen("127.0.0.1:9464", error);  // before any file is written
//   endpoint->serve(pages);                                            // its thread starts
//   ...                                                                // destruction stops it
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace sotto {

class MetricsEndpoint {
 public:
  static constexpr std::size_t kMaxConnections = 16;
  static constexpr std::size_t kMaxRequestBytes = 8 * 1024;
  static constexpr std::chrono::seconds kDeadline{5};

  // What the pages say. Called on the endpoint's thread, so each must be
  // quick: it reads counters and flags, and never waits on a relaying
  // thread, a disk, a database or another machine.
  struct Pages {
    std::function<std::string()> metrics;
    // Why the server takes no sessions now, or nothing when it does.
    std::function<std::optional<std::string>()> notReady;
  };

  // Binds ADDR:PORT (an IPv6 address in brackets). Null with error set
  // when it cannot.
  static std::unique_ptr<MetricsEndpoint> listen(const std::string& addressPort, std::string& error);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Starts answering, on the endpoint's own thread.
  void serve(Pages pages);
  // "127.0.0.1:9464", "[::1]:9464".
  const std::string& name() const { return name_; }

 private:
  struct Connection;
  MetricsEndpoint() = default;
  boost::asio::awaitable<void> acceptLoop();
  boost::asio::awaitable<void> answer(std::shared_ptr<Connection> connection);

  std::string name_;
  // The endpoint's thread owns everything below once serve() has started it.
  boost::asio::io_context io_{1};
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  Pages pages_;
  std::list<std::shared_ptr<Connection>> open_;
  std::thread thread_;
};

}  // namespace sotto
