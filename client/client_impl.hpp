// The one implementation of Client. Every coroutine runs on the object's own
// I/O thread; the two queues, each under its own mutex, are the only hand-over
// between that thread and the caller's threads.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "client/client.hpp"
#include "client/name_lookup.hpp"
#include "proto/handshake.hpp"

namespace sotto {
inline constexpr const char* kDebugLogPath = "/tmp/debug.log";

// Knobs that only tests and tools change; Client::create uses the defaults.
struct ClientOptions {
  std::string debugLogPath = kDebugLogPath;
  // Resolving plus connecting.
  std::chrono::milliseconds connectTimeout{10'000};
  // Writing the hello plus reading the welcome, counted after the proof of work.
  std::chrono::milliseconds handshakeTimeout{15'000};
  // Received messages waiting for readBytes, counted as payload bytes plus a
  // fixed cost per message. At this bound the receive loop stops reading
  // until readBytes has taken half of them, so a server that floods a client
  // which reads slowly meets TCP's flow control instead of growing its memory.
  std::size_t maxIncomingBytes = 64u * 1024 * 1024;
  // Pins the key-exchange pair (32 + 32 bytes) so that a proof of work over a
  // fixed identity has a known answer. Random when null.
  const unsigned char* kxPublicKey = nullptr;
  const unsigned char* kxSecretKey = nullptr;
  // Where the handshake reports the size of the hello it sent.
  std::ostream* handshakeOut = &std::cout;
};
}  // namespace sotto

class ClientImpl : public Client {
 public:
  ClientImpl();
  explicit ClientImpl(const sotto::ClientOptions& options);
  ~ClientImpl() override;
  ClientImpl(const ClientImpl&) = delete;
  ClientImpl& operator=(const ClientImpl&) = delete;

  void setServer(std::string host, const unsigned char* serverPublicKey, bool isNewIdentity) override;
  void setClient(const unsigned char* signPublicKey, const unsigned char* signSecretKey) override;
  void genKeys(unsigned char* signPublicKey, unsigned char* signSecretKey) override;
  values connect() override;
  void sendBytesBroadcast(const std::vector<unsigned char>& payload) override;
  void sendBytesDirect(const std::vector<unsigned char>& payload, const unsigned char* recipient) override;
  RecivedMessage readBytes() override;
  bool connected() const override;

  // Sets initial's powNonce to the smallest value that passes proofOfWortk.
  void mining_(Initial& initial);
  bool proofOfWortk(const Initial& initial) const;

 private:
  using Socket = boost::asio::ip::tcp::socket;
  // connect's answer. The first result wins: connect_'s own, or a deadline's
  // that gave up on a step which cannot be interrupted.
  struct ConnectOutcome {
    std::promise<values> promise;
    std::atomic_flag settled;
    void settle(values v) {
      if (!settled.test_and_set()) promise.set_value(v);
    }
  };

  boost::asio::awaitable<values> connect_();
  boost::asio::awaitable<values> handshake_();
  boost::asio::awaitable<void> readHandler_();
  boost::asio::awaitable<void> writeHandler_();
  // Queues one received message; waits while the queue is at its bound.
  boost::asio::awaitable<void> takeIn_(Message message);
  void queue(Message&& message);
  void closeSocket();

  boost::asio::io_context ioContext;
  std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> workGuard;
  std::thread ioThread;
  Socket socket;
  bool isNewIdentity = true;

  unsigned char kxPublicKey[32];
  unsigned char kxSecretKey[32];
  unsigned char signPublicKey[32] = {};
  unsigned char signSecretKey[64] = {};
  unsigned char rxKey[32] = {};
  unsigned char txKey[32] = {};
  unsigned char serverPublicKey[32] = {};
  unsigned char rxNonce[24] = {};
  unsigned char txNonce[24] = {};

  std::string serverAddress;
  std::deque<Message> outgoing;
  std::mutex outgoingMutex;
  std::deque<Message> incoming;
  std::mutex incomingMutex;
  std::size_t incomingBytes = 0;  // under incomingMutex
  bool receiveParked = false;     // under incomingMutex: the loop waits for readBytes
  boost::asio::steady_timer writeTimer;
  // The receive loop sleeps on it while parked; readBytes wakes it (on the I/O thread).
  boost::asio::steady_timer readTimer;

  const sotto::ClientOptions options;
  // Set while a wake-up of the send loop is posted and not yet run, so that a
  // burst of sends costs one hand-over to the I/O thread.
  std::atomic<bool> wakePosted{false};
  std::shared_ptr<ConnectOutcome> connectOutcome;
  // Opening until connect succeeds, live until the receive loop, the only one
  // that queues messages, has ended; it never goes back. Written on the I/O
  // thread, read from any.
  enum class SessionState : unsigned char { opening, live, ended };
  std::atomic<SessionState> session{SessionState::opening};
  // Brings name lookups back to the I/O thread; closed first on destruction.
  std::shared_ptr<sotto::HandBack> handBack;
};
