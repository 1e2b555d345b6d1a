// The one implementation of Client. Every coroutine runs on the object's own
// I/O thread; the two queues, each under its own mutex, are the only hand-over
// between that thread and the caller's threads, besides the atomics and the
// connect in progress that abandon reaches.
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
#include <vector>

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
  // The key-exchange pairs (the 32-byte public key, then the 32-byte secret
  // key) of the first connects, one each, so that a proof of work over a
  // fixed identity has a known answer. Random for the connects after them.
  std::vector<std::array<unsigned char, 64>> kxPairs = {};
  // Where the handshake reports the size of the hello it sent. Only until
  // the first session: a later connect is a reconnection, made while the
  // caller's chat is on the terminal.
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
  Failure failure() const override;
  void abandon() override;
  void sendBytesBroadcast(const std::vector<unsigned char>& payload) override;
  void sendBytesDirect(const std::vector<unsigned char>& payload, const unsigned char* recipient) override;
  RecivedMessage readBytes() override;
  bool connected() const override;

  // Sets initial's powNonce to the smallest value that passes proofOfWortk.
  void mining_(Initial& initial);
  bool proofOfWortk(const Initial& initial) const;

 private:
  using Socket = boost::asio::ip::tcp::socket;

  // One connect's result, and the step that failed.
  struct Attempt {
    values code;
    Failure failure;
  };
  // connect's answer. The first result wins: connect_'s own, a deadline's
  // that gave up on a step which cannot be interrupted, or abandon's.
  struct ConnectOutcome {
    std::promise<Attempt> promise;
    std::atomic_flag settled;
    // False when another result came first.
    bool settle(Attempt attempt) {
      if (settled.test_and_set()) return false;
      promise.set_value(attempt);
      return true;
    }
  };

  // One connection, made fresh by every connect, so that no two hellos share
  // a key-exchange pair and nothing of an ended session reaches the next. The
  // coroutines that use it share it; only the I/O thread touches it.
  struct Link {
    explicit Link(boost::asio::io_context& io);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    // Shuts the socket and wakes both loops, which then end.
    void close();

    Socket socket;
    unsigned char kxPublicKey[32];
    unsigned char kxSecretKey[32];
    unsigned char rxKey[32] = {};
    unsigned char txKey[32] = {};
    unsigned char rxNonce[24] = {};
    unsigned char txNonce[24] = {};
    // The send loop sleeps on it; a send wakes it.
    boost::asio::steady_timer writeTimer;
    // The receive loop sleeps on it while parked; readBytes wakes it.
    boost::asio::steady_timer readTimer;
    bool closed = false;
  };

  // Closes the newest link and makes the next one current. I/O thread.
  std::shared_ptr<Link> openLink();
  boost::asio::awaitable<Attempt> connect_(std::shared_ptr<Link> link, ConnectOutcome& outcome);
  boost::asio::awaitable<Attempt> handshake_(Link& link);
  boost::asio::awaitable<void> readHandler_(std::shared_ptr<Link> link);
  boost::asio::awaitable<void> writeHandler_(std::shared_ptr<Link> link);
  // Queues one received message; waits while the queue is at its bound.
  boost::asio::awaitable<void> takeIn_(Link& link, Message message);
  void queue(Message&& message);

  boost::asio::io_context ioContext;
  std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> workGuard;
  std::thread ioThread;
  // Set by setServer; cleared on the I/O thread once a server has welcomed
  // the identity. setServer runs only between connects, so the two never meet.
  bool isNewIdentity = true;

  unsigned char signPublicKey[32] = {};
  unsigned char signSecretKey[64] = {};
  unsigned char serverPublicKey[32] = {};

  std::string serverAddress;
  std::deque<Message> outgoing;
  std::mutex outgoingMutex;
  std::deque<Message> incoming;
  std::mutex incomingMutex;
  std::size_t incomingBytes = 0;  // under incomingMutex
  bool receiveParked = false;     // under incomingMutex: the loop waits for readBytes

  const sotto::ClientOptions options;
  // Set while a wake-up of the send loop is posted and not yet run, so that a
  // burst of sends costs one hand-over to the I/O thread.
  std::atomic<bool> wakePosted{false};

  // The I/O thread's own, and the destructor's once that thread has ended.
  std::shared_ptr<Link> link;        // the newest connection
  std::size_t pinnedPairsUsed = 0;   // of options.kxPairs
  bool hadSession = false;           // a handshake has succeeded on this object

  std::atomic<Failure> lastFailure{Failure::none};
  // The connect in progress, for abandon; both under abandonMutex.
  std::mutex abandonMutex;
  std::shared_ptr<ConnectOutcome> pendingOutcome;
  bool abandoned = false;

  // Opening until connect succeeds, live until that session's receive loop,
  // the only one that queues messages, has ended, and opening again from the
  // next connect. Written on the I/O thread, read from any.
  enum class SessionState : unsigned char { opening, live, ended };
  std::atomic<SessionState> session{SessionState::opening};
  // Brings name lookups back to the I/O thread; closed first on destruction.
  std::shared_ptr<sotto::HandBack> handBack;
};
