#include "client/client_impl.hpp"

#include <sodium.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <cstring>
#include <stdexcept>

namespace asio = boost::asio;

std::unique_ptr<Client> Client::create() { return std::make_unique<ClientImpl>(); }

ClientImpl::ClientImpl() : ClientImpl(sotto::ClientOptions{}) {}

ClientImpl::ClientImpl(const sotto::ClientOptions& options_)
    : options(options_), handBack(std::make_shared<sotto::HandBack>(ioContext.get_executor())) {
  if (sodium_init() < 0) throw std::runtime_error("sodium init failed");
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
  if (link) link->close();
  sodium_memzero(signSecretKey, sizeof signSecretKey);
}

ClientImpl::Link::Link(asio::io_context& io)
    : socket(io),
      writeTimer(io, std::chrono::steady_clock::time_point::max()),
      readTimer(io, std::chrono::steady_clock::time_point::max()) {}

ClientImpl::Link::~Link() {
  sodium_memzero(kxSecretKey, sizeof kxSecretKey);
  sodium_memzero(rxKey, sizeof rxKey);
  sodium_memzero(txKey, sizeof txKey);
}

void ClientImpl::Link::close() {
  closed = true;
  boost::system::error_code ignored;
  if (socket.is_open()) {
    socket.shutdown(Socket::shutdown_send, ignored);
    socket.close(ignored);
  }
  writeTimer.cancel();
  readTimer.cancel();
}

std::shared_ptr<ClientImpl::Link> ClientImpl::openLink() {
  if (link) link->close();
  link = std::make_shared<Link>(ioContext);
  if (pinnedPairsUsed < options.kxPairs.size()) {
    const auto& pair = options.kxPairs[pinnedPairsUsed++];
    std::memcpy(link->kxPublicKey, pair.data(), sizeof link->kxPublicKey);
    std::memcpy(link->kxSecretKey, pair.data() + sizeof link->kxPublicKey, sizeof link->kxSecretKey);
  } else {
    crypto_kx_keypair(link->kxPublicKey, link->kxSecretKey);
  }
  session = SessionState::opening;
  return link;
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
  {
    std::lock_guard lock(abandonMutex);
    if (abandoned) {
      lastFailure = Failure::abandoned;
      return networkError;
    }
    pendingOutcome = outcome;
  }
  asio::co_spawn(
      ioContext,
      [this, outcome]() -> asio::awaitable<void> {
        const std::shared_ptr<Link> next = openLink();
        const Attempt attempt = co_await connect_(next, *outcome);
        // Before the caller wakes, and never over an end the receive loop
        // has already recorded.
        auto opening = SessionState::opening;
        if (attempt.code == success) session.compare_exchange_strong(opening, SessionState::live);
        if (!outcome->settle(attempt) && attempt.code == success) {
          // abandon answered first: nobody is left to use this session.
          session = SessionState::ended;
          next->close();
        }
      },
      asio::detached);
  const Attempt attempt = result.get();
  {
    std::lock_guard lock(abandonMutex);
    if (pendingOutcome == outcome) pendingOutcome.reset();
  }
  lastFailure = attempt.failure;
  return attempt.code;
}

Client::Failure ClientImpl::failure() const { return lastFailure; }

void ClientImpl::abandon() {
  std::shared_ptr<ConnectOutcome> outcome;
  {
    std::lock_guard lock(abandonMutex);
    abandoned = true;
    outcome = pendingOutcome;
  }
  if (outcome) outcome->settle({networkError, Failure::abandoned});
  // Whatever the attempt was waiting for ends with its socket.
  asio::post(ioContext, [this] {
    if (link) link->close();
  });
}
