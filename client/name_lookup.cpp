#include "client/name_lookup.hpp"

#include <netdb.h>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstring>
#include <thread>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace sotto {

void HandBack::post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (executor_) asio::post(executor_, std::move(work));
}

void HandBack::close() {
  std::lock_guard lock(mutex_);
  executor_ = {};
}

namespace {
// What the networking library's resolver asks for by default: TCP over either
// family, no flags.
Endpoints lookUp(const std::string& host, const std::string& service) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return {};
  Endpoints endpoints;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    tcp::endpoint endpoint;
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > endpoint.capacity()) continue;
    std::memcpy(endpoint.data(), a->ai_addr, a->ai_addrlen);
    endpoint.resize(a->ai_addrlen);
    endpoints.push_back(endpoint);
  }
  ::freeaddrinfo(found);
  return endpoints;
}
}  // namespace

NameLookup::NameLookup(const asio::any_io_executor& executor, std::shared_ptr<HandBack> handBack)
    : timer_(executor), handBack_(std::move(handBack)), waiter_(std::make_shared<Waiter>()) {}

NameLookup::~NameLookup() { waiter_->timer = nullptr; }

asio::awaitable<Endpoints> NameLookup::resolve(std::string host, std::string service) {
  waiter_ = std::make_shared<Waiter>();
  waiter_->timer = &timer_;
  std::thread([handBack = handBack_, waiter = waiter_, host = std::move(host), service = std::move(service)] {
    handBack->post([waiter, endpoints = lookUp(host, service)]() mutable {
      if (!waiter->timer) return;
      waiter->endpoints = std::move(endpoints);
      waiter->done = true;
      waiter->timer->cancel();
    });
  }).detach();
  const auto waiter = waiter_;
  while (!waiter->done && waiter->timer) {
    timer_.expires_at(asio::steady_timer::time_point::max());
    boost::system::error_code ignored;
    co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  waiter->timer = nullptr;
  co_return std::move(waiter->endpoints);
}

void NameLookup::cancel() {
  waiter_->timer = nullptr;
  timer_.cancel();
}

}  // namespace sotto
