#include "server/hub.hpp"

#include "server/bus.hpp"
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
  deliver(serialized, packet.type, named, &from);
  // After the sessions here: they never wait on the bus.
  if (bus_) bus_->publish(named, *serialized);
}

void Hub::deliverFromBus(const Key& named, const std::shared_ptr<const Bytes>& packet) {
  if (packet->size() <= Packet::headerSize) return;
  const std::uint8_t type = (*packet)[0];
  if (type == Broadcast || type == Direct) deliver(packet, type, named, nullptr);
}

void Hub::deliver(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
                  const Session* from) {
  if (type == Broadcast) {
    for (const auto& [session, owner] : sessions_)
      if (session != from) owner->deliver(packet);
    return;
  }
  auto [first, last] = byIdentity_.equal_range(named);
  for (auto it = first; it != last; ++it) it->second->deliver(packet);
}

void Hub::closeAll(const std::string& reason) {
  for (const auto& [session, owner] : sessions_) owner->close(reason);
}

}  // namespace sotto
