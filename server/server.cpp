// The server's front: listening and accepting, each connection's hello from
// its first byte to its welcome or refusal, the hand-over of a welcomed
// session to its shard, and the start and stop of every thread.
#include "server/server.hpp"

#include <sodium.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "proto/deadline.hpp"
#include "server/session.hpp"
#include "server/thread_priority.hpp"
#include "server/url_list.hpp"

// GCC 12 at -O2 takes the coroutine frame of greet, which Asio's own
// operator new and delete allocate and free as a pair, for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace sotto {

namespace {

std::string endpointName(const tcp::endpoint& endpoint) {
  const auto address = endpoint.address();
  std::string name = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return name + ":" + std::to_string(endpoint.port());
}

void closeQuietly(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

// Leaves the shard whichever way the session's coroutine ends.
struct Membership {
  Shard& shard;
  Session& session;
  ~Membership() { shard.leave(session); }
};

// Raises the soft open-file limit as far as the hard one allows; returns the
// limit in force.
std::uint64_t raiseOpenFileLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024;
  if (files.rlim_cur < files.rlim_max) {
    rlimit raised = files;
    raised.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  return files.rlim_cur == RLIM_INFINITY ? std::uint64_t{1} << 20 : files.rlim_cur;
}

unsigned threadCount(unsigned asked) {
  if (asked > 0) return asked;
  return std::max(1u, std::thread::hardware_concurrency());
}

// Physical memory, or the control group's limit when that is lower (a
// container, a systemd unit's MemoryMax=).
std::uint64_t machineMemory() {
  std::uint64_t bytes = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                        static_cast<std::uint64_t>(::sysconf(_SC_PAGE_SIZE));
  std::ifstream cgroup("/sys/fs/cgroup/memory.max");
  std::uint64_t limit = 0;
  if (cgroup >> limit && limit > 0 && limit < bytes) bytes = limit;
  return bytes;
}

// What one party may hold: an IPv4 address, or an IPv6 /64 (a single
// subscriber is usually given a whole one).
std::string addressGroup(const asio::ip::address& address) {
  if (!address.is_v6()) return address.to_string();
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

std::string describe(SessionBound bound) {
  switch (bound) {
    case SessionBound::option: return "--max-sessions";
    case SessionBound::openFiles: return "the open-file limit";
    case SessionBound::memory: return "the memory";
  }
  return "";
}

bool outOfFiles(const boost::system::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == boost::system::errc::too_many_files_open_in_system ||
         ec == asio::error::no_buffer_space || ec == asio::error::no_memory;
}

}  // namespace

// A fresh key-exchange pair for one connection and the server side of the
// session keys derived from it; the secrets are wiped when it goes.
struct Server::SessionKeys {
  unsigned char publicKey[kKeySize];
  unsigned char secretKey[kKeySize];
  unsigned char rx[kKeySize];
  unsigned char tx[kKeySize];
  SessionKeys() { crypto_kx_keypair(publicKey, secretKey); }
  ~SessionKeys() {
    sodium_memzero(secretKey, sizeof secretKey);
    sodium_memzero(rx, sizeof rx);
    sodium_memzero(tx, sizeof tx);
  }
  // False when the client's key is one the exchange refuses.
  bool derive(const unsigned char* clientKxPublicKey) {
    return crypto_kx_server_session_keys(rx, tx, publicKey, secretKey, clientKxPublicKey) == 0;
  }
};

// Given back on the front thread, where the counts live, when the session
// that holds it ends on its own thread.
class Server::Seat {
 public:
  Seat(Server& server, const Key& identity) : server_(server), identity_(identity) {}
  ~Seat() {
    asio::post(server_.io_, [&server = server_, identity = identity_] {
      auto it = server.seats_.find(identity);
      if (it != server.seats_.end() && --it->second.sessions == 0 && server.forgettable(it->second))
        server.seats_.erase(it);
    });
  }
  Seat(const Seat&) = delete;
  Seat& operator=(const Seat&) = delete;

 private:
  Server& server_;
  const Key identity_;
};

bool Server::forgettable(const Seats& seats) {
  return seats.sessions == 0 && (!seats.share || seats.share->full(FairShare::Clock::now()));
}

Server::Server(ServerOptions options, LogSink sink)
    : options_(std::move(options)),
      log_(std::move(sink)),
      hub_(threadCount(options_.threads), options_.limits) {}

Server::~Server() {
  bus_.reset();
  // A worker the database still holds is left to the process's exit; its
  // service must not be destroyed under it.
  if (registry_ && !registry_->stop(kRegistryStopWait)) (void)registry_.release();
}

Stats Server::stats() const {
  Stats stats = hub_.stats();
  stats += front_.read();
  if (history_) stats.values[static_cast<std::size_t>(Count::historyUnkept)] += history_->unkept();
  if (bus_) stats += bus_->stats();
  return stats;
}

bool Server::open(std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium failed to start";
    return false;
  }
  openFiles_ = raiseOpenFileLimit();
  memoryBytes_ = machineMemory();
  sessionBound_ = fitToMachine(options_.limits, openFiles_, memoryBytes_);
  // Listening first: a server that cannot serve leaves no files behind.
  // The key last: a start that fails on the registry or the bus says only
  // why, and the next start still owns up to the key it makes.
  if (!listen(error) || !makeDataDir(options_.dataDir, error)) return false;
  std::unique_ptr<Registry> registry = openRegistry(options_.postgres, options_.dataDir, error);
  if (!registry) return false;
  registry_ = RegistryService::start(std::move(registry), options_.limits, options_.registration, log_, error);
  if (!registry_) return false;
  // A connection of its own, so that the registry's work never delays it.
  std::unique_ptr<Registry> watched = openRegistry(options_.postgres, options_.dataDir, error);
  if (!watched) return false;
  stateWatch_ = StateWatch::start(std::move(watched), hub_, log_, options_.limits.stateCheckInterval, error);
  if (!stateWatch_ || !openBus(error)) return false;
  bool newKey = false;
  if (!loadOrCreateServerKey(options_.dataDir, key_, error, &newKey)) return false;
  if (newKey) log_.event(listenName_, newKeyWarning(options_.dataDir));
  return openHistory(error);
}

bool Server::listen(std::string& error) {
  boost::system::error_code ec;
  const tcp::endpoint endpoint(asio::ip::make_address(options_.listenAddress, ec), kServerPort);
  if (ec) {
    error = "'" + options_.listenAddress + "' is not an IP address";
    return false;
  }
  listenName_ = endpointName(endpoint);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + listenName_ + ": " + ec.message();
    return false;
  }
  return true;
}

