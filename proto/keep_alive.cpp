#include "proto/keep_alive.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace sotto {

namespace {
namespace asio = boost::asio;
using Idle = asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPIDLE>;
using Interval = asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPINTVL>;
using Probes = asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPCNT>;
using UserTimeout = asio::detail::socket_option::integer<IPPROTO_TCP, TCP_USER_TIMEOUT>;
}  // namespace

void keepAlive(asio::ip::tcp::socket& socket, const KeepAlive& settings) {
  boost::system::error_code ignored;
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  socket.set_option(Idle(static_cast<int>(settings.idle.count())), ignored);
  socket.set_option(Interval(static_cast<int>(settings.interval.count())), ignored);
  socket.set_option(Probes(settings.probes), ignored);
  const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(settings.bound());
  socket.set_option(UserTimeout(static_cast<int>(bound.count())), ignored);
}

}  // namespace sotto
