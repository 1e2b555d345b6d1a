#include "client/client_impl.hpp"

#include <sodium.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <cstring>
#include <stdexcept>

namespace asio = boost::asio;

std::unique_ptr<Client> Client::create() { return std::make_unique<ClientImpl>(); }

ClientImpl::ClientImpl() : ClientImpl(sotto::ClientOptions{}) {}

ClientImpl::ClientImpl(const sotto::ClientOptions& options_)
    : socket(ioContext),
      writeTimer(socket.get_executor(), std::chrono::steady_clock::time_point::max()),
      readTimer(socket.get_executor(), std::chrono::steady_clock::time_point::max()),
      options(options_),
      handBack(std::make_shared<sotto::HandBack>(ioContext.get_executor())) {
  if (sodium_init() < 0) throw std::runtime_error("sodium init failed");
  if (options.kxPublicKey && options.kxSecretKey) {
    std::memcpy(kxPublicKey, options.kxPublicKey, sizeof kxPublicKey);
    std::memcpy(kxSecretKey, options.kxSecretKey, sizeof kxSecretKey);
  } else {
    crypto_kx_keypair(kxPublicKey, kxSecretKey);
  }
  workGuard = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      ioContext.get_executor());
  ioThread = std::thread([this] { ioContext.run(); });
}

ClientImpl::~ClientImpl() {
  // A lookup still running finds nobody to answer and ends on its own.
  handBack->close();
  workGuard.reset();
  // Stopping abandons the loops wherever they wait (the send loop's timer
  // never expires by itself), so the join cannot hang on them.
  ioContext.stop();
  if (ioThread.joinable()) ioThread.join();
  closeSocket();
  sodium_memzero(kxSecretKey, sizeof kxSecretKey);
  sodium_memzero(signSecretKey, sizeof signSecretKey);
  sodium_memzero(rxKey, sizeof rxKey);
  sodium_memzero(txKey, sizeof txKey);
}

void ClientImpl::closeSocket() {
  if (!socket.is_open()) return;
  boost::system::error_code ignored;
  socket.shutdown(Socket::shutdown_send, ignored);
  socket.close(ignored);
}

void ClientImpl::setServer(std::string host, const unsigned char* serverPublicKey_, bool isNewIdentity_) {
  serverAddress = std::move(host);
  std::memcpy(serverPublicKey, serverPublicKey_, sizeof serverPublicKey);
  isNewIdentity = isNewIdentity_;
}

void ClientImpl::setClient(const unsigned char* signPublicKey_, const unsigned char* signSecretKey_) {
  std::memcpy(signPublicKey, signPublicKey_, sizeof signPublicKey);
  std::memcpy(signSecretKey, signSecretKey_, sizeof signSecretKey);
}

void ClientImpl::genKeys(unsigned char* signPublicKey_, unsigned char* signSecretKey_) {
  crypto_sign_keypair(signPublicKey, signSecretKey);
  std::memcpy(signPublicKey_, signPublicKey, sizeof signPublicKey);
  std::memcpy(signSecretKey_, signSecretKey, sizeof signSecretKey);
}

Client::values ClientImpl::connect() {
  auto outcome = std::make_shared<ConnectOutcome>();
  auto result = outcome->promise.get_future();
  connectOutcome = outcome;
  asio::co_spawn(
      ioContext,
      [this, outcome]() -> asio::awaitable<void> {
        values v = networkError;
        try {
          v = co_await connect_();
        } catch (...) {
          // A failed write or read of the handshake, or the deadline closing
          // the socket under it.
        }
        // Before the caller wakes, and never over an end the receive loop
        // has already recorded.
        auto opening = SessionState::opening;
        if (v == success) session.compare_exchange_strong(opening, SessionState::live);
        outcome->settle(v);
      },
      asio::detached);
  return result.get();
}
