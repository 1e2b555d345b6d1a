#include "server/hub.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "server/bus.hpp"
#include "server/session.hpp"

namespace sotto {

namespace {
// Packets, and bytes, of one sender that may be on their way to other
// threads: about what a reader hands to the relay in one turn.
constexpr std::size_t kMaxInbound = 128;
constexpr std::size_t kMaxInboundBytes = 256 * 1024;
constexpr std::size_t kDrainedPerTurn = 64;
}  // namespace

Hub::Hub(std::size_t threads, std::uint64_t maxBufferedBytes) : maxBufferedBytes_(maxBufferedBytes) {
  for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) parts_.push_back(std::make_unique<Part>(*this));
}

void Hub::closeCurrent(const std::string& reason) {
  for (auto& part : parts_) boost::asio::post(part->io_, [part = part.get(), reason] { part->closeAll(reason); });
}

void Hub::deliverFromBus(const Key& named, const std::shared_ptr<const Bytes>& packet) {
  if (packet->size() <= Packet::headerSize) return;
  const std::uint8_t type = (*packet)[0];
  if (type != Broadcast && type != Direct) return;
  for (auto& part : parts_)
    if (part->size_.load(std::memory_order_relaxed) > 0) part->post(packet, type, named, fromBus_);
}

Hub::Part& Hub::nextPart() { return *parts_[next_.fetch_add(1, std::memory_order_relaxed) % parts_.size()]; }

void Hub::closeAll(const std::string& reason) {
  if (closing_.load()) return;
  closeReason_ = reason;
  closing_.store(true);
  for (auto& part : parts_) boost::asio::post(part->io_, [part = part.get(), reason] { part->closeAll(reason); });
}

void Hub::Part::join(const std::shared_ptr<Session>& session) {
  sessions_.emplace(session.get(), session);
  byIdentity_.emplace(session->identity(), session.get());
  hub_.size_.fetch_add(1, std::memory_order_relaxed);
  size_.fetch_add(1, std::memory_order_relaxed);
  // Handed over after the close-all reached this thread.
  if (hub_.closing_.load()) session->close(hub_.closeReason_);
}

void Hub::Part::leave(const Session& session) {
  auto [first, last] = byIdentity_.equal_range(session.identity());
  for (auto it = first; it != last; ++it) {
    if (it->second == &session) {
      byIdentity_.erase(it);
      break;
    }
  }
  if (sessions_.erase(&session) > 0) {
    hub_.size_.fetch_sub(1, std::memory_order_relaxed);
    size_.fetch_sub(1, std::memory_order_relaxed);
  }
}

void Hub::Part::relay(const Session& from, Packet&& packet) {
  hub_.packetsReceived_.fetch_add(1, std::memory_order_relaxed);
  if (packet.payload.empty()) return;
  if (packet.type != Broadcast && packet.type != Direct) return;
  // The recipient of a Direct is named in the key field, which then carries
  // the sender like every relayed packet.
  const Key named = packet.key;
  packet.key = from.identity();
  // One serialized copy, shared by every recipient's queue on every thread.
  const auto serialized = std::make_shared<const Bytes>(packet.serialize());
  const std::uint8_t type = packet.type;
  deliver(serialized, type, named, &from);
  for (auto& other : hub_.parts_) {
    if (other.get() == this || other->size_.load(std::memory_order_relaxed) == 0) continue;
    other->post(serialized, type, named, from.inFlight());
  }
  // After every session here has it: they never wait on the bus. One call
  // per packet from this thread, in relay order, keeps each sender's order.
  if (hub_.bus_) hub_.bus_->publish(named, *serialized);
}

void Hub::Part::post(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
                     const std::shared_ptr<InFlight>& sender) {
  sender->packets.fetch_add(1, std::memory_order_relaxed);
  sender->bytes.fetch_add(packet->size(), std::memory_order_relaxed);
  const std::lock_guard lock(inboxMutex_);
  inbox_.push_back({packet, type, named, sender});
  if (drainPosted_) return;
  drainPosted_ = true;
  boost::asio::post(io_, [this] { drainInbox(); });
}

// A few packets per turn of the event loop, as a reader relays them, so that
// the writers they woke drain them before the next few come.
void Hub::Part::drainInbox() {
  if (drainAt_ == draining_.size()) {
    draining_.clear();
    drainAt_ = 0;
    const std::lock_guard lock(inboxMutex_);
    draining_.swap(inbox_);
    if (draining_.empty()) {
      drainPosted_ = false;
      return;
    }
  }
  for (const std::size_t end = std::min(drainAt_ + kDrainedPerTurn, draining_.size()); drainAt_ < end; ++drainAt_) {
    const Posted& p = draining_[drainAt_];
    deliver(p.packet, p.type, p.named, nullptr);
    p.sender->packets.fetch_sub(1, std::memory_order_relaxed);
    p.sender->bytes.fetch_sub(p.packet->size(), std::memory_order_relaxed);
  }
  boost::asio::post(io_, [this] { drainInbox(); });
}

bool Hub::InFlight::behind() const {
  return packets.load(std::memory_order_relaxed) > kMaxInbound || bytes.load(std::memory_order_relaxed) > kMaxInboundBytes;
}

void Hub::Part::deliver(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
                        const Session* from) {
  if (type == Broadcast) {
    for (const auto& [session, owner] : sessions_)
      if (session != from) owner->deliver(packet);
    return;
  }
  auto [first, last] = byIdentity_.equal_range(named);
  for (auto it = first; it != last; ++it) it->second->deliver(packet);
}

void Hub::Part::closeAll(const std::string& reason) {
  for (const auto& [session, owner] : sessions_) owner->close(reason);
}

}  // namespace sotto
