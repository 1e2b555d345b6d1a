#include "server/hub.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>

#include "server/wall_clock.hpp"

namespace sotto {

namespace {

// Whether a catch-up would give this packet to identity: a Broadcast of
// someone else's, or a Direct to it.
bool bound(const Bytes& packet, const Key& named, const Key& identity) {
  if (packet[0] == Direct) return named == identity;
  return !std::equal(identity.begin(), identity.end(), packet.begin() + Packet::keyOffset);
}

// The reason each closed session logs.
constexpr const char* kRevokedReason = "identity revoked";

}  // namespace

Hub::Hub(std::size_t shards, const Limits& limits) : limits_(limits), budget_(limits.maxQueuedBytesTotal) {
  for (std::size_t i = 0; i < std::max<std::size_t>(shards, 1); ++i)
    shards_.push_back(std::make_unique<Shard>(*this, limits));
}

Shard& Hub::nextShard() { return *shards_[next_.fetch_add(1, std::memory_order_relaxed) % shards_.size()]; }

void Hub::start() {
  for (auto& shard : shards_) shard->start();
}

void Hub::finish() {
  for (auto& shard : shards_) shard->letFinish();
  for (auto& shard : shards_) shard->waitFinished();
}

Durations Hub::fanOut() const {
  Durations sum;
  for (const auto& shard : shards_) sum += static_cast<const Shard&>(*shard).fanOut().read();
  return sum;
}

Stats Hub::stats() const {
  Stats sum;
  for (const auto& shard : shards_) sum += static_cast<const Shard&>(*shard).stats().read();
  return sum;
}

void Hub::closeCurrent(const std::string& reason) {
  for (auto& shard : shards_)
    boost::asio::post(shard->io_, [shard = shard.get(), reason] { shard->closeAll(reason); });
}

void Hub::closeAll(const std::string& reason) {
  if (closing_.load()) return;
  closeReason_ = reason;
  closing_.store(true);
  closeCurrent(reason);
}

void Hub::revoke(const Key& identity) {
  {
    const std::lock_guard lock(revokedMutex_);
    if (!revoked_.insert(identity).second) return;
  }
  // A session that joins a shard after this point finds it revoked there;
  // one that joined before is closed by this post, which comes after it.
  for (auto& shard : shards_)
    boost::asio::post(shard->io_, [shard = shard.get(), identity] { shard->closeRevoked(identity); });
}

void Hub::reinstate(const Key& identity) {
  const std::lock_guard lock(revokedMutex_);
  revoked_.erase(identity);
}

bool Hub::revoked(const Key& identity) const {
  const std::lock_guard lock(revokedMutex_);
  return revoked_.contains(identity);
}

void Hub::relayFromElsewhere(const MessageId& id, const Key& named, const std::shared_ptr<const Bytes>& packet) {
  if (packet->size() <= Packet::headerSize) return;
  if ((*packet)[0] != Broadcast && (*packet)[0] != Direct) return;
  History* const history = history_;
  const Relayed relayed{packet, laneFor(packet->size(), *elsewhere_, limits_), elsewhere_, id, history != nullptr};
  std::unique_lock<std::mutex> order;
  if (history) {
    order = std::unique_lock(orderMutex_);
    std::uint64_t& next = relayed_[id.origin];
    next = std::max(next, id.seq + 1);
  }
  for (auto& shard : shards_)
    if (shard->size_.load(std::memory_order_relaxed) > 0) shard->post(relayed, named);
}

bool Hub::behind(const Sender& sender) const {
  return sender.postedPackets.load(std::memory_order_relaxed) > limits_.maxPostedPacketsPerSender ||
         sender.postedBytes.load(std::memory_order_relaxed) > limits_.maxPostedBytesPerSender;
}

Shard::Shard(Hub& hub, const Limits& limits) : hub_(hub), limits_(limits), readBuffer_(limits.readBufferBytes) {}

Shard::~Shard() {
  letFinish();
  waitFinished();
}

void Shard::start() {
  work_.emplace(io_.get_executor());
  thread_ = std::thread([this] { io_.run(); });
}

void Shard::letFinish() { work_.reset(); }

void Shard::waitFinished() {
  if (thread_.joinable()) thread_.join();
}

Budget& Shard::budget() { return hub_.budget_; }

void Shard::join(const std::shared_ptr<Member>& session) {
  std::unique_lock<std::mutex> order;
  if (History* history = hub_.history_) {
    order = std::unique_lock(hub_.orderMutex_);
    session->shard_ = this;
    session->joinOrder_ = ++hub_.joins_;
    const Member* beside = nullptr;
    for (const auto& shard : hub_.shards_) {
      const auto [first, last] = shard->byIdentity_.equal_range(session->identity());
      for (auto it = first; it != last; ++it)
        if (!beside || it->second->joinOrder_ > beside->joinOrder_) beside = it->second;
    }
    // A departure is handed over under this lock, so one that came before
    // this join is seen here.
    if (beside || history->mayHaveMissed(session->identity())) {
      auto joining = std::make_unique<Member::Joining>(Member::Joining{hub_.relayed_, history->taken(), {}});
      if (beside) joining->beside = beside->shard_->sessions_[beside->slot_];
      session->joining_ = std::move(joining);
    }
    if (!session->joining_) history->arrive(session->identity(), session->joinOrder_, wallMs());
  }
  session->slot_ = sessions_.size();
  sessions_.push_back(session);
  byIdentity_.emplace(session->identity(), session.get());
  hub_.size_.fetch_add(1, std::memory_order_relaxed);
  size_.fetch_add(1, std::memory_order_relaxed);
  stats_.add(Count::sessions);
  stats_.add(Count::signIns);
  // Handed over after the close-all reached this thread.
  if (hub_.closing_.load()) session->close(hub_.closeReason_);
  // Admitted before its identity was revoked, and joined after the
  // revocation's closing ran here.
  else if (hub_.revoked(session->identity())) session->close(kRevokedReason);
}

void Shard::leave(Member& session) {
  std::unique_lock<std::mutex> order;
  Departure departure;
  if (hub_.history_) {
    // Its own part first, outside the relay lock: nothing is handed to it
    // meanwhile, since only this thread hands out to this shard's sessions.
    departure.ifFirst = !session.caughtUp_;
    departure.identity = session.identity();
    departure.session = session.joinOrder_;
    raise(departure.cut, session.reached_);
    departure.missed = session.missed();
    order = std::unique_lock(hub_.orderMutex_);
    // Everything below this cut was handed to it, or waits in this shard's
    // inbox, or came before its join.
    raise(departure.cut, hub_.relayed_);
    const std::vector<MessageId> posted = postedFor(session.identity());
    departure.missed.insert(departure.missed.end(), posted.begin(), posted.end());
  }
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
    stats_.subtract(Count::sessions);
  }
  History* const history = hub_.history_;
  if (!history) return;
  departure.at = wallMs();
  // Handed over before the relay lock is let go: a session of the same
  // identity that joins after this leave then counts the departure among
  // the jobs its catch-up waits for, and never reads an older one instead.
  history->depart(std::move(departure));
}

