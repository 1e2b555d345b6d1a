// Plain sockets on loopback for tests that need less than a peer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

// A socket of the type bound to address:port, listening when it is a stream
// socket; or -1. sa receives the address.
inline int boundSocket(const char* address, int type, int backlog, sockaddr_in& sa, int port = 8081) {
  const int fd = ::socket(AF_INET, type, 0);
  const int one = 1;  // an earlier run's connections may linger in TIME_WAIT
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, backlog) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A listener on address:8081 whose backlog is full, so that it drops the SYNs
// of any further connection: a connect to it never completes.
struct SynSink {
  explicit SynSink(const char* address) : fds{boundSocket(address, SOCK_STREAM, 0, sa)} {
    for (int i = 0; fds[0] >= 0 && i < 4; ++i) {
      fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      ::connect(fds.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~SynSink() {
    for (int fd : fds) ::close(fd);
  }
  bool ok() const { return fds[0] >= 0; }
  sockaddr_in sa{};
  std::vector<int> fds;  // the listener, then the connections that fill its backlog
};