bool Server::openBus(std::string& error) {
  if (options_.nats.empty()) return true;
  Bus::Handlers handlers;
  // On a thread of the bus's, one at a time; the hub posts to the shards.
  handlers.deliver = [this](const MessageId& id, const Key& named, const std::shared_ptr<const Bytes>& packet) {
    hub_.relayFromElsewhere(id, named, packet);
  };
  handlers.lost = [this](const std::string& why) {
    log_.event("bus", "closing every session here, which may have missed packets: " + why);
    hub_.closeCurrent("may have missed packets from another instance");
  };
  handlers.note = [this](const std::string& what) { log_.event("bus", what); };
  handlers.mayHold = [this](const Key& identity) { return registry_->mayHold(identity); };
  Bus::Settings settings;
  settings.urls = options_.nats;
  if (options_.busBacklogBytes) settings.maxBacklogBytes = *options_.busBacklogBytes;
  settings.access = options_.busAccess;
  bus_ = Bus::connect(settings, key_.secretKey, std::move(handlers), error);
  if (!bus_) return false;
  if (bus_->maxPacketSize() < Packet::headerSize + options_.limits.maxPayload) {
    error = "the bus carries packets of at most " + std::to_string(bus_->maxPacketSize()) +
            " bytes, less than --max-payload " + std::to_string(options_.limits.maxPayload) +
            " needs; raise max_payload in nats-server's configuration";
    return false;
  }
  log_.event("bus", "joined the cluster on " + joinUrls(options_.nats) + " as instance " + toHex(bus_->id().data(), 8));
  hub_.setOnward(bus_.get());
  return true;
}

bool Server::openHistory(std::string& error) {
  if (options_.keepHistory.count() == 0) return true;
  // A cluster's messages are named by the instance's id on the bus.
  InstanceId origin;
  if (bus_)
    origin = bus_->id();
  else
    randombytes_buf(origin.data(), origin.size());
  history_ = History::open(
      options_, origin, log_, [registry = registry_.get()](const Key& key) { return registry->registered(key); },
      hub_.relayLock(), error);
  if (!history_) return false;
  hub_.setHistory(history_.get(), key_.publicKey);
  return true;
}

