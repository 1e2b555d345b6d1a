// Apart from the rest: the kernel's tcp_info has the field, the C library's
// copy of it does not, and the two headers cannot meet.
#include "server/tcp_acked.hpp"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace sotto {

std::optional<std::uint64_t> bytesAcknowledged(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
    return std::nullopt;
  return info.tcpi_bytes_acked;
}

}  // namespace sotto