void Shard::arrived(const Member& session) {
  History* const history = hub_.history_;
  if (!history) return;
  const std::lock_guard order(hub_.orderMutex_);
  history->arrive(session.identity(), session.joinOrder_, wallMs());
}

std::vector<MessageId> Shard::postedFor(const Key& identity) {
  std::vector<MessageId> ids;
  const auto add = [&](const Posted& p) {
    if (p.relayed.numbered && bound(*p.relayed.packet, p.named, identity)) ids.push_back(p.relayed.id);
  };
  for (std::size_t i = drainAt_; i < draining_.size(); ++i) add(draining_[i]);
  const std::lock_guard lock(inboxMutex_);
  for (const Posted& p : inbox_) add(p);
  return ids;
}

void Shard::relay(const Member& from, Packet&& packet) {
  stats_.add(Count::packetsIn);
  if (packet.payload.empty()) return;
  if (packet.type != Broadcast && packet.type != Direct) return;
  // The recipient of a Direct is named in the key field, which then carries
  // the sender like every relayed packet.
  const Key named = packet.key;
  packet.key = from.identity();
  // One serialized copy, shared by every recipient's outbox on every shard.
  Relayed relayed{std::make_shared<const Bytes>(packet.serialize()), Lane::quick, from.sender()};
  relayed.lane = laneFor(relayed.packet->size(), *from.sender(), limits_);
  if (History* history = hub_.history_) {
    {
      // Numbered, kept and posted in one step, so that every shard's inbox
      // holds this origin's messages in the order of their seq.
      const std::lock_guard order(hub_.orderMutex_);
      const std::optional<std::uint64_t> seq =
          hub_.onward_ ? hub_.onward_->publish(named, *relayed.packet) : hub_.nextSeq_++;
      if (seq) {
        relayed.numbered = true;
        relayed.id = {history->origin(), *seq};
        // Its own entry is found once: a map's entries stay where they are.
        if (!hub_.relayedHere_) hub_.relayedHere_ = &hub_.relayed_[relayed.id.origin];
        *hub_.relayedHere_ = *seq + 1;
        hub_.lastAt_ = std::max(hub_.lastAt_, wallMs());
        history->keep(relayed.id, hub_.lastAt_, named, *relayed.packet);
      } else {
        stats_.add(Count::directsToNobody);
      }
      for (auto& other : hub_.shards_)
        if (other.get() != this && other->size_.load(std::memory_order_relaxed) > 0) other->post(relayed, named);
    }
    handOut(relayed, named, &from);
    return;
  }
  // The other shards first: a short packet is written here at once to
  // every idle recipient, and they need not wait for that.
  for (auto& other : hub_.shards_) {
    if (other.get() == this || other->size_.load(std::memory_order_relaxed) == 0) continue;
    other->post(relayed, named);
  }
  handOut(relayed, named, &from);
  // After every session here has it: they never wait on what lies onward.
  // One call per packet from this thread, in relay order, keeps each
  // sender's order.
  if (hub_.onward_ && !hub_.onward_->publish(named, *relayed.packet)) stats_.add(Count::directsToNobody);
}

