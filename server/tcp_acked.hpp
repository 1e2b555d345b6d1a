// What the peer of a TCP socket has acknowledged of what was written to it,
// as the kernel counts it; also after the connection was reset, as long as
// the socket is open.
#pragma once

#include <cstdint>
#include <optional>

namespace sotto {

// Bytes acknowledged since the connection began; nothing if the kernel does
// not say.
std::optional<std::uint64_t> bytesAcknowledged(int fd);

}  // namespace sotto
