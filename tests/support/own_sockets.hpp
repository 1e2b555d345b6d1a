// This process's connected IPv4 TCP sockets, found through /proc/self/fd, so
// that a test can read back the options a library set on a socket it keeps
// to itself.
#pragma once

#include <string>
#include <vector>

namespace own_sockets {

struct Ends {
  int fd = -1;
  std::string ownAddress;
  unsigned short ownPort = 0;
  unsigned short peerPort = 0;
};

// All of them, or only the one on `fd` (none if it is not such a socket).
std::vector<Ends> connected(int fd = -1);

// An int-valued socket option, or -1 when it cannot be read.
int intOption(int fd, int level, int name);

}  // namespace own_sockets
