// sotto-server: accepts connections on port 8081, checks each hello against
// the long-term key and the identity registry, answers with a welcome, and
// then relays frames between the keyed sessions.
//
// Threads, and what each owns:
// - the front thread, the one that calls run(): the acceptor, the signals,
//   every connection held without a session (pending_: owing its hello, or
//   waiting for the handshake threads or the registry), each identity's
//   sessions and fair share (seats_) and stopping_;
// - the handshake threads: the hello's public-key work (unseal, verify, key
//   exchange, welcome); they run at a lower priority, so that a storm of
//   sign-ins slows the sign-ins and not the chat;
// - the registry service's own thread: the registry's reads and writes;
// - the state watch's own thread: the identities' states (StateWatch);
// - the shards' threads (Hub): the keyed sessions, each on the shard it was
//   handed to at its welcome (in turn), for its whole life.
//
//   Server server(options, stderrSink());
//   if (!server.open(error)) ...
//   print server.publicKey();
//   server.run(true);            // until SIGINT/SIGTERM/SIGHUP or stop()
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/bus.hpp"
#include "server/event_log.hpp"
#include "server/fair_share.hpp"
#include "server/hub.hpp"
#include "server/key_file.hpp"
#include "server/options.hpp"
#include "server/registry_service.hpp"
#include "server/state_watch.hpp"
#include "server/stats.hpp"

namespace sotto {

class Session;

class Server {
 public:
  // How long the end of run() waits for the registry's last writes.
  static constexpr std::chrono::milliseconds kRegistryStopWait{3000};

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
  // What the operator's endpoint shows (server/server_report.cpp). Any
  // thread; it reads counters and flags, and never waits on a relaying
  // thread, a disk or a database.
  struct Report {
    Stats stats;
    Durations fanOut;
    std::uint64_t queuedBytes = 0;
    std::uint64_t queuedBytesLimit = 0;
    // Why the server takes no sessions now, or nothing when it does.
    std::optional<std::string> notReady;
    bool registryUp = true;
    Durations registryCalls;
    // With --nats.
    std::optional<Bus::Report> bus;
  };
  Report report() const;
  // The limits in force once open() has fitted them to the machine.
  const Limits& limits() const { return options_.limits; }
  // Serves until stop() or, with handleSignals, until SIGINT, SIGTERM or
  // SIGHUP; within a few seconds whatever the database does.
  void run(bool handleSignals = false);
  // Any thread: stop accepting and close every connection; run() then returns.
  void stop();

 private:
  // A connection held without a session. The front thread's, but gone,
  // which the handshake threads read to skip the work of one evicted.
  struct Pending {
    boost::asio::ip::tcp::socket* socket;
    std::string address;
    // The address, or its /64 for IPv6: what one party may hold at most.
    std::string group;
    bool helloRead = false;
    std::atomic<bool> gone{false};
    Count closedCount = Count::refusedOther;
    std::string closedBecause;
    // The wait for the registry's answer, ended early by the answer or by
    // an eviction.
    boost::asio::steady_timer* waiting = nullptr;
  };
  using PendingList = std::list<std::shared_ptr<Pending>>;
  struct SessionKeys;
  // Why a connection is turned away: the count it goes to, the identity
  // when the line names it, and the line.
  struct Refusal {
    Count count;
    std::string who;
    std::string why;
  };
  // One signed-in session of an identity, given back when it ends.
  class Seat;
  // An identity's sessions here, and its fair share of the relay (none when
  // the limits lift it), which all of them draw on.
  struct Seats {
    std::size_t sessions = 0;
    std::shared_ptr<FairShare> share;
  };
  // What the handshake threads make of a hello: why it does not open, or
  // what it holds.
  struct Opened {
    std::optional<Initial> initial;
    HelloError why = HelloError::none;
  };
  // The session keys and the welcome, unless the client's key-exchange key
  // is one the exchange refuses.
  struct Keyed {
    std::shared_ptr<SessionKeys> keys;
    std::array<unsigned char, kWelcomeSize> welcome{};
  };

  boost::asio::awaitable<void> acceptLoop();
  boost::asio::awaitable<void> greet(boost::asio::ip::tcp::socket socket);
  // Waits (within the hello deadline) for the whole hello. Returns why the
  // connection must be refused, or nothing.
  boost::asio::awaitable<std::optional<std::string>> readHello(Pending& pending,
                                                               std::array<unsigned char, kHelloSize>& hello);
  // On a handshake thread: the hello's unsealing and checks, then the keys
  // and the welcome of an admitted one.
  boost::asio::awaitable<Opened> open(std::shared_ptr<Pending> pending, std::array<unsigned char, kHelloSize> hello);
  boost::asio::awaitable<std::optional<Keyed>> key(std::shared_ptr<Pending> pending, Initial initial);
  // On the session's shard, from its welcome to its end.
  static boost::asio::awaitable<void> serve(std::shared_ptr<Session> session, Shard& shard,
                                            std::shared_ptr<Seat> seat, std::array<unsigned char, kWelcomeSize> welcome);
  // The registry's word on the hello, waited for on the front thread within
  // its bound; an eviction ends the wait.
  boost::asio::awaitable<RegistryService::Answer> askRegistry(const std::shared_ptr<Pending>& pending,
                                                              const RegistryService::Question& question);
  // The one place where an opened hello is admitted or refused: logs the
  // sign-in and gives the identity a seat, or says why not.
  std::optional<Refusal> admitIdentity(const std::string& peer, const Initial& initial,
                                       const RegistryService::Answer& answer, std::shared_ptr<Seat>& seat,
                                       std::shared_ptr<FairShare>& share);
  Seats& seatsOf(const Key& identity);
  // Whether nothing is lost by forgetting an identity's entry.
  static bool forgettable(const Seats& seats);
  // Holds a new connection, evicting the oldest one of the same address
  // group, or of the group that holds the most, when a bound is reached.
  void admit(const std::shared_ptr<Pending>& pending);
  void evict(PendingList::iterator it, Count count, const std::string& why);
  void forget(const std::shared_ptr<Pending>& pending);
  // Ends the pending connection as soon as its peer goes away.
  void watchGone(const std::shared_ptr<Pending>& pending);
  void shutdown(const std::string& why);
  // Binds the listening socket. False with error if it cannot.
  bool listen(std::string& error);
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
  // Guards registry_ itself (not the service) between the end of run(),
  // which takes it away, and the operator's endpoint, which reads it.
  mutable std::mutex registryMutex_;
  std::string listenName_;
  Hub hub_;
  // Goes before the hub, which it shuts identities out of.
  std::unique_ptr<StateWatch> stateWatch_;
  // The handshake threads.
  std::vector<std::thread> threads_;
  // Goes first: its threads call into the hub until it is gone.
  std::unique_ptr<Bus> bus_;
  // Written to until the shards have finished; writes what waits as it goes.
  std::unique_ptr<History> history_;
  PendingList pending_;
  std::unordered_map<std::string, std::size_t> pendingPerGroup_;
  std::map<Key, Seats> seats_;
  std::size_t sweepAt_ = 1024;
  // Which bound set maxSessions, and the memory it was fitted to.
  SessionBound sessionBound_ = SessionBound::option;
  std::uint64_t memoryBytes_ = 0;
  bool stopping_ = false;
  // Whether run() accepts newcomers: set by the front thread, read anywhere.
  std::atomic<bool> accepting_{false};
  // The front thread's counts: the refusals.
  Counters front_;
};

}  // namespace sotto
