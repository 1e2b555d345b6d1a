// What one client may cost the server: its outgoing queue, the connections
// that owe a hello, and the time they get. Addresses 127.0.5.30-39 (and
// 127.0.8.30 for the slow reader on two threads).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <future>

#include "tests/support/heap_in_use.hpp"
#include "tests/support/own_sockets.hpp"
#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;
using own_sockets::intOption;
using namespace std::chrono_literals;

std::unique_ptr<testing_peer::Session> silent(const RunningServer& server, const std::string& source) {
  const int fd = raw_client::dial(server.address(), source);
  EXPECT_GE(fd, 0);
  return std::make_unique<testing_peer::Session>(fd, testing_peer::Hello{}, false, raw_client::Key{},
                                                 raw_client::Key{});
}

class SlowReader : public harness::OnThreads {};

TEST_P(SlowReader, IsDisconnectedAlone) {
  sotto::Limits limits;
  limits.maxQueuedPacketsPerSession = 64;
  limits.maxQueuedBytesPerSession = 256 * 1024;
  RunningServer server(address(30), lifted::share(limits), "", {}, threads());
  const auto a = plain(1), b = plain(2), slow = plain(3);
  server.seed(slow);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  // A small receive window, and nobody reading it.
  auto outcome = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                       raw_client::hello(slow, server.key(), 0), server.key(), slow);
  ASSERT_TRUE(sa && sb && outcome.welcomed);

  constexpr int kFrames = 800;
  const testing_peer::Bytes chunk(16 * 1024, 'x');
  std::atomic<int> got{0};
  auto reader = std::async(std::launch::async, [&] {
    while (got < kFrames) {
      auto frame = sb->receiveFrame(10s);
      if (!frame || !frame->opened) break;
      ++got;
    }
    return got.load();
  });
  // The sender waits for the reading peer now and then, so that a loaded
  // machine pausing the reader's thread cannot make it the slow one: what
  // it has not read always fits in its queue on the server.
  for (int i = 0; i < kFrames; ++i) {
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         i - got > 8 && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(1ms);
    sa->sendPacket(2, a.signPublicKey, chunk);
  }
  EXPECT_EQ(reader.get(), kFrames);  // the reading peer lost nothing
  EXPECT_TRUE(server.log.waitFor("disconnected " + harness::hex(slow) + ": reads too slowly")) << server.log.all();
  EXPECT_TRUE(outcome.session->waitClosed(10s));

  sb->sendPacket(2, b.signPublicKey, text("after"));
  EXPECT_EQ(next(*sa).payload, text("after"));
}

INSTANTIATE_TEST_SUITE_P(Threads, SlowReader, testing::Values(1u, 2u), harness::threadsName);

TEST(Limits, AFloodPastTheBudgetPausesItsSenderAndTheChatLosesNothing) {
  sotto::Limits limits;
  limits.maxQueuedBytesTotal = 1024 * 1024;
  limits.writeStall = 1s;
  RunningServer server("127.0.5.38", lifted::share(limits));
  const auto a = plain(1), b = plain(2), flooder = plain(3), stuck = plain(4);
  server.seed(stuck);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sf = server.seedAndJoin(flooder);
  // Holds what is queued for it, and so the budget, until it is cut off.
  auto held = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                    raw_client::hello(stuck, server.key(), 0), server.key(), stuck);
  ASSERT_TRUE(sa && sb && sf && held.welcomed);

  // Each honest client reads everything, and counts the other's lines,
  // which must come one by one in order.
  constexpr int kLines = 50, kFlood = 100;
  std::atomic<int> lines[2] = {0, 0}, faults{0};
  const auto readAll = [&](testing_peer::Session& session, const fixed::Identity& other, int me) {
    for (int flood = 0; lines[me] < kLines || flood < kFlood;) {
      auto frame = session.receiveFrame(10s);
      if (!frame || !frame->opened) return;
      if (frame->key == flooder.signPublicKey) ++flood;
      else if (frame->key != other.signPublicKey || frame->payload != text(std::to_string(lines[me]++))) ++faults;
    }
  };
  auto readA = std::async(std::launch::async, readAll, std::ref(*sa), b, 0);
  auto readB = std::async(std::launch::async, readAll, std::ref(*sb), a, 1);
  auto flood = std::async(std::launch::async, [&] {
    for (int i = 0; i < kFlood; ++i) sf->sendPacket(2, flooder.signPublicKey, testing_peer::Bytes(60 * 1024, 'f'));
  });
  for (int i = 0; i < kLines; ++i) {
    sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
    sb->sendPacket(2, b.signPublicKey, text(std::to_string(i)));
    std::this_thread::sleep_for(2ms);
  }
  flood.get();
  readA.get();
  readB.get();
  EXPECT_EQ(lines[0], kLines);
  EXPECT_EQ(lines[1], kLines);
  EXPECT_EQ(faults, 0);
  EXPECT_TRUE(server.log.waitFor("reading paused")) << server.log.all();
  EXPECT_TRUE(server.log.waitFor("disconnected " + harness::hex(stuck) + ": reads too slowly"));
  EXPECT_TRUE(server.log.waitFor("reading resumed"));
  EXPECT_EQ(server.log.count("disconnected"), 1u) << server.log.all();
}

