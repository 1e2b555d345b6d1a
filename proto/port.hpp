// The one port sotto speaks on: the client always dials it, the server
// always listens on it.
#pragma once

namespace sotto {
inline constexpr unsigned short kServerPort = 8081;
}  // namespace sotto
