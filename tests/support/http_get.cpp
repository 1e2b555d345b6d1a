#include "tests/support/http_get.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

std::optional<HttpAnswer> httpGet(const std::string& address, int port, const std::string& path,
                                  std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return std::nullopt;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  std::string text;
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n\r\n";
  bool whole = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
               ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  // The endpoint closes the connection after its one answer.
  for (char chunk[4096]; whole;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) whole = false;
    else if (const ssize_t n = ::read(fd, chunk, sizeof chunk); n > 0) text.append(chunk, static_cast<std::size_t>(n));
    else break;
  }
  ::close(fd);
  const auto end = text.find("\r\n\r\n");
  if (!whole || end == std::string::npos || text.compare(0, 9, "HTTP/1.1 ") != 0) return std::nullopt;
  return HttpAnswer{std::atoi(text.c_str() + 9), text.substr(0, end), text.substr(end + 4)};
}
