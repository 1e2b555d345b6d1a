#include "server/hub.hpp"

#include "server/session.hpp"

namespace sotto {

void Hub::join(const std::shared_ptr<Session>& session) {
  sessions_.emplace(session.get(), session);
  byIdentity_.emplace(session->identity(), session.get());
}

void Hub::leave(const Session& session) {
  auto [first, last] = byIdentity_.equal_range(session.identity());
  for (auto it = first; it != last; ++it) {
    if (it->second == &session) {
      byIdentity_.erase(it);
      break;
    }
  }
  sessions_.erase(&session);
}

void Hub::relay(const Session& from, Packet&& packet) {
  // Only this thread writes it, so a plain store of the next value will do.
  packetsReceived_.store(packetsReceived_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (packet.payload.empty()) return;
  if (packet.type != Broadcast && packet.type != Direct) return;
  // The recipient of a Direct is named in the key field, which then carries
  // the sender like every relayed packet.
  const Key named = packet.key;
  packet.key = from.identity();
  // One serialized copy, shared by every recipient's queue.
  const auto serialized = std::make_shared<const Bytes>(packet.serialize());
  if (packet.type == Broadcast) {
    for (const auto& [session, owner] : sessions_)
      if (session != &from) owner->deliver(serialized);
    return;
  }
  auto [first, last] = byIdentity_.equal_range(named);
  for (auto it = first; it != last; ++it) it->second->deliver(serialized);
}

void Hub::closeAll(const std::string& reason) {
  for (const auto& [session, owner] : sessions_) owner->close(reason);
}

}  // namespace sotto
