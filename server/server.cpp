#include "server/server.hpp"

#include <sodium.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <ctime>

#include "proto/deadline.hpp"
#include "server/session.hpp"

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

// A fresh key-exchange pair for one connection and the server side of the
// session keys derived from it; the secrets are wiped when it goes.
struct SessionKeys {
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

// Leaves the hub whichever way the session's coroutine ends.
struct Membership {
  Hub& hub;
  const Session& session;
  ~Membership() { hub.leave(session); }
};

}  // namespace

Server::Server(ServerOptions options, LogSink sink) : options_(std::move(options)), log_(std::move(sink)) {}

Server::~Server() { bus_.reset(); }

bool Server::open(std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium failed to start";
    return false;
  }
  if (!loadOrCreateServerKey(options_.dataDir, key_, error)) return false;
  std::unique_ptr<Registry> registry = openRegistry(options_, error);
  if (!registry) return false;
  registry_ = RegistryService::start(std::move(registry), options_.limits, log_, error);
  if (!registry_) return false;
  if (!openBus(error)) return false;

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
  // The bus's consumer thread hands over to the I/O thread, in order.
  handlers.deliver = [this](const Key& named, const std::shared_ptr<const Bytes>& packet) {
    asio::post(io_, [this, named, packet] { hub_.deliverFromBus(named, packet); });
  };
  handlers.lost = [this](const std::string& why) {
    log_.event("bus", "closing every session here, which may have missed packets: " + why);
    asio::post(io_, [this] { hub_.closeAll("may have missed packets from another instance"); });
  };
  handlers.note = [this](const std::string& what) { log_.event("bus", what); };
  bus_ = Bus::connect({options_.nats, options_.busBacklogBytes}, std::move(handlers), error);
  if (!bus_) return false;
  std::string urls;
  for (const auto& url : options_.nats) urls += (urls.empty() ? "" : ",") + url;
  log_.event("bus", "joined the cluster on " + urls + " as instance " + toHex(bus_->id().data(), 8));
  hub_.setBus(bus_.get());
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
  asio::co_spawn(io_, acceptLoop(), [this](std::exception_ptr error) {
    if (error) shutdown("accept loop failed");
  });
  io_.run();
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

asio::awaitable<void> Server::acceptLoop() {
  asio::steady_timer pause(io_);
  while (!stopping_) {
    auto [ec, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
    if (stopping_ || ec == asio::error::operation_aborted) break;
    if (ec) {
      // Out of descriptors, most likely: give the open ones a moment to end
      // instead of spinning on the same error.
      log_.event(listenName_, "accept failed: " + ec.message());
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
      continue;
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
}

void Server::admit(const std::shared_ptr<Pending>& pending) {
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
  admit(pending);
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

asio::awaitable<std::optional<std::string>> Server::admitIdentity(const std::string& peer, const Initial& initial) {
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
    case Registry::Result::unknown: co_return "unknown identity " + who + " without proof of work";
    case Registry::Result::failed: co_return "registry failed for " + who + ": " + answer.error;
  }
  if (hub_.size() >= options_.limits.maxSessions) co_return "server full, " + who + " turned away";
  co_return std::nullopt;
}

asio::awaitable<void> Server::greet(tcp::socket socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) co_return;  // already gone
  const std::string peer = endpointName(remote);
  keepAlive(socket, options_.limits.keepAlive);
  log_.event(peer, "connected");
  const auto refuse = [&](const std::string& why) {
    log_.event(peer, "refused: " + why);
    closeQuietly(socket);
  };

  std::array<unsigned char, kHelloSize> hello;
  const std::string unread = co_await readHello(socket, remote.address().to_string(), hello);
  if (!unread.empty()) co_return refuse(unread);
  HelloError why = HelloError::none;
  const std::optional<Initial> initial = openHello(hello.data(), key_.publicKey.data(), key_.secretKey, why);
  if (!initial) co_return refuse(std::string(describe(why)));
  if (const auto refusal = co_await admitIdentity(peer, *initial)) co_return refuse(*refusal);

  Key identity;
  std::memcpy(identity.data(), initial->signPublicKey(), identity.size());
  const std::string who = toHex(identity.data(), identity.size());
  SessionKeys keys;
  std::array<unsigned char, kWelcomeSize> welcome;
  if (!keys.derive(initial->kxPublicKey()) ||
      !sealWelcome(keys.publicKey, initial->kxPublicKey(), key_.secretKey, welcome))
    co_return refuse("unusable key-exchange key from " + who);
  co_await asio::async_write(socket, asio::buffer(welcome), asio::redirect_error(asio::use_awaitable, ec));
  if (ec || stopping_) {
    log_.event(peer, "disconnected " + who + ": " + (ec ? ec.message() : "server shutting down"));
    co_return;
  }
  auto session =
      std::make_shared<Session>(std::move(socket), peer, identity, keys.rx, keys.tx, hub_, log_, options_.limits);
  hub_.join(session);
  Membership membership{hub_, *session};
  co_await session->run();
}

}  // namespace sotto
