// A ClientImpl with a fixed identity, connected to a TestPeer. The debug log
// goes where the test says, never to the real path.
#pragma once

#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "client/client_impl.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/test_peer.hpp"

namespace harness {

using namespace std::chrono_literals;

struct Client {
  fixed::Identity id = fixed::twoByteNonce();
  std::ostringstream handshakeLine;  // unless the test names another stream
  std::unique_ptr<ClientImpl> impl;

  explicit Client(sotto::ClientOptions options = {}) {
    if (options.debugLogPath == sotto::kDebugLogPath) options.debugLogPath = "/nonexistent-dir/debug.log";
    if (options.handshakeOut == &std::cout) options.handshakeOut = &handshakeLine;
    if (options.kxPairs.empty()) options.kxPairs = {id.kxPair()};
    impl = std::make_unique<ClientImpl>(options);
    impl->setClient(id.signPublicKey.data(), id.signSecretKey.data());
  }

  std::future<::Client::values> connect(const std::string& host, const testing_peer::TestPeer& peer,
                                        bool isNew = false) {
    impl->setServer(host, peer.publicKey().data(), isNew);
    return std::async(std::launch::async, [this] { return impl->connect(); });
  }

  // Polls readBytes until a message with a payload arrives, or gives up.
  RecivedMessage next(std::chrono::milliseconds timeout = 5s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      RecivedMessage m = impl->readBytes();
      if (!m.payload.empty() || std::chrono::steady_clock::now() > until) return m;
      std::this_thread::sleep_for(1ms);
    }
  }
};

// A client connected to a fresh peer at `address`, with the session open.
struct Connected {
  testing_peer::TestPeer peer;
  Client client;
  std::unique_ptr<testing_peer::Session> session;

  explicit Connected(const std::string& address, sotto::ClientOptions options = {},
                     const std::vector<testing_peer::Bytes>& glued = {})
      : peer(address), client(options) {
    auto result = client.connect(address, peer);
    session = peer.accept(testing_peer::Behaviour::normal, 10s, glued);
    connected = session && result.get() == ::Client::success;
  }
  bool connected = false;
};

}  // namespace harness
