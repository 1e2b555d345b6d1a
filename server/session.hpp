// One keyed client connection on the server: a reader coroutine that opens
// the client's frames and hands their packets to the hub, and a writer
// coroutine that seals this client's queued packets with its own transmit key
// and nonce, in queue order.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <memory>
#include <string>

#include "proto/bytes.hpp"
#include "proto/frame.hpp"
#include "proto/handshake.hpp"
#include "server/event_log.hpp"
#include "server/options.hpp"

namespace sotto {

class Hub;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket socket, std::string peer, const Key& identity, const unsigned char* rxKey,
          const unsigned char* txKey, Hub& hub, const EventLog& log, const Limits& limits);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Carries the connection until it ends, then logs why. The hub relays to
  // the session only while this runs.
  boost::asio::awaitable<void> run();
  // Queues one serialized packet for this client and wakes the writer. A
  // queue past its bounds means the client reads too slowly: it is closed.
  void deliver(const std::shared_ptr<const Bytes>& packet);
  // Ends the connection; the first reason given is the one logged.
  void close(const std::string& reason);

  const Key& identity() const { return identity_; }

 private:
  // Returns why the connection ended.
  boost::asio::awaitable<std::string> reader_();
  boost::asio::awaitable<void> writer_(std::shared_ptr<Session> self);

  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer writeTimer_;
  const std::string peer_;
  const Key identity_;
  Hub& hub_;
  const EventLog& log_;
  const Limits& limits_;

  unsigned char rxKey_[kFrameKeySize];
  unsigned char txKey_[kFrameKeySize];
  unsigned char rxNonce_[kFrameNonceSize] = {};
  unsigned char txNonce_[kFrameNonceSize] = {};

  std::deque<std::shared_ptr<const Bytes>> queue_;
  std::size_t queuedBytes_ = 0;
  bool closed_ = false;
  std::string closeReason_;
};

}  // namespace sotto
