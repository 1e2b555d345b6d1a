// Session opening: resolve, connect to port 8081, send the sealed hello (with
// the proof of work for a new identity), open the welcome and derive the
// session keys. Runs on the I/O thread.
#include <sodium.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <ostream>
#include <string>

#include "client/client_impl.hpp"
#include "client/connect_race.hpp"
#include "client/pow.hpp"
#include "proto/deadline.hpp"
#include "proto/keep_alive.hpp"
#include "proto/port.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;

asio::awaitable<ClientImpl::Attempt> ClientImpl::connect_(std::shared_ptr<Link> link_, ConnectOutcome& outcome) {
  auto executor = co_await asio::this_coro::executor;
  sotto::NameLookup lookup(executor, handBack);
  sotto::ConnectRace race(executor);
  bool resolved = false;
  try {
    // The caller gets its answer at once; a lookup still running is left to
    // end on its own thread.
    sotto::Deadline deadline(executor, options.connectTimeout, [&] {
      lookup.cancel();
      race.stop();
      outcome.settle({networkError, resolved ? Failure::connection : Failure::lookup});
    });
    const sotto::Endpoints endpoints = co_await lookup.resolve(serverAddress, std::to_string(sotto::kServerPort));
    if (endpoints.empty()) co_return Attempt{networkError, Failure::lookup};
    resolved = true;
    co_await race.run(link_->socket, endpoints);
    if (deadline.expired()) co_return Attempt{networkError, Failure::connection};
    if (link_->closed) co_return Attempt{networkError, Failure::abandoned};
  } catch (const std::exception&) {
    co_return Attempt{networkError, resolved ? Failure::connection : Failure::lookup};
  }
  // Small frames must not wait for Nagle's timer behind an unacknowledged one.
  boost::system::error_code ignored;
  link_->socket.set_option(tcp::no_delay(true), ignored);
  sotto::keepAlive(link_->socket);

  const Attempt result = co_await handshake_(*link_);
  // Frames keyed by a welcome that did not open would go out under a key
  // nobody agreed on, so only a keyed session gets its loops.
  if (result.code != success) {
    link_->close();
    co_return result;
  }
  hadSession = true;
  // The server holds the identity now; a proof would only cost time.
  isNewIdentity = false;
  asio::co_spawn(executor, readHandler_(link_), asio::detached);
  asio::co_spawn(executor, writeHandler_(link_), asio::detached);
  co_return result;
}

asio::awaitable<ClientImpl::Attempt> ClientImpl::handshake_(Link& link_) {
  Initial initial = sotto::makeInitial(signPublicKey, link_.kxPublicKey, isNewIdentity);
  if (isNewIdentity) mining_(initial);

  std::array<unsigned char, sotto::kHelloSize> hello;
  if (!sotto::sealHello(initial, signSecretKey, serverPublicKey, hello)) co_return Attempt{cryptoError, Failure::welcome};

  // Counted from here, after the proof of work: a peer that takes the hello
  // and never answers must not keep connect waiting.
  sotto::Deadline deadline(co_await asio::this_coro::executor, options.handshakeTimeout, [&link_] { link_.close(); });
  // Exactly 76 bytes: frames sent right behind the welcome stay in the socket
  // for the receive loop.
  std::array<unsigned char, sotto::kWelcomeSize> welcome;
  try {
    co_await asio::async_write(link_.socket, asio::buffer(hello), asio::use_awaitable);
    if (!hadSession) *options.handshakeOut << "CLIENT: Sending packet size = " << hello.size() << std::endl;
    co_await asio::async_read(link_.socket, asio::buffer(welcome), asio::use_awaitable);
  } catch (const std::exception&) {
    // A server that refuses a hello closes the connection (or resets it, if
    // it has not read all of it).
    co_return Attempt{networkError, deadline.expired() ? Failure::noAnswer : Failure::refused};
  }
  // The deadline may have closed the socket after the welcome was already in
  // hand; that session is gone, whatever the welcome says.
  if (deadline.expired()) co_return Attempt{networkError, Failure::noAnswer};

  unsigned char sessionPublicKey[sotto::kKeySize];
  if (!sotto::openWelcome(welcome.data(), serverPublicKey, link_.kxSecretKey, sessionPublicKey))
    co_return Attempt{cryptoError, Failure::welcome};
  sodium_memzero(link_.rxNonce, sizeof link_.rxNonce);
  sodium_memzero(link_.txNonce, sizeof link_.txNonce);
  if (crypto_kx_client_session_keys(link_.rxKey, link_.txKey, link_.kxPublicKey, link_.kxSecretKey,
                                    sessionPublicKey) != 0)
    co_return Attempt{cryptoError, Failure::welcome};
  co_return Attempt{success, Failure::none};
}

void ClientImpl::mining_(Initial& initial) { sotto::findSmallestNonce(initial); }

bool ClientImpl::proofOfWortk(const Initial& initial) const { return sotto::proofPasses(initial); }
