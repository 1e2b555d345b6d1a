// One session's outgoing packets: the quick and bulk lanes, the bytes they
// hold, the bounds on them, and the sealing of them for the client. The one
// place that charges and discharges the server-wide budget, and the one place
// that holds a sender's bulk packets as unsealed. No socket and no event
// loop: the session's writer decides when to seal and write (Session).
//
// Owned by its session's shard thread, like the session; Sender and BulkHold
// are shared between shards and safe on any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "proto/bytes.hpp"
#include "proto/frame.hpp"
#include "proto/frame_io.hpp"
#include "server/budget.hpp"
#include "server/message_id.hpp"
#include "server/options.hpp"

namespace sotto {

// Which way a relayed packet goes, decided once for all its recipients.
enum class Lane : std::uint8_t { quick, bulk };

// One client that sends, as every shard sees it; any thread.
class Sender {
 public:
  // Whether none of its bulk packets waits unsealed anywhere, so that a
  // short one of its own cannot pass it by going quick.
  bool bulkClear() const { return unsealedBulk_.load(std::memory_order_relaxed) == 0; }

  // Its packets, and their bytes, posted to other shards and not yet handed
  // out there; kept by the shards (Shard::post).
  std::atomic<std::size_t> postedPackets{0};
  std::atomic<std::size_t> postedBytes{0};

 private:
  friend class BulkHold;
  std::atomic<std::size_t> unsealedBulk_{0};
};

// One copy of a sender's bulk packet not yet sealed for its recipient, or a
// bulk packet on its way to a shard that has yet to queue its copies: while
// any is held, the sender's packets go bulk. Given back once, when released
// or destroyed, so that no count outlives the copy it stands for.
class BulkHold {
 public:
  BulkHold() = default;
  explicit BulkHold(std::shared_ptr<Sender> sender) : sender_(std::move(sender)) {
    sender_->unsealedBulk_.fetch_add(1, std::memory_order_relaxed);
  }
  BulkHold(BulkHold&& other) noexcept = default;
  BulkHold& operator=(BulkHold&& other) noexcept {
    if (this != &other) {
      release();
      sender_ = std::move(other.sender_);
    }
    return *this;
  }
  ~BulkHold() { release(); }
  void release() {
    if (sender_) sender_->unsealedBulk_.fetch_sub(1, std::memory_order_relaxed);
    sender_.reset();
  }

 private:
  std::shared_ptr<Sender> sender_;
};

// A packet is quick when it is short and none of its sender's bulk packets
// waits unsealed anywhere; any thread.
inline Lane laneFor(std::size_t bytes, const Sender& sender, const Limits& limits) {
  return bytes <= limits.maxQuickBytes && sender.bulkClear() ? Lane::quick : Lane::bulk;
}

// A packet as the relay hands it to every recipient's outbox: one serialized
// copy shared by them all, its lane, who sent it, and (with the history on)
// which message it is.
struct Relayed {
  std::shared_ptr<const Bytes> packet;
  Lane lane = Lane::quick;
  std::shared_ptr<Sender> sender;
  MessageId id{};
  bool numbered = false;
};

// A packet in an outbox, and which message it is if it is one the history
// knows (a line of the server's own is not).
struct Queued {
  std::shared_ptr<const Bytes> packet;
  MessageId id{};
  bool numbered = false;
};

class Outbox {
 public:
  // key: the session's transmit key; the nonce starts at zero.
  Outbox(const Limits& limits, Budget& budget, const unsigned char* key);
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Queues one copy in its lane and charges it to the budget. False, and
  // nothing queued, when it would pass the session's bounds: the client
  // reads too slowly. A packet is always taken into an empty outbox.
  bool push(const Relayed& relayed);

