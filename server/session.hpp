// One keyed client connection on the server: a reader coroutine that opens
// the client's frames and hands their packets to the hub, and a writer
// coroutine that seals this client's queued packets with its own transmit key
// and nonce: the quick ones first, each lane in its order, bulk ones only in
// its thread's bulk turn. Quick packets for a writer with nothing to do are
// sealed and written at the end of the relay turn that queued them
// (flush()), in the same nonce order.
//
// A session belongs to the thread of its Hub::Part: every member is touched
// on that thread only. An idle session holds no buffer: the reader waits
// until the socket is readable and reads into its thread's shared buffer,
// keeping only the part of a frame that has not all arrived; the writer's
// buffer goes once it waits.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "proto/bytes.hpp"
#include "proto/frame.hpp"
#include "proto/handshake.hpp"
#include "server/event_log.hpp"
#include "server/hub.hpp"
#include "server/options.hpp"

namespace sotto {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket socket, std::string peer, const Key& identity, const unsigned char* rxKey,
          const unsigned char* txKey, Hub::Part& part, const EventLog& log, const Limits& limits);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Writes the welcome, then carries the connection until it ends, and logs
  // why. The session joins the hub before its welcome leaves, so that the
  // client misses nothing sent after it has been welcomed.
  boost::asio::awaitable<void> run(std::array<unsigned char, kWelcomeSize> welcome);
  // Queues one serialized packet for this client, quick or (with its
  // sender) bulk, and wakes the writer or has it flushed at the end of the
  // turn; returns whether it was queued. A queue past its bounds means the
  // client reads too slowly: it is closed.
  bool deliver(const std::shared_ptr<const Bytes>& packet, const std::shared_ptr<Hub::InFlight>* bulkSender);
  // The writer's turn to seal bulk packets has come (Hub::Part).
  void grantBulkTurn();
  // At the end of a relay turn (Hub::Part::flushWrites): for a writer that
  // still waits with nothing unwritten, seals the quick packets and writes
  // them at once, leaving what the socket does not take to the writer.
  void flush();
  // Ends the connection; the first reason given is the one logged.
  void close(const std::string& reason);

  const Key& identity() const { return identity_; }
  const std::shared_ptr<Hub::InFlight>& inFlight() const { return inFlight_; }

 private:
  friend class Hub::Part;
  // Its place among its thread's sessions, kept by Hub::Part.
  std::size_t slot_ = 0;
  // Returns why the connection ended.
  boost::asio::awaitable<std::string> reader_();
  boost::asio::awaitable<void> writer_(std::shared_ptr<Session> self);
  // The rest of a write the socket did not take at once; a client that
  // takes none of it for long is cut off.
  boost::asio::awaitable<void> writeAll(const unsigned char* data, std::size_t size);
  // Opens and relays the whole frames at the front of [data, data + size),
  // at most maxFrames of them; used says how many bytes they took. Returns
  // why the connection must end, or nothing.
  std::optional<std::string> take(const unsigned char* data, std::size_t size, std::size_t& used, int maxFrames);
  // Seals quick packets into batch until it is full or they are gone;
  // returns their serialized bytes, no longer counted as queued.
  std::size_t sealQuick(FrameBatch& batch);
  // Gives the bulk turn back if this writer holds it; leaveBulkTurn also
  // stops waiting for one.
  void endBulkTurn();
  void leaveBulkTurn();
  // Whether the queues are half way to their bounds.
  bool pressedQueue() const;
  // Whether take() has a frame (or a fault) to act on in leftover_.
  bool leftoverReady() const;

  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer writeTimer_;
  const std::string peer_;
  const Key identity_;
  Hub::Part& part_;
  const EventLog& log_;
  const Limits& limits_;
  const std::shared_ptr<Hub::InFlight> inFlight_ = std::make_shared<Hub::InFlight>();

  unsigned char rxKey_[kFrameKeySize];
  unsigned char txKey_[kFrameKeySize];
  unsigned char rxNonce_[kFrameNonceSize] = {};
  unsigned char txNonce_[kFrameNonceSize] = {};

  // Bytes read that do not yet make a whole frame (or wait for their turn).
  Bytes leftover_;
  // What waits to be sealed for this client: the quick packets go first.
  struct Bulk {
    std::shared_ptr<const Bytes> packet;
    std::shared_ptr<Hub::InFlight> sender;
  };
  std::deque<std::shared_ptr<const Bytes>> quick_;
  std::deque<Bulk> bulk_;
  std::size_t queuedBytes_ = 0;
  enum class BulkTurn { none, waiting, holding } bulkTurn_ = BulkTurn::none;
  // The writer waits for work with nothing sealed and unwritten: quick
  // packets may be written by flush() instead of waking it, which spares a
  // broadcast to thousands a wake-up per copy.
  bool writerIdle_ = false;
  bool flushPending_ = false;
  // Sealed by flush(), not yet taken by the socket; the writer's first.
  Bytes unwritten_;
  // Taken from the queue and sealed, not yet written; charged to the hub's
  // budget like the queue.
  std::size_t writingBytes_ = 0;
  // Whether take() held back a packet that could add much to the queues (a
  // broadcast of a large payload to many) while the server-wide budget is
  // spent: only such readers wait, so that a flood pauses its senders and
  // not the chat beside it.
  bool feeds_ = false;
  bool closed_ = false;
  std::string closeReason_;
};

}  // namespace sotto