void Shard::post(const Relayed& relayed, const Key& named) {
  Sender& sender = *relayed.sender;
  sender.postedPackets.fetch_add(1, std::memory_order_relaxed);
  sender.postedBytes.fetch_add(relayed.packet->size(), std::memory_order_relaxed);
  // Taken before the post, so that the sender's count cannot reach zero
  // while a bulk copy is on its way here.
  BulkHold transit = relayed.lane == Lane::bulk ? BulkHold(relayed.sender) : BulkHold();
  const std::lock_guard lock(inboxMutex_);
  inbox_.push_back({relayed, named, std::move(transit)});
  if (drainPosted_) return;
  drainPosted_ = true;
  boost::asio::post(io_, [this] { drainInbox(); });
}

void Shard::flushWrites() {
  for (Member* session : toFlush_) session->flush();
  toFlush_.clear();
}

// A few packets per turn of the event loop, as a reader relays them, so that
// the writers they woke drain them before the next few come.
void Shard::drainInbox() {
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
  for (const std::size_t end = std::min(drainAt_ + limits_.handedOutPerTurn, draining_.size()); drainAt_ < end;
       ++drainAt_) {
    Posted& p = draining_[drainAt_];
    handOut(p.relayed, p.named, nullptr);
    p.transit.release();
    p.relayed.sender->postedPackets.fetch_sub(1, std::memory_order_relaxed);
    p.relayed.sender->postedBytes.fetch_sub(p.relayed.packet->size(), std::memory_order_relaxed);
  }
  boost::asio::post(io_, [this] { drainInbox(); });
}

void Shard::handOut(const Relayed& relayed, const Key& named, const Member* from) {
  // Timed only when someone gets it: a sender alone pays for no clock.
  const auto timed = [this](auto&& handOutAll) {
    const auto start = std::chrono::steady_clock::now();
    handOutAll();
    fanOut_.observe(std::chrono::steady_clock::now() - start);
  };
  if ((*relayed.packet)[0] == Broadcast) {
    if (sessions_.size() <= (from ? 1u : 0u)) return;
    timed([&] {
      for (std::size_t i = 0; i < sessions_.size(); ++i) {
        // Thousands of sessions far apart in memory: fetch a few ahead.
        if (i + 4 < sessions_.size()) __builtin_prefetch(sessions_[i + 4].get());
        Member* session = sessions_[i].get();
        if (session != from) session->push(relayed);
      }
    });
  } else {
    const auto range = byIdentity_.equal_range(named);
    if (range.first == range.second) return;
    timed([&] {
      for (auto it = range.first; it != range.second; ++it) it->second->push(relayed);
    });
  }
}

bool Shard::takeBulkTurn(Member& writer) {
  if (bulkTurnFree_ && bulkWaiting_.empty()) {
    bulkTurnFree_ = false;
    return true;
  }
  bulkWaiting_.push_back(&writer);
  return false;
}

void Shard::giveBulkTurn() {
  if (!bulkWaiting_.empty()) {
    Member* next = bulkWaiting_.front();
    bulkWaiting_.pop_front();
    next->grantBulkTurn();
    return;
  }
  // Free again only after everything queued on this thread now has run:
  // writers woken meanwhile wait in line for it, instead of each taking it
  // in turn within one pass of the event loop.
  boost::asio::post(io_, [this] {
    if (bulkWaiting_.empty())
      bulkTurnFree_ = true;
    else
      giveBulkTurn();
  });
}

void Shard::forgetBulkWaiter(const Member& writer) {
  const auto it = std::find(bulkWaiting_.begin(), bulkWaiting_.end(), &writer);
  if (it != bulkWaiting_.end()) bulkWaiting_.erase(it);
}

void Shard::closeAll(const std::string& reason) {
  for (const auto& session : sessions_) session->close(reason);
}

void Shard::closeRevoked(const Key& identity) {
  // Reinstated meanwhile: the sessions that joined since stay.
  if (!hub_.revoked(identity)) return;
  std::vector<Member*> closing;
  auto [first, last] = byIdentity_.equal_range(identity);
  for (auto it = first; it != last; ++it) closing.push_back(it->second);
  for (Member* session : closing) session->close(kRevokedReason);
}

}  // namespace sotto
