// Name lookups that never hold up their owner's end. A lookup cannot be
// interrupted once it runs (a resolver that swallows queries keeps it for as
// long as resolv.conf says), so it runs on a thread that nothing joins, and
// its answer comes back to the I/O thread only while someone still waits.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sotto {

using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;

// The way back from detached threads to an I/O context. The owner closes it
// before the context goes away; what arrives after that is dropped.
class HandBack {
 public:
  explicit HandBack(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}
  // Any thread.
  void post(std::function<void()> work);
  void close();

 private:
  std::mutex mutex_;
  boost::asio::any_io_executor executor_;  // empty once closed
};

// One lookup at a time, awaited on the I/O thread that handBack posts to.
class NameLookup {
 public:
  NameLookup(const boost::asio::any_io_executor& executor, std::shared_ptr<HandBack> handBack);
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  // The TCP endpoints of host and service in the resolver's order; empty
  // when the name does not resolve or cancel came first.
  boost::asio::awaitable<Endpoints> resolve(std::string host, std::string service);
  // Ends a pending resolve at once with no endpoints. I/O thread.
  void cancel();

 private:
  // Touched on the I/O thread only.
  struct Waiter {
    boost::asio::steady_timer* timer = nullptr;  // null once nobody waits
    bool done = false;
    Endpoints endpoints;
  };
  boost::asio::steady_timer timer_;
  std::shared_ptr<HandBack> handBack_;
  std::shared_ptr<Waiter> waiter_;
};

}  // namespace sotto
