// This process's connected TCP sockets, found through /proc/self/fd, so that
// a test can read back the options a library set on a socket it keeps to
// itself.
//
//   for (const auto& s : own_sockets::connected())
//     if (s.peerPort == 8081) EXPECT_EQ(own_sockets::intOption(s.fd, SOL_SOCKET, SO_KEEPALIVE), 1);
#pragma once

#include <string>
#include <vector>

namespace own_sockets {

struct Ends {
  int fd = -1;
  std::string ownAddress;
  unsigned short ownPort = 0;
  std::string peerAddress;
  unsigned short peerPort = 0;
};

// The IPv4 ones.
std::vector<Ends> connected();

// An int-valued socket option, or -1 when it cannot be read.
int intOption(int fd, int level, int name);

}  // namespace own_sockets
