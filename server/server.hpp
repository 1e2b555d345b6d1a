// sotto-server: accepts connections on port 8081, checks each hello against
// the long-term key and the identity registry, answers with a welcome, and
// then relays frames between the keyed sessions. Everything runs on one I/O
// thread, the one that calls run(), except the registry's reads and writes:
// those run on the registry service's own thread.
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
#include <optional>
#include <string>

#include "server/bus.hpp"
#include "server/event_log.hpp"
#include "server/hub.hpp"
#include "server/key_file.hpp"
#include "server/options.hpp"
#include "server/registry_service.hpp"

namespace sotto {

class Server {
 public:
  Server(ServerOptions options, LogSink sink);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads or makes the long-term key, opens the registry and starts listening.
  bool open(std::string& error);
  const Key& publicKey() const { return key_.publicKey; }
  // Packets opened from clients since the start; any thread.
  std::uint64_t packetsReceived() const { return hub_.packetsReceived(); }
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

  boost::asio::awaitable<void> acceptLoop();
  boost::asio::awaitable<void> greet(boost::asio::ip::tcp::socket socket);
  // Waits (within the hello deadline) for the whole hello. Returns why the
  // connection must be refused, or nothing.
  boost::asio::awaitable<std::string> readHello(boost::asio::ip::tcp::socket& socket, const std::string& address,
                                                std::array<unsigned char, kHelloSize>& hello);
  // Registers or signs in the hello's identity, without holding up the
  // I/O thread. Returns why the connection must be refused, if it must.
  boost::asio::awaitable<std::optional<std::string>> admitIdentity(const std::string& peer, const Initial& initial);
  // Admits a new pending connection, evicting the oldest one of the same
  // address, or overall, when a bound is reached.
  void admit(const std::shared_ptr<Pending>& pending);
  void evict(PendingList::iterator it, const std::string& why);
  void shutdown(const std::string& why);
  // With --nats: joins the cluster's bus. False with error if it cannot.
  bool openBus(std::string& error);

  const ServerOptions options_;
  EventLog log_;
  boost::asio::io_context io_{1};
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  std::optional<boost::asio::signal_set> signals_;
  ServerKey key_;
  std::unique_ptr<RegistryService> registry_;
  std::string listenName_;
  Hub hub_;
  // Goes first: its threads call into the hub until it is gone.
  std::unique_ptr<Bus> bus_;
  PendingList pending_;
  bool stopping_ = false;
};

}  // namespace sotto
