// One keyed client connection on the server: a reader coroutine that opens
// the client's frames and hands their packets to its shard's relay, and a
// writer coroutine that seals this client's outbox with its own transmit key
// and nonce and writes it: the quick lane first, each lane in its order, the
// bulk lane only in a bulk turn. Quick packets for a writer with nothing to
// do are sealed and written at the end of the relay turn that pushed them
// (flush()), in the same nonce order.
//
// A session belongs to the thread of its shard: every member is touched on
// that thread only. An idle session holds no buffer: the reader waits until
// the socket is readable and reads into its shard's shared buffer, keeping
// only the part of a frame that has not all arrived; the writer's buffer
// goes once it waits.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "proto/bytes.hpp"
#include "proto/frame.hpp"
#include "proto/handshake.hpp"
#include "server/event_log.hpp"
#include "server/fair_share.hpp"
#include "server/hub.hpp"
#include "server/options.hpp"
#include "server/outbox.hpp"

namespace sotto {

class Session final : public Member, public std::enable_shared_from_this<Session> {
 public:
  // serverKey: the server's public key, which its own lines come from.
  // share: the identity's fair share, or null when the limits lift it.
  Session(boost::asio::ip::tcp::socket socket, std::string peer, const Key& identity, const unsigned char* rxKey,
          const unsigned char* txKey, Shard& shard, const EventLog& log, const Limits& limits, const Key& serverKey,
          std::shared_ptr<FairShare> share);
  ~Session() override;

  // Writes the welcome, then carries the connection until it ends, and logs
  // why. The session joins its shard before its welcome leaves, so that the
  // client misses nothing sent after it has been welcomed.
  boost::asio::awaitable<void> run(std::array<unsigned char, kWelcomeSize> welcome);

  void push(const Relayed& relayed) override;
  // For a writer that still waits with nothing unwritten: seals the quick
  // packets and writes them at once, leaving what the socket does not take
  // to the writer.
  void flush() override;
  void grantBulkTurn() override;
  void close(const std::string& reason) override;
  std::vector<MessageId> missed() override;

 private:
  // What keeps the reader from handing the relay its next frame.
  enum class Hold { none, budget, onward, posted, share };

  // Returns why the connection ended.
  boost::asio::awaitable<std::string> reader_();
  boost::asio::awaitable<void> writer_(std::shared_ptr<Session> self);
  // Waits until what held the reader may have let go; counts and logs it.
  boost::asio::awaitable<void> waitOut(Hold held);
  // The one place that decides whether the reader may take in more now;
  // every gate on reading is asked here. next: the length of the whole
  // frame next in line, if there is one.
  Hold hold(std::optional<std::uint32_t> next) const;
  // Opens and relays the whole frames at the front of [data, data + size),
  // a turn's worth at most; used says how many bytes they took. Returns why
  // the connection must end, or nothing.
  std::optional<std::string> take(const unsigned char* data, std::size_t size, std::size_t& used);
  // Skips what is still to come of a frame over the payload limit; once it
  // has all gone, tells the sender. False while more is to come.
  bool drop(std::size_t size, std::size_t& used);
  // Anything longer cannot be a frame of a packet within the payload limit.
  std::uint32_t largest() const;
  // After every change to what is kept or dropped: starts or stops the
  // unfinished frame's clock, and charges its bytes to the budget.
  void noteUnfinished();
  // The length of the frame at the front of what was read in and kept, once
  // take() has it whole (or its length alone is a fault to act on).
  std::optional<std::uint32_t> keptFrame() const;
  // One write of what the socket takes now, counted; a full socket takes
  // nothing. Returns how much it took.
  std::size_t writeNow(const Bytes& bytes, boost::system::error_code& ec);
  // The rest of a write the socket did not take at once; a client that
  // takes none of it for long is cut off.
  boost::asio::awaitable<void> writeAll(const unsigned char* data, std::size_t size);
  // Gives the bulk turn back if this writer holds it; leaveBulkTurn also
  // stops waiting for one.
  void endBulkTurn();
  void leaveBulkTurn();
  // Closes a client that reads too slowly, and counts it.
  void cutOff(const std::string& reason);
  // Waits for what the member missed and puts it ahead of everything live,
  // framed by two lines of the server's.
  boost::asio::awaitable<void> catchUp();
  // What the client's TCP has acknowledged of this session's stream.
  std::uint64_t acknowledged();
  // Gives the acknowledgements of what the client already has a moment to
  // come back, so that they are not taken for missed.
  boost::asio::awaitable<void> settle();
  // Takes what was missed, lets go of the outbox and closes the socket.
  void finish();
  // Now and then, forgets the messages the client's TCP has acknowledged.
  void confirm();

  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer writeTimer_;
  const std::string peer_;
  const EventLog& log_;
  const Limits& limits_;

  unsigned char rxKey_[kFrameKeySize];
  unsigned char rxNonce_[kFrameNonceSize] = {};

  // Bytes read that do not yet make a whole frame (or wait for their turn).
  Bytes kept_;
  // Bytes still to come of a frame over the payload limit, and its payload's
  // length.
  std::size_t dropping_ = 0;
  std::size_t droppedPayload_ = 0;
  // When the first byte of the frame not yet whole came (moved on by the
  // time the server held the reader); what it holds is charged to the budget.
  std::optional<std::chrono::steady_clock::time_point> unfinishedSince_;
  BudgetCharge unfinished_;
  bool refusedBefore_ = false;
  const Key& serverKey_;
  const std::shared_ptr<FairShare> share_;
  // Sealed by flush(), not yet taken by the socket; the writer's first.
  Bytes rest_;
  std::string closeReason_;

  // What a broadcast touches in each of thousands of sessions, side by side.
  Shard& shard_;
  enum class BulkTurn : std::uint8_t { none, waiting, holding } bulkTurn_ = BulkTurn::none;
  // The writer waits for work with nothing sealed and unwritten: quick
  // packets may be written by flush() instead of waking it, which spares a
  // broadcast to thousands a wake-up per copy.
  bool writerIdle_ = false;
  bool flushPending_ = false;
  // The reader is held back by the budget or the bus, counted once per hold.
  bool heldOnTimer_ = false;
  bool closed_ = false;
  // With the history on: whether it counts what the client's TCP
  // acknowledged; below, that count before the welcome, and what was missed
  // at the close.
  bool tracking_ = false;
  Outbox outbox_;
  // run() settles and finishes a closed session itself; finish() runs once.
  bool running_ = false;
  bool finished_ = false;
  std::uint64_t ackedBefore_ = 0;
  std::vector<MessageId> missedAtClose_;
};

}  // namespace sotto
