// The relay between the keyed sessions, over one or more shards.
//
// Words, each used for this one idea across hub, outbox and session:
// - shard: one I/O thread, its event loop, and the sessions handed to it for
//   their whole life (Shard). A shard's state is touched by its thread
//   alone, so without locks; shards talk to each other only by posting.
// - relay: what happens to a packet a client sent: its key field rewritten
//   to the sender's identity, one serialized copy made and handed to every
//   recipient. A Broadcast goes to every other session, a Direct to every
//   session of the identity named in its key field; empty payloads go
//   nowhere.
// - post: a relayed packet put in another shard's inbox, once per shard;
//   hand out: a shard pushing it into each of its recipients' outboxes.
//   Posts from one thread to another are handed out in the order they were
//   made, so each sender's packets reach every recipient in its order.
// - outbox: one session's outgoing packets, in two lanes (Outbox).
// - quick lane, bulk lane: a packet is quick when it is short and nothing of
//   its sender's waits unsealed in a bulk lane anywhere (decided once, where
//   it is relayed); bulk otherwise. A writer seals its quick packets first,
//   so that a chat line passes another sender's flood of large packets but
//   never its own sender's earlier ones.
// - bulk turn: the right to seal bulk packets, held by one writer of a shard
//   at a time, so that thousands of 64 KiB copies cannot stand between a
//   reader and its next turn.
// - budget: the bytes queued for, or sealed and not yet written to, all
//   sessions together, and its bound (Budget, maxQueuedBytesTotal).
// - feeder: a reader whose next frame, copied to every session, could add
//   much to the queues; while the budget is spent, feeders wait and the
//   others read on.
// - onward: where each packet goes once this instance's sessions have it,
//   the other instances of a cluster (Onward).
// - relay lock (Hub::orderMutex_): with the history on, held to number a
//   message, keep it and post it to the other shards, and by a session
//   joining or leaving, so that what a session was handed is told exactly
//   by the cut at its join and its leave (server/message_id.hpp).
// - catch-up: what a member missed, handed to a session at sign-in ahead of
//   everything live (History).
// - revoked: an identity the operator shut out; it has no session here from
//   the moment the hub hears of it until it is reinstated.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "proto/bytes.hpp"
#include "proto/frame_io.hpp"
#include "proto/handshake.hpp"
#include "proto/packet.hpp"
#include "server/budget.hpp"
#include "server/histogram.hpp"
#include "server/history.hpp"
#include "server/key_hash.hpp"
#include "server/message_id.hpp"
#include "server/onward.hpp"
#include "server/options.hpp"
#include "server/outbox.hpp"
#include "server/stats.hpp"

namespace sotto {

class Hub;
class Shard;

// What a shard needs of each of its sessions (Session); all of it on the
// shard's thread.
class Member {
 public:
  explicit Member(const Key& identity) : identity_(identity) {}
  virtual ~Member() = default;
  Member(const Member&) = delete;
  Member& operator=(const Member&) = delete;

  const Key& identity() const { return identity_; }
  const std::shared_ptr<Sender>& sender() const { return sender_; }

  // Takes one relayed packet into the outbox and sees that it gets written;
  // a client whose outbox is past its bounds is cut off instead.
  virtual void push(const Relayed& relayed) = 0;
  // The end of the relay turn that pushed quick packets for this idle writer
  // (Shard::flushLater).
  virtual void flush() = 0;
  // The writer's turn to seal bulk packets has come (Shard::takeBulkTurn).
  virtual void grantBulkTurn() = 0;
  // Ends the connection; the first reason given is the one logged.
  virtual void close(const std::string& reason) = 0;
  // The messages handed to it that its client's TCP has not acknowledged:
  // what they were at the close once closed, what they are now until then.
  virtual std::vector<MessageId> missed() = 0;

  // Set by its shard at the join, with the history on.
  Shard* shard() const { return shard_; }
  // Where it joined, for its catch-up: the cut then, the jobs the history
  // had taken, and the last session of the same identity to join before it
  // that was still open.
  struct Joining {
    Cut cut;
    std::uint64_t taken = 0;
    std::weak_ptr<Member> beside;
  };
  // Once, by the catch-up: a session holds none of it afterwards (a weak
  // pointer to the other session would keep that one's memory). Null when
  // it has nothing to catch up: the identity never left here before.
  std::unique_ptr<Joining> takeJoining() { return std::move(joining_); }
  bool joining() const { return joining_ != nullptr; }

 protected:
  // The furthest of each origin it was given in its catch-up.
  Cut reached_;
  // Whether its catch-up is in its outbox (Departure::ifFirst).
  bool caughtUp_ = false;

