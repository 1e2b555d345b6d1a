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
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "proto/deadline.hpp"
#include "server/session.hpp"
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

Server::Server(ServerOptions options, LogSink sink)
    : options_(std::move(options)),
      log_(std::move(sink)),
      hub_(threadCount(options_.threads), options_.limits) {}

Server::~Server() { bus_.reset(); }

Stats Server::stats() const {
  Stats stats = hub_.stats();
  stats += front_.read();
  if (history_) stats.values[static_cast<std::size_t>(Count::historyUnkept)] += history_->unkept();
  return stats;
}

bool Server::open(std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium failed to start";
    return false;
  }
  openFiles_ = raiseOpenFileLimit();
  fitToMachine(options_.limits, openFiles_);
  if (!loadOrCreateServerKey(options_.dataDir, key_, error)) return false;
  std::unique_ptr<Registry> registry = openRegistry(options_.postgres, options_.dataDir, error);
  if (!registry) return false;
  registry_ = RegistryService::start(std::move(registry), options_.limits, log_, error);
  if (!registry_) return false;
  if (!openBus(error)) return false;
  if (!openHistory(error)) return false;

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
  Bus::Settings settings{options_.nats};
  if (options_.busBacklogBytes) settings.maxBacklogBytes = *options_.busBacklogBytes;
  bus_ = Bus::connect(settings, std::move(handlers), error);
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
  history_ = History::open(options_, origin, log_, [this](const Key& key) { return registry_->registered(key); },
                           error);
  if (!history_) return false;
  hub_.setHistory(history_.get(), key_.publicKey);
  return true;
}

