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

asio::awaitable<Client::values> ClientImpl::connect_() {
  auto executor = co_await asio::this_coro::executor;
  sotto::NameLookup lookup(executor, handBack);
  sotto::ConnectRace race(executor);
  try {
    // The caller gets its answer at once; a lookup still running is left to
    // end on its own thread.
    sotto::Deadline deadline(executor, options.connectTimeout, [&] {
      lookup.cancel();
      race.stop();
      connectOutcome->settle(networkError);
    });
    const sotto::Endpoints endpoints = co_await lookup.resolve(serverAddress, std::to_string(sotto::kServerPort));
    if (deadline.expired() || endpoints.empty()) co_return networkError;
    co_await race.run(socket, endpoints);
    if (deadline.expired()) co_return networkError;
  } catch (const std::exception&) {
    co_return networkError;
  }
  // Small frames must not wait for Nagle's timer behind an unacknowledged one.
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  sotto::keepAlive(socket);

  const values result = co_await handshake_();
  // Frames keyed by a welcome that did not open would go out under a key
  // nobody agreed on, so only a keyed session gets its loops.
  if (result != success) {
    closeSocket();
    co_return result;
  }
  asio::co_spawn(executor, readHandler_(), asio::detached);
  asio::co_spawn(executor, writeHandler_(), asio::detached);
  co_return result;
}

asio::awaitable<Client::values> ClientImpl::handshake_() {
  Initial initial = sotto::makeInitial(signPublicKey, kxPublicKey, isNewIdentity);
  if (isNewIdentity) mining_(initial);

  std::array<unsigned char, sotto::kHelloSize> hello;
  if (!sotto::sealHello(initial, signSecretKey, serverPublicKey, hello)) co_return cryptoError;

  // Counted from here, after the proof of work: a peer that takes the hello
  // and never answers must not keep connect waiting.
  sotto::Deadline deadline(co_await asio::this_coro::executor, options.handshakeTimeout, [this] { closeSocket(); });
  co_await asio::async_write(socket, asio::buffer(hello), asio::use_awaitable);
  *options.handshakeOut << "CLIENT: Sending packet size = " << hello.size() << std::endl;

  // Exactly 76 bytes: frames sent right behind the welcome stay in the socket
  // for the receive loop.
  std::array<unsigned char, sotto::kWelcomeSize> welcome;
  co_await asio::async_read(socket, asio::buffer(welcome), asio::use_awaitable);
  // The deadline may have closed the socket after the welcome was already in
  // hand; that session is gone, whatever the welcome says.
  if (deadline.expired()) co_return networkError;

  unsigned char sessionPublicKey[sotto::kKeySize];
  if (!sotto::openWelcome(welcome.data(), serverPublicKey, kxSecretKey, sessionPublicKey)) co_return cryptoError;
  sodium_memzero(rxNonce, sizeof rxNonce);
  sodium_memzero(txNonce, sizeof txNonce);
  if (crypto_kx_client_session_keys(rxKey, txKey, kxPublicKey, kxSecretKey, sessionPublicKey) != 0)
    co_return cryptoError;
  co_return success;
}

void ClientImpl::mining_(Initial& initial) { sotto::findSmallestNonce(initial); }

bool ClientImpl::proofOfWortk(const Initial& initial) const { return sotto::proofPasses(initial); }
