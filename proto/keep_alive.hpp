// TCP keepalive for both ends of a session. A quiet chat sends nothing, so
// without it a peer that vanished without closing (power cut, dropped NAT
// entry) would never be noticed: the kernel probes after `idle` of silence and
// gives up after `probes` unanswered probes `interval` apart.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>

namespace sotto {

struct KeepAlive {
  std::chrono::seconds idle{60};
  std::chrono::seconds interval{10};
  int probes = 6;
};

// Failures are ignored: a socket without keepalive still works.
void keepAlive(boost::asio::ip::tcp::socket& socket, const KeepAlive& settings = {});

}  // namespace sotto