 private:
  friend class Shard;
  const Key identity_;
  const std::shared_ptr<Sender> sender_ = std::make_shared<Sender>();
  // Its place among its shard's sessions, kept by the shard.
  std::size_t slot_ = 0;
  Shard* shard_ = nullptr;
  // The order of its join among the hub's, under the relay lock.
  std::uint64_t joinOrder_ = 0;
  std::unique_ptr<Joining> joining_;
};

class Shard {
 public:
  Shard(Hub& hub, const Limits& limits);
  ~Shard();
  Shard(const Shard&) = delete;
  Shard& operator=(const Shard&) = delete;

  // Runs the event loop on a thread of its own; after letFinish() the
  // thread ends once the work there is done, and waitFinished() waits for
  // that.
  void start();
  void letFinish();
  void waitFinished();
  boost::asio::io_context& io() { return io_; }

  // Any thread.
  Hub& hub() { return hub_; }
  Budget& budget();
  const Counters& stats() const { return stats_; }
  const DurationCounters& fanOut() const { return fanOut_; }

  // All of the rest on this shard's thread only.
  void join(const std::shared_ptr<Member>& session);
  // With the history on, also records where the session departed.
  void leave(Member& session);
  // Its catch-up is handed over: the history records where the session
  // arrived (at the join, for one with nothing to catch up). Not before:
  // the catch-up reads the arrival of the identity's last session, which
  // this one's would replace.
  void arrived(const Member& session);
  // The messages posted here for identity and not yet handed out.
  std::vector<MessageId> postedFor(const Key& identity);
  // Relays one packet opened from from's client.
  void relay(const Member& from, Packet&& packet);
  Counters& stats() { return stats_; }

  // A writer with bulk packets asks for the bulk turn. When it may not yet,
  // it waits in line and is granted it later (Member::grantBulkTurn); it
  // gives the turn back once it has sealed and tried the socket.
  bool takeBulkTurn(Member& writer);
  void giveBulkTurn();
  void forgetBulkWaiter(const Member& writer);

  // Read into by one session at a time, between two of its suspensions.
  Bytes& readBuffer() { return readBuffer_; }
  // Scratch for opening one frame, under the same rule.
  Bytes& plaintext() { return plaintext_; }
  // Scratch for sealing what flushWrites writes, likewise.
  FrameBatch& sealed() { return sealed_; }
  // An idle writer with quick packets, written at the end of this turn
  // (Member::flush): a burst relayed in one turn leaves in one write per
  // recipient, and a broadcast wakes no writer.
  void flushLater(Member& session) { toFlush_.push_back(&session); }
  void flushWrites();
  // Flushes when the turn ends, by return or by exception.
  class FlushAtEnd {
   public:
    explicit FlushAtEnd(Shard& shard) : shard_(shard) {}
    FlushAtEnd(const FlushAtEnd&) = delete;
    FlushAtEnd& operator=(const FlushAtEnd&) = delete;
    ~FlushAtEnd() { shard_.flushWrites(); }

   private:
    Shard& shard_;
  };

 private:
  friend class Hub;
  struct Posted {
    Relayed relayed;
    Key named;
    // A bulk packet keeps its sender's later ones bulk until its copies are
    // in this shard's outboxes.
    BulkHold transit;
  };

  // Pushes one relayed packet into the outbox of each recipient here but
  // from.
  void handOut(const Relayed& relayed, const Key& named, const Member* from);
  // Any thread: puts a packet in this shard's inbox, and wakes this thread
  // once for however many come before it gets to them.
  void post(const Relayed& relayed, const Key& named);
  // On this thread: hands out what was posted, in order, a few at a time.
  void drainInbox();
  void closeAll(const std::string& reason);
  // Closes the sessions of identity here, if it is still revoked.
  void closeRevoked(const Key& identity);