TEST(Limits, ASessionDoesNotKeepItsLargestFrameAfterward) {
  sotto::Limits limits;
  limits.maxPayload = 9u * 1024 * 1024;
  RunningServer server("127.0.5.36", lifted::share(limits));
  const auto a = plain(1);
  auto sa = server.seedAndJoin(a);
  ASSERT_TRUE(sa);
  // Something small first, so that whatever a session sets up once is
  // already counted in the baseline.
  sa->sendPacket(2, a.signPublicKey, text("warm"));
  for (const auto until = std::chrono::steady_clock::now() + 5s;
       server.packetsReceived() < 1 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(1ms);
  const std::size_t before = heapInUse();

  constexpr std::size_t kLarge = 8u * 1024 * 1024;
  sa->sendPacket(2, a.signPublicKey, testing_peer::Bytes(kLarge, 'x'));
  sa->sendPacket(2, a.signPublicKey, text("small again"));
  for (const auto until = std::chrono::steady_clock::now() + 10s;
       server.packetsReceived() < 3 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(server.packetsReceived(), 3u);
  // The large packet is done with once the reader has moved on; the session
  // should then hold a few KiB, not the frame it once read.
  std::size_t after = heapInUse();
  for (const auto until = std::chrono::steady_clock::now() + 5s;
       after >= before + kLarge / 4 && std::chrono::steady_clock::now() < until;
       after = heapInUse())
    std::this_thread::sleep_for(1ms);
  EXPECT_LT(after, before + kLarge / 4) << "held " << (after - before) << " bytes more";
}

TEST(Limits, ConnectionsOwingAHelloAreBoundedOldestFirst) {
  sotto::Limits limits;
  limits.maxPending = 3;
  limits.maxPendingPerAddress = 2;
  RunningServer server("127.0.5.31", limits);
  const auto a = plain(1);
  server.seed(a);

  // Per address: the third from 127.0.5.32 pushes out its first.
  auto p1 = silent(server, "127.0.5.32");
  auto p2 = silent(server, "127.0.5.32");
  ASSERT_TRUE(server.log.waitFor("127.0.5.32:", 2));
  auto p3 = silent(server, "127.0.5.32");
  EXPECT_TRUE(p1->waitClosed(5s));
  EXPECT_TRUE(server.log.waitFor("refused: too many connections from 127.0.5.32 without a hello"));
  EXPECT_FALSE(p2->waitClosed(100ms));

  // Overall: a fourth from elsewhere pushes out the oldest of all, p2.
  auto q1 = silent(server, "127.0.5.33");
  ASSERT_TRUE(server.log.waitFor("connected", 4));
  auto q2 = silent(server, "127.0.5.33");
  EXPECT_TRUE(p2->waitClosed(5s));
  EXPECT_TRUE(server.log.waitFor("refused: too many connections without a hello"));
  EXPECT_FALSE(p3->waitClosed(100ms));
  EXPECT_FALSE(q1->waitClosed(100ms));

  // A flood cannot lock out an honest client.
  EXPECT_TRUE(server.join(a));
}

TEST(Limits, AHelloMustArriveInTime) {
  sotto::Limits limits;
  limits.helloTimeout = 400ms;
  RunningServer server("127.0.5.34", limits);
  const auto a = plain(1);
  server.seed(a);

  auto idle = silent(server, "");
  // In time even when it comes in pieces.
  const auto hello = raw_client::hello(a, server.key(), 0);
  const int fd = raw_client::dial(server.address());
  ::send(fd, hello.data(), 100, MSG_NOSIGNAL);
  std::this_thread::sleep_for(150ms);
  auto late = raw_client::handshake(fd, testing_peer::Bytes(hello.begin() + 100, hello.end()), server.key(), a);
  EXPECT_TRUE(late.welcomed);

  EXPECT_TRUE(idle->waitClosed(5s));
  EXPECT_TRUE(server.log.waitFor("refused: no hello within the time limit"));
  // The keyed session is not subject to the hello deadline.
  EXPECT_FALSE(late.session->waitClosed(600ms));
}

TEST(Limits, SessionsAreBounded) {
  sotto::Limits limits;
  limits.maxSessions = 1;
  RunningServer server("127.0.5.35", limits);
  const auto a = plain(1), b = plain(2);
  server.seed(b);
  auto sa = server.seedAndJoin(a);
  ASSERT_TRUE(sa);
  auto turnedAway = raw_client::connect(server.address(), raw_client::hello(b, server.key(), 0), server.key(), b);
  EXPECT_FALSE(turnedAway.welcomed);
  EXPECT_TRUE(server.log.waitFor("refused: server full"));
  sa->close();
  ASSERT_TRUE(server.log.waitFor("disconnected"));
  EXPECT_TRUE(server.join(b));
}

// This process's connected sockets whose own end is address:8081 (the
// server runs in-process): the ends the server accepted.
std::vector<int> acceptedEnds(const std::string& address) {
  std::vector<int> fds;
  for (const own_sockets::Ends& s : own_sockets::connected())
    if (s.ownAddress == address && s.ownPort == 8081) fds.push_back(s.fd);
  return fds;
}

TEST(Limits, AcceptedConnectionsAreProbedSoThatVanishedClientsGoAway) {
  sotto::Limits limits;
  limits.keepAlive = {7s, 3s, 4};
  RunningServer server("127.0.5.37", limits);
  const auto a = plain(1);
  auto sa = server.seedAndJoin(a);
  ASSERT_TRUE(sa);
  const int pendingHello = raw_client::dial(server.address(), "");
  ASSERT_GE(pendingHello, 0);
  ASSERT_TRUE(server.log.waitFor("connected", 2));

  const std::vector<int> ends = acceptedEnds(server.address());
  ASSERT_EQ(ends.size(), 2u);  // the session, and the one still owing a hello
  for (const int fd : ends) {
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 19'000);
  }
  close(pendingHello);
}

}  // namespace
