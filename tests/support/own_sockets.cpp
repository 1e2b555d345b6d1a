#include "tests/support/own_sockets.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>

#include <cstdlib>

namespace own_sockets {

namespace {
void addIfConnected(int fd, std::vector<Ends>& found) {
  sockaddr_in own{}, peer{};
  socklen_t ownSize = sizeof own, peerSize = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownSize) != 0 || own.sin_family != AF_INET ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
    return;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &own.sin_addr, text, sizeof text);
  found.push_back({fd, text, ntohs(own.sin_port), ntohs(peer.sin_port)});
}
}  // namespace

std::vector<Ends> connected(int fd) {
  std::vector<Ends> found;
  if (fd >= 0) {
    addIfConnected(fd, found);
    return found;
  }
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (const dirent* entry = readdir(dir))
    if (const int each = std::atoi(entry->d_name); each > 2) addIfConnected(each, found);
  closedir(dir);
  return found;
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  return getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
}

}  // namespace own_sockets
