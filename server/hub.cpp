#include "server/hub.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "server/bus.hpp"
#include "server/session.hpp"

namespace sotto {

Hub::Part::FlushAtEnd::~FlushAtEnd() { part_.flushWrites(); }

namespace {
// Packets, and bytes, of one sender that may be on their way to other
// threads: about what a reader hands to the relay in one turn.
constexpr std::size_t kMaxInbound = 128;
constexpr std::size_t kMaxInboundBytes = 256 * 1024;
constexpr std::size_t kDrainedPerTurn = 64;
// A packet this long or shorter can be quick: a chat line, not a file.
constexpr std::size_t kQuickBytes = 4096;
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
  // Every instance's senders share one count here: conservative, and in order.
  const bool isQuick = quick(packet->size(), *fromBus_);
  for (auto& part : parts_)
    if (part->size_.load(std::memory_order_relaxed) > 0) part->post(packet, type, named, fromBus_, isQuick);
}

bool Hub::busPressed() const { return bus_ != nullptr && bus_->pressed(); }

bool Hub::quick(std::size_t bytes, const InFlight& sender) {
  return bytes <= kQuickBytes && sender.bulk.load(std::memory_order_relaxed) == 0;
}

Hub::Part& Hub::nextPart() { return *parts_[next_.fetch_add(1, std::memory_order_relaxed) % parts_.size()]; }

void Hub::closeAll(const std::string& reason) {
  if (closing_.load()) return;
  closeReason_ = reason;
  closing_.store(true);
  closeCurrent(reason);
}

void Hub::Part::join(const std::shared_ptr<Session>& session) {
  session->slot_ = sessions_.size();
  sessions_.push_back(session);
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
  if (const std::size_t slot = session.slot_; slot < sessions_.size() && sessions_[slot].get() == &session) {
    sessions_[slot] = std::move(sessions_.back());
    sessions_[slot]->slot_ = slot;
    sessions_.pop_back();
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
  const std::shared_ptr<InFlight>& sender = from.inFlight();
  // Every earlier bulk packet of this sender is sealed everywhere, or this
  // one goes bulk behind them.
  const bool isQuick = quick(serialized->size(), *sender);
  // The other threads first: a short packet is written here at once to
  // every idle recipient, and they need not wait for that.
  for (auto& other : hub_.parts_) {
    if (other.get() == this || other->size_.load(std::memory_order_relaxed) == 0) continue;
    other->post(serialized, type, named, sender, isQuick);
  }
  deliver(serialized, type, named, &from, sender, isQuick);
  // After every session here has it: they never wait on the bus. One call
  // per packet from this thread, in relay order, keeps each sender's order.
  if (hub_.bus_) hub_.bus_->publish(named, *serialized);
}

void Hub::Part::post(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
                     const std::shared_ptr<InFlight>& sender, bool quick) {
  sender->packets.fetch_add(1, std::memory_order_relaxed);
  sender->bytes.fetch_add(packet->size(), std::memory_order_relaxed);
  // Held until this thread has queued its copies, so that the count cannot
  // reach zero while a bulk copy is on its way here.
  if (!quick) sender->bulk.fetch_add(1, std::memory_order_relaxed);
  const std::lock_guard lock(inboxMutex_);
  inbox_.push_back({packet, type, named, sender, quick});
  if (drainPosted_) return;
  drainPosted_ = true;
  boost::asio::post(io_, [this] { drainInbox(); });
}

void Hub::Part::flushWrites() {
  for (Session* session : toFlush_) session->flush();
  toFlush_.clear();
}

// A few packets per turn of the event loop, as a reader relays them, so that
// the writers they woke drain them before the next few come.
void Hub::Part::drainInbox() {
  const FlushAtEnd flush(*this);
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
    deliver(p.packet, p.type, p.named, nullptr, p.sender, p.quick);
    if (!p.quick) p.sender->bulk.fetch_sub(1, std::memory_order_relaxed);
    p.sender->packets.fetch_sub(1, std::memory_order_relaxed);
    p.sender->bytes.fetch_sub(p.packet->size(), std::memory_order_relaxed);
  }
  boost::asio::post(io_, [this] { drainInbox(); });
}

bool Hub::InFlight::behind() const {
  return packets.load(std::memory_order_relaxed) > kMaxInbound || bytes.load(std::memory_order_relaxed) > kMaxInboundBytes;
}

void Hub::Part::deliver(const std::shared_ptr<const Bytes>& packet, std::uint8_t type, const Key& named,
                        const Session* from, const std::shared_ptr<InFlight>& sender, bool quick) {
  const std::shared_ptr<InFlight>* bulkSender = quick ? nullptr : &sender;
  std::size_t bulk = 0;
  if (type == Broadcast) {
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
      // Thousands of sessions far apart in memory: fetch a few ahead.
      if (i + 4 < sessions_.size()) __builtin_prefetch(sessions_[i + 4].get());
      Session* session = sessions_[i].get();
      if (session != from) bulk += session->deliver(packet, bulkSender) && !quick;
    }
  } else {
    auto [first, last] = byIdentity_.equal_range(named);
    for (auto it = first; it != last; ++it) bulk += it->second->deliver(packet, bulkSender) && !quick;
  }
  // Once for all the copies: their writers run on this thread, after this.
  if (bulk > 0) sender->bulk.fetch_add(bulk, std::memory_order_relaxed);
}

bool Hub::Part::takeBulkTurn(Session& writer) {
  if (bulkTurnFree_ && bulkWaiting_.empty()) {
    bulkTurnFree_ = false;
    return true;
  }
  bulkWaiting_.push_back(&writer);
  return false;
}

void Hub::Part::giveBulkTurn() {
  if (!bulkWaiting_.empty()) {
    Session* next = bulkWaiting_.front();
    bulkWaiting_.pop_front();
    next->grantBulkTurn();
    return;
  }
  // Free again only after everything queued on this thread now has run:
  // writers woken meanwhile queue for it, instead of each taking it in turn
  // within one pass of the event loop.
  boost::asio::post(io_, [this] {
    if (bulkWaiting_.empty())
      bulkTurnFree_ = true;
    else
      giveBulkTurn();
  });
}

void Hub::Part::forgetBulkWaiter(const Session& writer) {
  const auto it = std::find(bulkWaiting_.begin(), bulkWaiting_.end(), &writer);
  if (it != bulkWaiting_.end()) bulkWaiting_.erase(it);
}

void Hub::Part::closeAll(const std::string& reason) {
  for (const auto& session : sessions_) session->close(reason);
}

}  // namespace sotto