void Server::run(bool handleSignals) {
  if (handleSignals) {
    signals_.emplace(io_, SIGINT, SIGTERM, SIGHUP);
    signals_->async_wait([this](const boost::system::error_code& ec, int signal) {
      if (!ec)
        shutdown(std::string("shutting down on ") +
                 (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP"));
    });
    // Any that came during the start (main blocks them) are handled now.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  }
  log_.event(listenName_, "listening");
  const Limits& limits = options_.limits;
  std::string capacity = "capacity: " + std::to_string(limits.maxSessions) + " sessions on " +
                         std::to_string(hub_.shards()) + " I/O threads, open-file limit " + std::to_string(openFiles_);
  if (limits.maxSessions + limits.maxPending + kReservedFiles > openFiles_)
    capacity += " (too low for that many: newcomers will be turned away sooner)";
  capacity += ", memory " + std::to_string(memoryBytes_ >> 20) + " MiB; the session bound comes from " +
              describe(sessionBound_);
  log_.event(listenName_, capacity);

  hub_.start();
  std::optional handshakeWork = asio::make_work_guard(handshakes_);
  for (std::size_t i = 0; i < hub_.shards(); ++i)
    threads_.emplace_back([this] {
      behindTheRelay();
      handshakes_.run();
    });

  asio::co_spawn(io_, acceptLoop(), [this](std::exception_ptr error) {
    if (error) shutdown("accept loop failed");
  });
  accepting_ = !stopping_;
  io_.run();
  // Nothing joins any more: revocations have nothing left to close.
  stateWatch_.reset();
  // Nothing is handed over any more; the sessions wind down on their shards.
  handshakeWork.reset();
  if (history_) history_->closeAsks();
  hub_.finish();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
  // What the history holds and the last-seen times are written now, side by
  // side, or given up on within the same bound. A store the database keeps
  // is left to the process's exit, never destroyed under its thread; the
  // history's writer asks the registry until it stops.
  std::unique_ptr<RegistryService> registry;
  {
    const std::lock_guard lock(registryMutex_);
    registry = std::move(registry_);
  }
  if (history_) history_->beginStop(options_.limits.historyStopWait);
  const bool registryStopped = registry->stop(kRegistryStopWait);
  const bool historyStopped = !history_ || history_->stop();
  if (!historyStopped) (void)history_.release();
  history_.reset();
  if (!registryStopped || !historyStopped) (void)registry.release();
  registry.reset();
  log_.event(listenName_, "stopped");
}

void Server::stop() {
  asio::post(io_, [this] { shutdown("shutting down"); });
}

void Server::shutdown(const std::string& why) {
  if (stopping_) return;
  stopping_ = true;
  accepting_ = false;
  log_.event(listenName_, why);
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  if (signals_) signals_->cancel(ignored);
  while (!pending_.empty()) evict(pending_.begin(), Count::refusedOther, "server shutting down");
  hub_.closeAll("server shutting down");
}

// Out of descriptors, a newcomer would wait in the backlog with nobody to
// answer it, and accept would fail at once again and again. A spare
// descriptor, given up for a moment, lets the server take each waiting
// newcomer off the backlog and close it, so that it hears "no" at once; then
// the loop rests briefly before it tries again. One line in the log when
// this begins and one when it ends.
asio::awaitable<void> Server::acceptLoop() {
  constexpr auto kRest = std::chrono::milliseconds(100);
  asio::steady_timer pause(io_);
  int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::uint64_t turnedAway = 0;
  bool starved = false;
  while (!stopping_) {
    auto [ec, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
    if (stopping_ || ec == asio::error::operation_aborted) break;
    if (ec) {
      if (!starved && outOfFiles(ec))
        log_.event(listenName_, "accept failed: " + ec.message() + "; turning newcomers away until descriptors free up");
      else if (!starved)
        log_.event(listenName_, "accept failed: " + ec.message());
      starved = true;
      for (boost::system::error_code again; spare >= 0 && outOfFiles(ec);) {
        ::close(spare);
        acceptor_.non_blocking(true, again);
        tcp::socket newcomer = acceptor_.accept(again);
        acceptor_.non_blocking(false, again);
        const bool tookOne = newcomer.is_open();
        closeQuietly(newcomer);
        spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (!tookOne) break;
        ++turnedAway;
      }
      pause.expires_after(kRest);
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
      continue;
    }
    if (starved) {
      starved = false;
      log_.event(listenName_, "accepting again; " + std::to_string(turnedAway) + " turned away meanwhile");
      turnedAway = 0;
    }
    asio::co_spawn(io_, greet(std::move(socket)), [this](std::exception_ptr error) {
      if (!error) return;
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        log_.event(listenName_, std::string("connection ended by an internal error: ") + e.what());
      } catch (...) {
        log_.event(listenName_, "connection ended by an internal error");
      }
    });
  }
  if (spare >= 0) ::close(spare);
}

void Server::admit(const std::shared_ptr<Pending>& pending) {
  const auto inGroup = [](const std::string& group) {
    return [&group](const std::shared_ptr<Pending>& p) { return p->group == group; };
  };
  const auto pushOut = [&](const PendingList::iterator& it, const std::string& from) {
    if ((*it)->helloRead)
      evict(it, Count::refusedEvicted, "too many connections" + from + " without a session");
    else
      evict(it, Count::refusedNoHello, "too many connections" + from + " without a hello");
  };
  const auto fromThere = pendingPerGroup_.find(pending->group);
  if (fromThere != pendingPerGroup_.end() && fromThere->second >= options_.limits.maxPendingPerAddress) {
    pushOut(std::find_if(pending_.begin(), pending_.end(), inGroup(pending->group)), " from " + pending->group);
  } else if (pending_.size() >= options_.limits.maxPending && !pending_.empty()) {
    // From the party that holds the most, so that one flooding from many
    // addresses cannot push out a newcomer still mining its proof of work.
    const auto most = std::max_element(pendingPerGroup_.begin(), pendingPerGroup_.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    pushOut(std::find_if(pending_.begin(), pending_.end(), inGroup(most->first)), "");
  }
  pending_.push_back(pending);
  ++pendingPerGroup_[pending->group];
}

void Server::evict(PendingList::iterator it, Count count, const std::string& why) {
  const std::shared_ptr<Pending> pending = *it;
  pending->closedCount = count;
  pending->closedBecause = why;
  pending->gone = true;
  closeQuietly(*pending->socket);
  if (pending->waiting) pending->waiting->cancel();
  forget(pending);
}

void Server::forget(const std::shared_ptr<Pending>& pending) {
  const auto it = std::find(pending_.begin(), pending_.end(), pending);
  if (it == pending_.end()) return;
  pending_.erase(it);
  if (const auto group = pendingPerGroup_.find(pending->group); group != pendingPerGroup_.end() && --group->second == 0)
    pendingPerGroup_.erase(group);
}

void Server::watchGone(const std::shared_ptr<Pending>& pending) {
  pending->socket->async_wait(tcp::socket::wait_read,
                              [this, weak = std::weak_ptr<Pending>(pending)](const boost::system::error_code& ec) {
                                const std::shared_ptr<Pending> p = weak.lock();
                                if (ec || !p || p->gone) return;
                                char byte;
                                const ssize_t n = ::recv(p->socket->native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                                // Frames sent ahead of the welcome are the session's to read.
                                if (n > 0) return;
                                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                                  return watchGone(p);
                                const auto it = std::find(pending_.begin(), pending_.end(), p);
                                if (it != pending_.end()) evict(it, Count::refusedOther, "closed before its hello was answered");
                              });
}

asio::awaitable<std::optional<std::string>> Server::readHello(Pending& pending,
                                                              std::array<unsigned char, kHelloSize>& hello) {
  // Counted for the operator for as long as it owes its hello.
  front_.add(Count::helloPending);
  struct Counted {
    Counters& front;
    ~Counted() { front.subtract(Count::helloPending); }
  } counted{front_};
  boost::system::error_code ec;
  std::size_t got = 0;
  {
    Deadline deadline(pending.socket->get_executor(), options_.limits.helloTimeout, [&] {
      if (auto it = std::find_if(pending_.begin(), pending_.end(), [&](const auto& p) { return p.get() == &pending; });
          it != pending_.end())
        evict(it, Count::refusedNoHello, "no hello within the time limit");
    });
    got = co_await asio::async_read(*pending.socket, asio::buffer(hello), asio::redirect_error(asio::use_awaitable, ec));
  }
  if (pending.gone) co_return pending.closedBecause;
  if (!ec) co_return std::nullopt;
  if (got == 0) co_return "closed before sending a hello";
  co_return "closed after " + std::to_string(got) + " of " + std::to_string(kHelloSize) + " hello bytes";
}

asio::awaitable<RegistryService::Answer> Server::askRegistry(const std::shared_ptr<Pending>& pending,
                                                             const RegistryService::Question& question) {
  if (auto now = registry_->answerAtOnce(question)) co_return *now;
  asio::steady_timer timer(io_, registry_->wait(question));
  auto answer = std::make_shared<std::optional<RegistryService::Answer>>();
  // On the worker's thread; the answer is the front thread's.
  registry_->ask(question, [this, answer, weak = std::weak_ptr<Pending>(pending)](const RegistryService::Answer& a) {
    asio::post(io_, [answer, a, weak] {
      *answer = a;
      if (const auto p = weak.lock(); p && p->waiting) p->waiting->cancel();
    });
  });
  pending->waiting = &timer;
  boost::system::error_code ignored;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  pending->waiting = nullptr;
  if (*answer) co_return **answer;
  co_return registry_->withoutAnswer(question);
}

Server::Seats& Server::seatsOf(const Key& identity) {
  // Identities without a session stay while their share is still refilling,
  // so that leaving and coming back does not refill it; the rest are swept
  // out whenever the map has doubled since the last sweep.
  if (seats_.size() >= sweepAt_) {
    std::erase_if(seats_, [](const auto& entry) { return forgettable(entry.second); });
    sweepAt_ = std::max<std::size_t>(1024, 2 * seats_.size());
  }
  Seats& seats = seats_[identity];
  if (!seats.share && FairShare::bounds(options_.limits)) seats.share = std::make_shared<FairShare>(options_.limits);
  return seats;
}

std::optional<Server::Refusal> Server::admitIdentity(const std::string& peer, const Initial& initial,
                                                     const RegistryService::Answer& answer,
                                                     std::shared_ptr<Seat>& seat, std::shared_ptr<FairShare>& share) {
  const std::string who = toHex(initial.signPublicKey(), kKeySize);
  const bool isNew = initial.isNewIdentity() == 1;
  if (answer.replayed) return Refusal{Count::refusedReplayed, who, "replayed hello"};
  // A proven identity is registered even if the session cannot go on: its
  // client remembers that it has registered and never sends a proof again.
  switch (answer.result) {
    case Registry::Result::added: log_.event(peer, "registered " + who); break;
    case Registry::Result::known: break;
    case Registry::Result::unknown:
      return Refusal{Count::refusedUnknownIdentity, {}, "unknown identity " + who + " without proof of work"};
    case Registry::Result::failed:
      return Refusal{answer.late ? Count::refusedRegistryLate : Count::refusedRegistryFailed, {},
                     "registry failed for " + who + ": " + answer.error};
    case Registry::Result::revoked: return Refusal{Count::refusedByState, who, "revoked"};
    case Registry::Result::closed: return Refusal{Count::refusedByState, who, "registration is closed"};
  }
  Key identity;
  std::memcpy(identity.data(), initial.signPublicKey(), identity.size());
  // Known from memory, or revoked after the registry answered.
  if (hub_.revoked(identity)) return Refusal{Count::refusedByState, who, "revoked"};
  if (hub_.size() >= options_.limits.maxSessions)
    return Refusal{Count::refusedServerFull, {}, "server full, " + who + " turned away"};
  Seats& seats = seatsOf(identity);
  if (seats.sessions >= options_.limits.maxSessionsPerIdentity)
    return Refusal{Count::refusedIdentityFull, who,
                   "already " + std::to_string(seats.sessions) + " sessions of this identity, the most allowed"};
  ++seats.sessions;
  seat = std::make_shared<Seat>(*this, identity);
  share = seats.share;
  if (answer.result == Registry::Result::known)
    log_.event(peer, "signed in " + who + (isNew ? " (registered before)" : ""));
  return std::nullopt;
}

asio::awaitable<void> Server::greet(tcp::socket socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) co_return;  // already gone
  const std::string peer = endpointName(remote);
  keepAlive(socket, options_.limits.keepAlive);
  log_.event(peer, "connected");
  const auto refuse = [&](const Refusal& refusal) {
    front_.add(refusal.count);
    log_.event(peer, "refused" + (refusal.who.empty() ? "" : " " + refusal.who) + ": " + refusal.why);
    closeQuietly(socket);
  };

  auto pending = std::make_shared<Pending>();
  pending->socket = &socket;
  pending->address = remote.address().to_string();
  pending->group = addressGroup(remote.address());
  admit(pending);
  // Off the list however this ends, so no entry outlives its socket.
  struct Listed {
    Server& server;
    const std::shared_ptr<Pending>& pending;
    ~Listed() { server.forget(pending); }
  } listed{*this, pending};

  std::array<unsigned char, kHelloSize> hello;
  // Why it went while it waited, when it was evicted or its peer left.
  const auto gone = [&] { return Refusal{pending->closedCount, {}, pending->closedBecause}; };
  if (auto unread = co_await readHello(*pending, hello))
    co_return refuse(pending->gone ? gone() : Refusal{Count::refusedNoHello, {}, *unread});
  pending->helloRead = true;
  watchGone(pending);
  const Opened opened = co_await asio::co_spawn(handshakes_, open(pending, hello), asio::use_awaitable);
  if (pending->gone) co_return refuse(gone());
  if (!opened.initial) co_return refuse({Count::refusedBadHello, {}, std::string(describe(opened.why))});
  const Initial& initial = *opened.initial;

  RegistryService::Question question;
  std::memcpy(question.identity.data(), initial.signPublicKey(), kKeySize);
  question.hello = digestOf(initial);
  question.isNew = initial.isNewIdentity() == 1;
  question.now = std::time(nullptr);
  const RegistryService::Answer answer = co_await askRegistry(pending, question);
  if (pending->gone) co_return refuse(gone());
  std::shared_ptr<Seat> seat;
  std::shared_ptr<FairShare> share;
  if (auto refusal = admitIdentity(peer, initial, answer, seat, share)) co_return refuse(*refusal);

  const std::optional<Keyed> keyed = co_await asio::co_spawn(handshakes_, key(pending, initial), asio::use_awaitable);
  if (pending->gone) co_return refuse(gone());
  if (!keyed)
    co_return refuse(
        {Count::refusedBadHello, {}, "unusable key-exchange key from " + toHex(initial.signPublicKey(), kKeySize)});
  if (stopping_) co_return refuse({Count::refusedOther, {}, "server shutting down"});
  // The session moves to its shard's event loop for good, which writes the
  // welcome once the session is there.
  Shard& shard = hub_.nextShard();
  const auto protocol = remote.protocol();
  const int fd = socket.release(ec);
  if (ec) co_return refuse({Count::refusedOther, {}, "cannot hand over the connection: " + ec.message()});
  asio::post(shard.io(), [this, &shard, protocol, fd, peer, identity = question.identity, keys = keyed->keys,
                          welcome = keyed->welcome, seat = std::move(seat), share = std::move(share)]() mutable {
    auto session = std::make_shared<Session>(tcp::socket(shard.io(), protocol, fd), peer, identity, keys->rx, keys->tx,
                                             shard, log_, options_.limits, key_.publicKey, std::move(share));
    asio::co_spawn(shard.io(), serve(std::move(session), shard, std::move(seat), welcome), asio::detached);
  });
}

asio::awaitable<Server::Opened> Server::open(std::shared_ptr<Pending> pending,
                                             std::array<unsigned char, kHelloSize> hello) {
  Opened opened;
  // Evicted while it waited for this thread: not worth the work.
  if (pending->gone) co_return opened;
  opened.initial = openHello(hello.data(), key_.publicKey.data(), key_.secretKey, opened.why);
  co_return opened;
}

asio::awaitable<std::optional<Server::Keyed>> Server::key(std::shared_ptr<Pending> pending, Initial initial) {
  Keyed keyed;
  if (pending->gone) co_return keyed;
  keyed.keys = std::make_shared<SessionKeys>();
  if (!keyed.keys->derive(initial.kxPublicKey()) ||
      !sealWelcome(keyed.keys->publicKey, initial.kxPublicKey(), key_.secretKey, keyed.welcome))
    co_return std::nullopt;
  co_return keyed;
}

asio::awaitable<void> Server::serve(std::shared_ptr<Session> session, Shard& shard,
                                    [[maybe_unused]] std::shared_ptr<Seat> seat,
                                    std::array<unsigned char, kWelcomeSize> welcome) {
  shard.join(session);
  Membership membership{shard, *session};
  co_await session->run(welcome);
}

}  // namespace sotto
