// Where the relay sends every packet on once this instance's own sessions
// have it: the other instances of a cluster (Bus), or nowhere.
#pragma once

#include "proto/bytes.hpp"
#include "proto/handshake.hpp"

namespace sotto {

class Onward {
 public:
  virtual ~Onward() = default;
  // On the relaying shard's thread, once per packet, in relay order; never
  // waits. named: the recipient of a Direct; serialized carries the sender
  // in its key field. Returns the packet's seq among this instance's.
  virtual std::uint64_t publish(const Key& named, const Bytes& serialized) = 0;
};

}  // namespace sotto
