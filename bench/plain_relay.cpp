#include "bench/plain_relay.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "proto/bytes.hpp"

namespace bench::plain {

namespace {

bool readAll(int fd, unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void noDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

bool writeFrame(int fd, const std::vector<unsigned char>& body) {
  unsigned char lengthWord[4];
  sotto::putU32be(lengthWord, static_cast<std::uint32_t>(body.size()));
  iovec parts[2] = {{lengthWord, sizeof lengthWord}, {const_cast<unsigned char*>(body.data()), body.size()}};
  std::size_t left = sizeof lengthWord + body.size();
  int first = 0;
  while (left > 0) {
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = static_cast<std::size_t>(2 - first);
    // A vanished reader must fail the write, not raise SIGPIPE.
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    left -= static_cast<std::size_t>(n);
    for (std::size_t done = static_cast<std::size_t>(n); done > 0 && first < 2;) {
      const std::size_t step = std::min(done, parts[first].iov_len);
      parts[first].iov_base = static_cast<unsigned char*>(parts[first].iov_base) + step;
      parts[first].iov_len -= step;
      done -= step;
      if (parts[first].iov_len == 0) ++first;
    }
  }
  return true;
}

bool readFrame(int fd, std::vector<unsigned char>& body) {
  unsigned char lengthWord[4];
  if (!readAll(fd, lengthWord, sizeof lengthWord)) return false;
  body.resize(sotto::getU32be(lengthWord));
  return readAll(fd, body.data(), body.size());
}

Relay::Relay(const std::string& address, bool forward) : forward_(forward) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  socklen_t size = sizeof at;
  if (listener < 0 || ::inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener, 2) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    if (listener >= 0) ::close(listener);
    return;
  }
  auto dial = [&](int& client, int& relayEnd) {
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
    relayEnd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    noDelay(client);
    if (relayEnd >= 0) noDelay(relayEnd);
  };
  dial(a_, relayA_);
  dial(b_, relayB_);
  ::close(listener);
  if (relayA_ < 0 || relayB_ < 0) {
    for (int* fd : {&a_, &b_, &relayA_, &relayB_})
      if (*fd >= 0) ::close(std::exchange(*fd, -1));
    return;
  }
  thread_ = std::thread([this] { run(); });
}

void Relay::hangUp() {
  for (int fd : {a_, b_})
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

Relay::~Relay() {
  hangUp();
  if (thread_.joinable()) thread_.join();
  for (int fd : {a_, b_, relayA_, relayB_})
    if (fd >= 0) ::close(fd);
}

void Relay::run() {
  std::vector<unsigned char> body;
  pollfd ends[2] = {{relayA_, POLLIN, 0}, {relayB_, POLLIN, 0}};
  for (;;) {
    if (::poll(ends, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (ends[i].revents == 0) continue;
      if (!readFrame(ends[i].fd, body) || (forward_ && !writeFrame(ends[1 - i].fd, body))) return;
      relayed_.store(relayed_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }
}

}  // namespace bench::plain
