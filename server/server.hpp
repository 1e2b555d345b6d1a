// sotto-server: accepts connections on port 8081, checks each hello against
// the long-term key and the identity registry, answers with a welcome, and
// then relays frames between the keyed sessions.
//
// Threads, and what each owns:
// - the front thread, the one that calls run(): the acceptor, the signals,
//   the connections still owing a hello (pending_) and stopping_;
// - the handshake threads: the hello's public-key work (unseal, verify, key
//   exchange, welcome); they run at a lower priority, so that a storm of
//   sign-ins slows the sign-ins and not the chat;
// - the registry service's own thread: the registry's reads and writes;
// - the shards' threads (Hub): the keyed sessions, each on the shard it was
//   handed to at its welcome (in turn), for its whole life.
//
//   Server server(options, stderrSink());
//   if (!server.open(error)) ...
//   print server.publicKey();
//   server.run(true);            // until SIGINT/SIGTERM or stop()
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/bus.hpp"
#include "server/event_log.hpp"
#include "server/hub.hpp"
#include "server/key_file.hpp"
#include "server/options.hpp"
#include "server/registry_service.hpp"
#include "server/stats.hpp"

namespace sotto {

class Session;

class Server {
 public:
  Server(ServerOptions options, LogSink sink);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads or makes the long-term key, opens the registry and starts listening.
  bool open(std::string& error);
  const Key& publicKey() const { return key_.publicKey; }
  // What the server has counted since the start, every thread's summed; any
  // thread.
  Stats stats() const;
  // The limits in force once open() has fitted them to the machine.
  const Limits& limits() const { return options_.limits; }
  // Serves until stop() or, with handleSignals, until SIGINT or SIGTERM.
  void run(bool handleSignals = false);
  // Any thread: stop accepting and close every connection; run() then returns.
  void stop();

 private:
  // A connection that still owes its hello.
  struct Pending {
    boost::asio::ip::tcp::socket* socket;
    std::string address;
    std::string closedBecause;
  };
  using PendingList = std::list<std::shared_ptr<Pending>>;
  struct SessionKeys;
  // Why a connection is turned away: the count it goes to, and the line.
  struct Refusal {
    Count count;
    std::string why;
  };
  // What the handshake threads make of a hello: why it is refused, or the
  // identity, the session keys and the welcome.
  struct Admission {
    std::optional<Refusal> refusal;
    Key identity{};
    std::shared_ptr<SessionKeys> keys;
    std::array<unsigned char, kWelcomeSize> welcome{};
  };

  boost::asio::awaitable<void> acceptLoop();
  boost::asio::awaitable<void> greet(boost::asio::ip::tcp::socket socket);
  // Waits (within the hello deadline) for the whole hello. Returns why the
  // connection must be refused, or nothing.
  boost::asio::awaitable<std::string> readHello(boost::asio::ip::tcp::socket& socket, const std::string& address,
                                                std::array<unsigned char, kHelloSize>& hello);
  // On a handshake thread: everything a hello costs but its reading.
  boost::asio::awaitable<Admission> handshake(std::string peer, std::array<unsigned char, kHelloSize> hello);
  // On the session's shard, from its welcome to its end.
  static boost::asio::awaitable<void> serve(std::shared_ptr<Session> session, Shard& shard,
                                            std::array<unsigned char, kWelcomeSize> welcome);
  // Registers or signs in the hello's identity, without holding up the
  // I/O thread. Returns why the connection must be refused, if it must.
  boost::asio::awaitable<std::optional<Refusal>> admitIdentity(const std::string& peer, const Initial& initial);
  // Lists a new pending connection, evicting the oldest one of the same
  // address, or overall, when a bound is reached.
  void addPending(const std::shared_ptr<Pending>& pending);
  void evict(PendingList::iterator it, const std::string& why);
  void shutdown(const std::string& why);
  // With --nats: joins the cluster's bus. False with error if it cannot.
  bool openBus(std::string& error);
  // Unless --keep-history 0: opens the history. False with error if it cannot.
  bool openHistory(std::string& error);

  // Written by open() only, before any other thread starts.
  ServerOptions options_;
  std::uint64_t openFiles_ = 0;
  EventLog log_;
  boost::asio::io_context io_{1};
  boost::asio::io_context handshakes_;
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  std::optional<boost::asio::signal_set> signals_;
  ServerKey key_;
  std::unique_ptr<RegistryService> registry_;
  std::string listenName_;
  Hub hub_;
  // The handshake threads.
  std::vector<std::thread> threads_;
  // Goes first: its threads call into the hub until it is gone.
  std::unique_ptr<Bus> bus_;
  // Written to until the shards have finished; writes what waits as it goes.
  std::unique_ptr<History> history_;
  PendingList pending_;
  bool stopping_ = false;
  // The front thread's counts: the refusals.
  Counters front_;
};

}  // namespace sotto