  // The catch-up at sign-in. While held, the writer waits for it and live
  // packets queue up to twice the session's bounds, which stays until the
  // queue is back within them. Twice and no more: a client that never reads
  // is still cut off by its queue, not left to the write stall.
  void hold() { held_ = holding_ = true; }
  // Puts what was missed ahead of everything queued, outside the session's
  // bounds (the catch-up has its own), and lets the writer go.
  void release(std::vector<Queued>&& missed);
  // The messages among the queued packets, for the catch-up to leave out.
  std::vector<MessageId> queuedIds() const;

  // Counts, from here on, where in the stream to the client each message
  // ends, start being the bytes already written; for what its TCP did not
  // acknowledge (the history).
  void track(std::uint64_t start) {
    tracking_ = true;
    stream_ = start;
  }
  // The client's TCP acknowledged the stream up to acked: those are had.
  void acknowledged(std::uint64_t acked);
  // Messages sealed and not yet known to be acknowledged.
  std::size_t unconfirmed() const { return sent_.size(); }
  // Whether the record of them is half full or more. A write may seal many
  // at once, so "full" would be passed over and the record grow instead.
  bool unconfirmedFilling() const { return 2 * sent_.size() >= sent_.capacity(); }
  // The messages sealed past acked, and every one still queued.
  std::vector<MessageId> missed(std::uint64_t acked) const;

  bool hasQuick() const { return missedAt_ < missed_.size() || !quick_.empty(); }
  bool hasBulk() const { return !bulk_.empty(); }
  // Whether the lanes hold half their bounds or more: the client keeps up
  // and must not be cut off for the time the shard's other writers take, so
  // its bulk packets are sealed without waiting for a bulk turn.
  bool pressed() const;
  // Whether batch can take no more for this write.
  bool full(const FrameBatch& batch) const { return batch.bytes().size() >= limits_.maxSealedPerWrite; }

  // Seals the catch-up, then quick packets, oldest first, until the batch is
  // full or they are gone; returns how many.
  std::size_t sealQuick(FrameBatch& batch);
  // Seals bulk packets, oldest first: about bulkTurnBytes more in a bulk
  // turn, or up to a full batch when pressed; returns how many.
  std::size_t sealBulk(FrameBatch& batch, bool pressed);
  // Everything sealed so far has been written: its bytes leave the budget.
  void written();
  // Drops what is queued and forgets what is sealed (the connection is
  // gone): the budget and every sender's hold get all of it back.
  void clear();
  // The connection is closing but its acknowledgements are still counted:
  // the budget and every sender's hold get the packets back at once, and
  // missed() still names the messages they were.
  void close();

 private:
  struct Bulk {
    Queued queued;
    BulkHold hold;
  };
  struct Sent {
    MessageId id;
    std::uint64_t end;  // in the stream to the client
  };
  void seal(const Queued& queued, FrameBatch& batch);

  // In the order a broadcast touches them in each of thousands of
  // outboxes: what push() reads first, then what sealing reads.
  const Limits& limits_;
  Budget& budget_;
  // Serialized bytes queued in the lanes, and sealed but not yet written;
  // all of them charged to the budget.
  std::size_t queuedBytes_ = 0;
  std::size_t sealedBytes_ = 0;
  bool held_ = false;
  bool holding_ = false;
  bool tracking_ = false;
  std::deque<Queued> quick_;
  std::deque<Bulk> bulk_;
  // Vectors, not deques: an empty deque still takes some 600 bytes, and most
  // sessions never hold a catch-up. The catch-up is sealed from missedAt_ on.
  std::vector<Queued> missed_;
  std::size_t missedAt_ = 0;
  std::uint64_t stream_ = 0;
  std::vector<Sent> sent_;  // by end, ascending
  unsigned char key_[kFrameKeySize];
  unsigned char nonce_[kFrameNonceSize] = {};
  // The catch-up's bytes not yet sealed, also charged to the budget.
  std::size_t missedBytes_ = 0;
  // The messages among the packets close() let go of.
  std::vector<MessageId> closed_;
};

}  // namespace sotto
