// When a session ends and how a caller learns it: connected() against the
// independent peer, and the keepalive that notices a peer which vanished
// without a word. Addresses 127.0.23.x belong to this file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>

#include "client_harness.hpp"
#include "own_sockets.hpp"

namespace {

using namespace std::chrono_literals;
using testing_peer::Behaviour;
using testing_peer::Bytes;
using testing_peer::Session;
using testing_peer::TestPeer;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The client's own socket: the one whose end the peer sees across from it.
int clientEnd(const Session& session) {
  sockaddr_in seen{};
  socklen_t size = sizeof seen;
  if (getpeername(session.fd(), reinterpret_cast<sockaddr*>(&seen), &size) != 0) return -1;
  for (const own_sockets::Ends& s : own_sockets::connected())
    if (s.ownPort == ntohs(seen.sin_port) && s.peerPort == 8081) return s.fd;
  return -1;
}

bool endsWithin(const ClientImpl& client, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (client.connected() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  return !client.connected();
}

struct Ending {
  const char* name;
  const char* address;
  // Whether the peer's last message is sure to be read: it is sent just
  // before the end, unless the end is the client's own failed write.
  bool lastWordsRead;
  std::function<void(ClientImpl&, Session&)> end;
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

class SessionEnd : public testing::TestWithParam<Ending> {};

TEST_P(SessionEnd, ConnectedHoldsFromConnectUntilTheLastMessageIsQueued) {
  const Ending& ending = GetParam();
  TestPeer peer(ending.address);
  harness::Client client;
  EXPECT_FALSE(client.impl->connected());
  auto result = client.connect(ending.address, peer);
  auto session = peer.accept();
  ASSERT_TRUE(session);
  ASSERT_EQ(result.get(), Client::success);
  EXPECT_TRUE(client.impl->connected());

  if (ending.lastWordsRead) {
    session->sendPacket(2, {}, {});  // queues nothing, so cannot hide behind an empty poll
    session->sendPacket(2, {}, text("last words"));
  }
  ending.end(*client.impl, *session);
  ASSERT_TRUE(endsWithin(*client.impl, 5s));
  // Once it reads false, everything received is already waiting.
  if (ending.lastWordsRead) {
    EXPECT_EQ(client.impl->readBytes().payload, text("last words"));
  }
  EXPECT_TRUE(client.impl->readBytes().payload.empty());
}

// The client's sending direction is shut under it, so that its next write
// fails while the receive loop still waits for data.
void failWrite(ClientImpl& client, Session& session) {
  ASSERT_EQ(::shutdown(clientEnd(session), SHUT_WR), 0);
  client.sendBytesBroadcast(text("refused"));
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
  const auto [name, behaviour, address] = GetParam();
  TestPeer peer(address);
  harness::Client client;
  auto result = client.connect(address, peer);
  std::atomic<bool> done{false}, seen{false};
  std::thread watcher([&] {
    while (!done) {
      seen = seen || client.impl->connected();
      std::this_thread::yield();
    }
  });
  auto session = peer.accept(behaviour);
  EXPECT_NE(result.get(), Client::success);
  std::this_thread::sleep_for(50ms);  // anything left running on the I/O thread has had its turn
  done = true;
  watcher.join();
  EXPECT_FALSE(seen);
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
  ASSERT_GE(fd, 0);
  EXPECT_EQ(own_sockets::intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(own_sockets::intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 6);
}

}  // namespace