  Hub& hub_;
  const Limits& limits_;
  boost::asio::io_context io_{1};
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::thread thread_;
  // In no order, side by side for the broadcast's walk; each session knows
  // its place (Member::slot_). This thread's; with the history on, changed
  // under the relay lock, under which another shard's join reads them.
  std::vector<std::shared_ptr<Member>> sessions_;
  std::unordered_multimap<Key, Member*, KeyHash> byIdentity_;
  Bytes readBuffer_;
  // Posted to this shard by the others and not yet handed out, under
  // inboxMutex_.
  std::mutex inboxMutex_;
  std::vector<Posted> inbox_;
  bool drainPosted_ = false;
  // This thread's: what drainInbox took from the inbox, handed out up to
  // drainAt_. drainPosted_ stays set until both are empty.
  std::vector<Posted> draining_;
  std::size_t drainAt_ = 0;
  // Writers waiting for the bulk turn, and whether it is free.
  std::deque<Member*> bulkWaiting_;
  bool bulkTurnFree_ = true;
  // Its sessions, for the others to skip it when it has none; any thread.
  std::atomic<std::size_t> size_{0};
  Bytes plaintext_;
  FrameBatch sealed_;
  std::vector<Member*> toFlush_;
  Counters stats_;
  // How long each hand-out to at least one recipient took.
  DurationCounters fanOut_;
};

class Hub {
 public:
  // limits outlive the hub; maxQueuedBytesTotal is read once, here.
  Hub(std::size_t shards, const Limits& limits);
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  std::size_t shards() const { return shards_.size(); }
  Shard& shard(std::size_t index) { return *shards_[index]; }
  // The next shard in turn for a new session.
  Shard& nextShard();
  // Starts every shard's thread; finish() lets them end once their work is
  // done and waits for them.
  void start();
  void finish();

  // Sessions joined on all shards. Read at sign-in, on another thread, so a
  // few sign-ins at the same moment may pass the bound by as many.
  std::size_t size() const { return size_.load(std::memory_order_relaxed); }
  // Every shard's counts, summed; any thread.
  Stats stats() const;
  // Every shard's hand-out times, summed; any thread.
  Durations fanOut() const;
  Budget& budget() { return budget_; }
  const Budget& budget() const { return budget_; }
  // Whether the sender has too much posted to other shards and not yet
  // handed out there, so that its reader waits; any thread.
  bool behind(const Sender& sender) const;
  // Any thread: closes every session, and every one that joins from now on.
  void closeAll(const std::string& reason);
  // Any thread: closes the sessions there are now; later ones stay.
  void closeCurrent(const std::string& reason);
  // Any thread: shuts identity out. Its sessions on every shard close, and
  // so does every one that joins until reinstate(identity).
  void revoke(const Key& identity);
  void reinstate(const Key& identity);
  bool revoked(const Key& identity) const;

  // Set once before the shards start: where every packet relayed here goes
  // once this instance's own sessions had it.
  void setOnward(Onward* onward) { onward_ = onward; }
  // Set once before the shards start, while the bus may already deliver:
  // the history, and the key the lines that frame a catch-up come from.
  void setHistory(History* history, const Key& serverKey) {
    serverKey_ = serverKey;
    history_ = history;
  }
  History* history() const { return history_; }
  // The relay lock, which the history also takes for what the relay hands
  // it: the hub outlives the history, and the bus's thread takes the lock
  // until the bus is gone.
  std::mutex& relayLock() { return orderMutex_; }
  const Key& serverKey() const { return serverKey_; }
  // Any thread: what is read here goes onward faster than it is carried.
  bool onwardPressed() const { return onward_ != nullptr && onward_->pressed(); }
  // One thread at a time, outside the shards: a packet relayed by another
  // instance, serialized with its sender in the key field, for every session
  // here (a Broadcast) or every session of named (a Direct), in each
  // origin's order of seq.
  void relayFromElsewhere(const MessageId& id, const Key& named, const std::shared_ptr<const Bytes>& packet);

 private:
  friend class Shard;
  const Limits& limits_;
  Budget budget_;
  std::vector<std::unique_ptr<Shard>> shards_;
  Onward* onward_ = nullptr;
  // Atomic for the bus's thread, which relays before it is set.
  std::atomic<History*> history_{nullptr};
  Key serverKey_{};
  // The relay lock, and what it guards: how far each origin has been
  // relayed here, this instance's next seq without a bus, the time stamped
  // on the last message kept (never going back), the joins so far, and
  // every shard's sessions and byIdentity_ (changed only under it, read by
  // their own shard without it).
  std::mutex orderMutex_;
  Cut relayed_;
  std::uint64_t* relayedHere_ = nullptr;  // this instance's entry in relayed_
  std::uint64_t nextSeq_ = 0;
  std::int64_t lastAt_ = 0;
  std::uint64_t joins_ = 0;
  // Every other instance's senders, as one: conservative, and in order.
  const std::shared_ptr<Sender> elsewhere_ = std::make_shared<Sender>();
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> size_{0};
  std::atomic<bool> closing_{false};
  std::string closeReason_;  // written before closing_ is set
  // Read at every sign-in and join, written when the operator changes a
  // state: under revokedMutex_.
  mutable std::mutex revokedMutex_;
  std::set<Key> revoked_;
};

}  // namespace sotto
