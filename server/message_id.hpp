// What names one relayed message across a cluster and over time, and the
// marks that say which of them a member had: the words the history, the
// relay and the sessions share.
//
// - origin: the instance that relayed a message first (its bus id in a
//   cluster, a random id per start otherwise);
// - seq: its number among that origin's messages, in the origin's relay
//   order, so each sender's messages rise with it;
// - cut: for each origin, the first seq not yet relayed here at a moment;
//   what lies below it came before that moment;
// - departure: where a member's session ended: the cut then, and the
//   messages below it that its TCP never acknowledged.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "proto/handshake.hpp"

namespace sotto {

using InstanceId = std::array<unsigned char, 16>;

struct MessageId {
  InstanceId origin{};
  std::uint64_t seq = 0;

  auto operator<=>(const MessageId&) const = default;
};

using Cut = std::map<InstanceId, std::uint64_t>;

// Raises each origin of into to at least what from says.
inline void raise(Cut& into, const Cut& from) {
  for (const auto& [origin, next] : from) {
    std::uint64_t& mine = into[origin];
    if (next > mine) mine = next;
  }
}

struct Departure {
  Key identity{};
  std::int64_t at = 0;  // milliseconds since the epoch
  Cut cut;
  std::vector<MessageId> missed;
  // Recorded only when the member has no departure yet: a session that
  // ended before its catch-up was handed over moved an identity seen
  // before on by nothing, but a new one from its very start.
  bool ifFirst = false;
  // The session it ends, by its arrival's number: that arrival is let go.
  std::uint64_t session = 0;
};

// Where and when a member's session began, until it ends: one that stays
// says its session never ended as far as the store knows, because it is
// still open or because its instance was stopped dead. One per identity,
// the newest; session numbers them on their origin.
struct Arrival {
  Key identity{};
  InstanceId origin{};
  std::uint64_t session = 0;
  std::int64_t at = 0;  // milliseconds since the epoch
};

}  // namespace sotto