void Server::run(bool handleSignals) {
  if (handleSignals) {
    signals_.emplace(io_, SIGINT, SIGTERM);
    signals_->async_wait([this](const boost::system::error_code& ec, int signal) {
      if (!ec) shutdown(std::string("shutting down on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    });
  }
  log_.event(listenName_, "listening");
  const Limits& limits = options_.limits;
  std::string capacity = "capacity: " + std::to_string(limits.maxSessions) + " sessions on " +
                         std::to_string(hub_.shards()) + " I/O threads, open-file limit " + std::to_string(openFiles_);
  if (limits.maxSessions + limits.maxPending + kReservedFiles > openFiles_)
    capacity += " (too low for that many: newcomers will be turned away sooner)";
  log_.event(listenName_, capacity);

  hub_.start();
  std::optional handshakeWork = asio::make_work_guard(handshakes_);
  for (std::size_t i = 0; i < hub_.shards(); ++i)
    threads_.emplace_back([this] {
      // Behind the relaying threads when the cores are short; failing to is harmless.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
      handshakes_.run();
    });

  asio::co_spawn(io_, acceptLoop(), [this](std::exception_ptr error) {
    if (error) shutdown("accept loop failed");
  });
  io_.run();
  // Nothing is handed over any more; the sessions wind down on their shards.
  handshakeWork.reset();
  hub_.finish();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
  log_.event(listenName_, "stopped");
}

void Server::stop() {
  asio::post(io_, [this] { shutdown("shutting down"); });
}

void Server::shutdown(const std::string& why) {
  if (stopping_) return;
  stopping_ = true;
  log_.event(listenName_, why);
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  if (signals_) signals_->cancel(ignored);
  while (!pending_.empty()) evict(pending_.begin(), "server shutting down");
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

void Server::addPending(const std::shared_ptr<Pending>& pending) {
  const auto sameAddress = [&](const std::shared_ptr<Pending>& p) { return p->address == pending->address; };
  const auto fromThere = static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(), sameAddress));
  if (fromThere > 0 && fromThere >= options_.limits.maxPendingPerAddress)
    evict(std::find_if(pending_.begin(), pending_.end(), sameAddress),
          "too many connections from " + pending->address + " without a hello");
  else if (pending_.size() >= options_.limits.maxPending && !pending_.empty())
    evict(pending_.begin(), "too many connections without a hello");
  pending_.push_back(pending);
}

void Server::evict(PendingList::iterator it, const std::string& why) {
  (*it)->closedBecause = why;
  closeQuietly(*(*it)->socket);
  pending_.erase(it);
}

asio::awaitable<std::string> Server::readHello(tcp::socket& socket, const std::string& address,
                                               std::array<unsigned char, kHelloSize>& hello) {
  auto pending = std::make_shared<Pending>(Pending{&socket, address, {}});
  addPending(pending);
  // Off the list however this ends, so no entry outlives its socket.
  struct Listed {
    PendingList& list;
    const std::shared_ptr<Pending>& entry;
    ~Listed() {
      if (auto it = std::find(list.begin(), list.end(), entry); it != list.end()) list.erase(it);
    }
  } listed{pending_, pending};
  boost::system::error_code ec;
  std::size_t got = 0;
  {
    Deadline deadline(socket.get_executor(), options_.limits.helloTimeout, [&] {
      if (auto it = std::find(pending_.begin(), pending_.end(), pending); it != pending_.end())
        evict(it, "no hello within the time limit");
    });
    got = co_await asio::async_read(socket, asio::buffer(hello), asio::redirect_error(asio::use_awaitable, ec));
  }
  if (!pending->closedBecause.empty()) co_return pending->closedBecause;
  if (!ec) co_return "";
  if (got == 0) co_return "closed before sending a hello";
  co_return "closed after " + std::to_string(got) + " of " + std::to_string(kHelloSize) + " hello bytes";
}

asio::awaitable<std::optional<Server::Refusal>> Server::admitIdentity(const std::string& peer,
                                                                     const Initial& initial) {
  Key identity;
  std::memcpy(identity.data(), initial.signPublicKey(), identity.size());
  const std::string who = toHex(identity.data(), identity.size());
  // A proven identity is registered even if the session cannot go on: its
  // client remembers that it has registered and never sends a proof again.
  const std::int64_t now = std::time(nullptr);
  const bool isNew = initial.isNewIdentity() == 1;
  const RegistryService::Answer answer = co_await registry_->admit(identity, isNew, now);
  switch (answer.result) {
    case Registry::Result::added: log_.event(peer, "registered " + who); break;
    case Registry::Result::known: log_.event(peer, "signed in " + who + (isNew ? " (registered before)" : "")); break;
    case Registry::Result::unknown:
      co_return Refusal{Count::refusedUnknownIdentity, "unknown identity " + who + " without proof of work"};
    case Registry::Result::failed:
      co_return Refusal{Count::refusedRegistryFailed, "registry failed for " + who + ": " + answer.error};
  }
  if (hub_.size() >= options_.limits.maxSessions)
    co_return Refusal{Count::refusedServerFull, "server full, " + who + " turned away"};
  co_return std::nullopt;
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
    log_.event(peer, "refused: " + refusal.why);
    closeQuietly(socket);
  };

  std::array<unsigned char, kHelloSize> hello;
  const std::string unread = co_await readHello(socket, remote.address().to_string(), hello);
  if (!unread.empty()) co_return refuse({Count::refusedNoHello, unread});
  const Admission admission = co_await asio::co_spawn(handshakes_, handshake(peer, hello), asio::use_awaitable);
  if (admission.refusal) co_return refuse(*admission.refusal);
  if (stopping_) co_return refuse({Count::refusedOther, "server shutting down"});
  // The session moves to its shard's event loop for good, which writes the
  // welcome once the session is there.
  Shard& shard = hub_.nextShard();
  const auto protocol = remote.protocol();
  const int fd = socket.release(ec);
  if (ec) co_return refuse({Count::refusedOther, "cannot hand over the connection: " + ec.message()});
  asio::post(shard.io(), [this, &shard, protocol, fd, peer, admission] {
    auto session = std::make_shared<Session>(tcp::socket(shard.io(), protocol, fd), peer, admission.identity,
                                             admission.keys->rx, admission.keys->tx, shard, log_, options_.limits);
    asio::co_spawn(shard.io(), serve(std::move(session), shard, admission.welcome), asio::detached);
  });
}

asio::awaitable<Server::Admission> Server::handshake(std::string peer, std::array<unsigned char, kHelloSize> hello) {
  Admission admission;
  HelloError why = HelloError::none;
  const std::optional<Initial> initial = openHello(hello.data(), key_.publicKey.data(), key_.secretKey, why);
  if (!initial) {
    admission.refusal = Refusal{Count::refusedBadHello, std::string(describe(why))};
    co_return admission;
  }
  if (const auto refusal = co_await admitIdentity(peer, *initial)) {
    admission.refusal = *refusal;
    co_return admission;
  }
  std::memcpy(admission.identity.data(), initial->signPublicKey(), admission.identity.size());
  admission.keys = std::make_shared<SessionKeys>();
  if (!admission.keys->derive(initial->kxPublicKey()) ||
      !sealWelcome(admission.keys->publicKey, initial->kxPublicKey(), key_.secretKey, admission.welcome))
    admission.refusal = Refusal{Count::refusedBadHello, "unusable key-exchange key from " +
                                                          toHex(admission.identity.data(), admission.identity.size())};
  co_return admission;
}

asio::awaitable<void> Server::serve(std::shared_ptr<Session> session, Shard& shard,
                                    std::array<unsigned char, kWelcomeSize> welcome) {
  shard.join(session);
  Membership membership{shard, *session};
  co_await session->run(welcome);
}

}  // namespace sotto
