// Plain TCP listeners on port 8081 for tests that need less than a peer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

// A listener on address:8081, or -1; sa receives its address.
inline int rawListener(const char* address, int backlog, sockaddr_in& sa) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;  // an earlier run's connections may linger in TIME_WAIT
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(8081);
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A listener on address:8081 whose backlog is full, so that it drops the SYNs
// of any further connection: a connect to it never completes.
class SynSink {
 public:
  explicit SynSink(const char* address) : listener_(rawListener(address, 0, sa_)) {
    for (int i = 0; listener_ >= 0 && i < 4; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&sa_), sizeof sa_);
      fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~SynSink() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  SynSink(const SynSink&) = delete;
  SynSink& operator=(const SynSink&) = delete;
  bool ok() const { return listener_ >= 0; }

 private:
  sockaddr_in sa_{};
  int listener_;
  std::vector<int> fillers_;
};
