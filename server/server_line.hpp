// A line from the server itself to one session: a packet whose key field is
// the server's own public key (the one every client pins), so that the
// client shows it like any other line, under that key, and nobody else can
// send one like it. Serialized, ready to be queued for the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "proto/bytes.hpp"
#include "proto/handshake.hpp"

namespace sotto {

std::shared_ptr<const Bytes> serverLine(const Key& serverKey, std::string_view text);

// The lines themselves. Times are milliseconds since the epoch; now says
// which day is today, which the times leave out.
std::string missedOpening(std::size_t count, std::int64_t first, std::int64_t last, std::uint64_t older,
                          std::int64_t now);
std::string missedClosing(std::size_t count);
std::string missedIncomplete();
std::string payloadRefused(std::size_t bytes, std::size_t most);

}  // namespace sotto
