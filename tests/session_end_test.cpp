// When a session ends and how a caller learns it: connected() against the
// independent peer, and the keepalive on the client's socket. Addresses
// 127.0.23.x belong to this file.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <functional>

#include "tests/support/client_harness.hpp"
#include "tests/support/own_sockets.hpp"

namespace {

using namespace std::chrono_literals;
using testing_peer::Behaviour;
using testing_peer::Session;

const testing_peer::Bytes lastWords = {'b', 'y', 'e'};

// The client's own socket: the one across from the peer's end.
int clientEnd(const Session& session) {
  for (const own_sockets::Ends& theirs : own_sockets::connected(session.fd()))
    for (const own_sockets::Ends& ours : own_sockets::connected())
      if (ours.ownPort == theirs.peerPort && ours.peerPort == theirs.ownPort) return ours.fd;
  return -1;
}

struct Ending {
  const char* name;
  const char* address;
  // Sent just before the end, unless the end is the client's own write.
  bool lastWordsSent;
  std::function<void(ClientImpl&, Session&)> end;
};
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

class SessionEnd : public testing::TestWithParam<Ending> {};

TEST_P(SessionEnd, ConnectedHoldsFromConnectUntilTheLastMessageIsQueued) {
  const Ending& ending = GetParam();
  testing_peer::TestPeer peer(ending.address);
  harness::Client client;
  EXPECT_FALSE(client.impl->connected());
  auto result = client.connect(ending.address, peer);
  auto session = peer.accept();
  ASSERT_TRUE(session);
  ASSERT_EQ(result.get(), Client::success);
  EXPECT_TRUE(client.impl->connected());

  if (ending.lastWordsSent) {
    session->sendPacket(2, {}, {});  // queues nothing, so hides nothing behind an empty poll
    session->sendPacket(2, {}, lastWords);
  }
  ending.end(*client.impl, *session);
  for (auto until = std::chrono::steady_clock::now() + 5s;
       client.impl->connected() && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(1ms);
  ASSERT_FALSE(client.impl->connected());
  // Once it reads false, everything received is already waiting.
  if (ending.lastWordsSent) {
    EXPECT_EQ(client.impl->readBytes().payload, lastWords);
  }
  EXPECT_TRUE(client.impl->readBytes().payload.empty());
}

// Shuts the client's sending direction under it, so that its next write
// fails while its receive loop still waits.
void failWrite(ClientImpl& client, Session& session) {
  ASSERT_EQ(::shutdown(clientEnd(session), SHUT_WR), 0);
  client.sendBytesBroadcast(lastWords);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, SessionEnd,
    testing::Values(Ending{"ServerCloses", "127.0.23.1", true, [](ClientImpl&, Session& s) { s.close(); }},
                    Ending{"ServerResets", "127.0.23.2", true, [](ClientImpl&, Session& s) { s.reset(); }},
                    Ending{"OversizedFrame", "127.0.23.3", true,
                           [](ClientImpl&, Session& s) { s.sendRaw({0xFF, 0xFF, 0xFF, 0xFF}); }},
                    Ending{"WriteFails", "127.0.23.4", false, failWrite}),
    [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
  const char* name;
  Behaviour behaviour;
  const char* address;
};
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class FailedHandshake : public testing::TestWithParam<Refusal> {};

TEST_P(FailedHandshake, NeverReportsConnected) {
  const Refusal& refusal = GetParam();
  testing_peer::TestPeer peer(refusal.address);
  harness::Client client;
  auto result = client.connect(refusal.address, peer);
  auto session = peer.accept(refusal.behaviour);
  EXPECT_NE(result.get(), Client::success);
  std::this_thread::sleep_for(50ms);  // whatever the I/O thread still had to do is done
  EXPECT_FALSE(client.impl->connected());
}

INSTANTIATE_TEST_SUITE_P(Refusals, FailedHandshake,
                         testing::Values(Refusal{"ClosedAfterHello", Behaviour::closeAfterHello, "127.0.23.5"},
                                         Refusal{"PartialWelcome", Behaviour::partialWelcome, "127.0.23.6"},
                                         Refusal{"WelcomeFromAnotherKey", Behaviour::wrongKeyWelcome, "127.0.23.7"},
                                         Refusal{"ZeroSessionKey", Behaviour::zeroSessionKey, "127.0.23.8"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KeepAlive, TheClientsSocketProbesAServerThatFallsSilent) {
  harness::Connected c("127.0.23.9");
  ASSERT_TRUE(c.connected);
  const int fd = clientEnd(*c.session);
  EXPECT_EQ(own_sockets::intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 6);
  // Unacknowledged data stops the probes; this bounds that case the same.
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 120'000);
}

}  // namespace
