// TCP keepalive for both ends of a session. A quiet chat sends nothing, so
// without it a peer that vanished without closing (power cut, dropped NAT
// entry) would never be noticed: the kernel probes after `idle` of silence and
// gives up after `probes` unanswered probes `interval` apart.
//
// Keepalive stops probing while sent data waits for its acknowledgement, and
// the kernel then retransmits for about a quarter of an hour before it gives
// up. So the same bound is also the socket's TCP_USER_TIMEOUT: data left
// unacknowledged for that long ends the connection too.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>

namespace sotto {

struct KeepAlive {
  std::chrono::seconds idle{60};
  std::chrono::seconds interval{10};
  int probes = 6;

  // How long a vanished peer goes unnoticed, whether or not data waits.
  std::chrono::seconds bound() const { return idle + interval * probes; }
};

// Failures are ignored: a socket without keepalive still works.
void keepAlive(boost::asio::ip::tcp::socket& socket, const KeepAlive& settings = {});

}  // namespace sotto
