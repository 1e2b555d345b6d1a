// Where the relay sends every packet on once this instance's own sessions
// have it: the other instances of a cluster (Bus), or nowhere.
#pragma once

#include <cstdint>
#include <optional>

#include "proto/bytes.hpp"
#include "proto/handshake.hpp"

namespace sotto {

class Onward {
 public:
  virtual ~Onward() = default;
  // On the relaying shard's thread, once per packet, in relay order; never
  // waits. named: the recipient of a Direct; serialized carries the sender
  // in its key field. The packet's seq among this instance's relayed
  // packets; nothing when it goes nowhere: a Direct to an identity that is
  // not registered.
  virtual std::optional<std::uint64_t> publish(const Key& named, const Bytes& serialized) = 0;
  // Any thread: while it holds, readers take nothing more in, since all
  // they read goes onward, faster than it is carried.
  virtual bool pressed() const = 0;
};

}  // namespace sotto
