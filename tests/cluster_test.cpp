// sotto-server instances as one chat through NATS, with real nats-server,
// PostgreSQL and server processes: every line checked, across instances and
// through each fault. Addresses 127.0.16.x (a cluster per test: nats on the
// tens, instances after it).
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/cluster.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using testing_peer::Bytes;
using testing_peer::Key;
using namespace std::chrono_literals;
using Sent = std::map<Key, std::vector<Bytes>>;

constexpr unsigned char kDirect = 1, kBroadcast = 2;
constexpr std::size_t kMaxPayload = 65536;

// What each recipient must have: every line of each sender, once, in order.
void expectExactly(Chatter& chatter, const Sent& expected, const std::string& who) {
  std::size_t total = 0;
  for (const auto& [sender, lines] : expected) total += lines.size();
  EXPECT_TRUE(chatter.waitFor(total)) << who;
  std::this_thread::sleep_for(200ms);  // anything beyond would show now
  const auto got = chatter.bySender();
  EXPECT_EQ(got.size(), expected.size()) << who;
  for (const auto& [sender, lines] : expected) {
    const auto it = got.find(sender);
    ASSERT_NE(it, got.end()) << who << " heard nothing from a sender";
    EXPECT_EQ(it->second.size(), lines.size()) << who;
    EXPECT_TRUE(it->second == lines) << who << ": lines differ, are missing, repeated or out of order";
  }
}

// Broadcasts line i of sender n and notes it in sent.
void broadcast(Chatter& chatter, const fixed::Identity& id, int n, int i, std::size_t size, Sent& sent) {
  sent[id.signPublicKey].push_back(line(n, i, size));
  chatter.send(kBroadcast, id.signPublicKey, sent[id.signPublicKey].back());
}

TEST(Cluster, AnUnreachableBusAtStartIsOneLineAndStatusOne) {
  harness::TempDir dir;
  Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.16.1", "--data-dir", dir / "data", "--postgres",
                PostgresCluster::shared().freshDatabase(), "--nats", "nats://127.0.16.2:4222"},
               dir / "err");
  EXPECT_EQ(server.wait(std::chrono::seconds(30)), 1);
  std::ifstream err(dir / "err");
  std::string first, second;
  std::getline(err, first);
  EXPECT_NE(first.find("cannot reach the bus at nats://127.0.16.2:4222"), std::string::npos) << first;
  EXPECT_FALSE(std::getline(err, second)) << second;
}

TEST(Cluster, BroadcastAndDirectReachEverySessionOnEveryInstanceOnceInOrderIntact) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.16", 10, 3);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0), d = fixed::make(4, 0);
  for (const auto* id : {&a, &b, &c, &d}) cluster.seed(*id);
  // d is signed in twice, on the instances a is not on.
  Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b)), cc(cluster.join(2, c)), d1(cluster.join(1, d)),
      d2(cluster.join(2, d));
  ASSERT_TRUE(ca.ok() && cb.ok() && cc.ok() && d1.ok() && d2.ok());

  // a alternates broadcasts with Directs to d; b and c broadcast. Some lines
  // are as large as an instance relays.
  Sent broadcasts, forD;
  for (int i = 0; i < 120; ++i) {
    for (int n = 0; n < 3; ++n) {
      Chatter& from = n == 0 ? ca : n == 1 ? cb : cc;
      const Key& sender = (n == 0 ? a : n == 1 ? b : c).signPublicKey;
      const Bytes text = line(n, i, i % 40 == 39 ? kMaxPayload : 20 + i);
      const bool direct = n == 0 && i % 2 == 1;
      // The key field of a broadcast claims to be d: the instance knows better.
      from.send(direct ? kDirect : kBroadcast, d.signPublicKey, text);
      if (!direct) broadcasts[sender].push_back(text);
      // d has each sender's lines in the sender's order, whichever kind.
      forD[sender].push_back(text);
    }
  }
  auto others = [&](const Key& self) {
    Sent out = broadcasts;
    out.erase(self);
    return out;
  };
  expectExactly(ca, others(a.signPublicKey), "a");
  expectExactly(cb, others(b.signPublicKey), "b");
  expectExactly(cc, others(c.signPublicKey), "c");
  expectExactly(d1, forD, "d on the second instance");
  expectExactly(d2, forD, "d on the third instance");
  // Every record an instance sealed opened at the others.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cluster.log(i).find("do not open"), std::string::npos) << cluster.log(i);
}

TEST(Cluster, BusKilledAndRestartedOnItsStoreLosesNothingRepeatsNothingKeepsOrder) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.16", 20, 2);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), near = fixed::make(3, 0);
  for (const auto* id : {&a, &b, &near}) cluster.seed(*id);
  Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b)), cnear(cluster.join(0, near));
  ASSERT_TRUE(ca.ok() && cb.ok() && cnear.ok());
  Sent fromA, fromB;
  int i = 0;
  auto chat = [&](int lines) {
    for (int end = i + lines; i < end; ++i) {
      broadcast(ca, a, 0, i, 30 + i % 100, fromA);
      broadcast(cb, b, 1, i, 30 + i % 100, fromB);
    }
  };
  chat(200);
  ASSERT_TRUE(cb.waitFor(200) && ca.waitFor(200) && cnear.waitFor(400));
  cluster.nats.kill();
  chat(200);
  // Sessions on the sender's own instance do not wait for the bus.
  EXPECT_TRUE(cnear.waitFor(600)) << "a's lines stopped at its own instance while the bus was down";
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(cluster.nats.start());
  chat(200);

  Sent atB = fromA, atA = fromB, atNear = fromA;
  atNear.insert(fromB.begin(), fromB.end());
  expectExactly(cb, atB, "b");
  expectExactly(ca, atA, "a");
  expectExactly(cnear, atNear, "a's neighbour");
  EXPECT_EQ(cluster.log(0).find("may have missed"), std::string::npos) << cluster.log(0);
}

TEST(Cluster, InstanceKilledEndsItsSessionsAndTheOthersLoseNothing) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.16", 30, 3);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  for (const auto* id : {&a, &b, &c}) cluster.seed(*id);
  Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b)), cc(cluster.join(2, c));
  ASSERT_TRUE(ca.ok() && cb.ok() && cc.ok());
  Sent fromA, fromB, fromC;
  for (int i = 0; i < 100; ++i) broadcast(cc, c, 2, i, 40, fromC);
  ASSERT_TRUE(ca.waitFor(100) && cb.waitFor(100));
  cluster.kill(2);
  EXPECT_TRUE(cc.waitEnded()) << "c's connection outlived its instance";
  for (int i = 0; i < 300; ++i) {
    broadcast(ca, a, 0, i, 40 + i, fromA);
    broadcast(cb, b, 1, i, 40 + i, fromB);
  }
  Sent atA = fromB, atB = fromA;
  atA.insert(fromC.begin(), fromC.end());
  atB.insert(fromC.begin(), fromC.end());
  expectExactly(ca, atA, "a");
  expectExactly(cb, atB, "b");
}

TEST(Cluster, OutageLongerThanAnInstanceCanBridgeClosesTheSessionsThatMissedPackets) {
  // The first instance holds only a few kilobytes for the bus.
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.16", 40, 2, {{"--bus-backlog", "4096"}});
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), near = fixed::make(3, 0);
  for (const auto* id : {&a, &b, &near}) cluster.seed(*id);
  Chatter ca(cluster.join(0, a)), cb(cluster.join(1, b)), cnear(cluster.join(0, near));
  ASSERT_TRUE(ca.ok() && cb.ok() && cnear.ok());
  Sent fromA;
  for (int i = 0; i < 200; ++i) {
    if (i == 10) {
      ASSERT_TRUE(cb.waitFor(10));
      cluster.nats.kill();
    }
    broadcast(ca, a, 0, i, 100, fromA);
  }
  // a's own instance delivers everything to its own sessions...
  expectExactly(cnear, fromA, "a's neighbour");
  EXPECT_TRUE(cluster.waitForLog(0, "the backlog is full")) << cluster.log(0);
  ASSERT_TRUE(cluster.nats.start());
  // ...and the other closes the session that missed a's lines, saying why,
  // after handing it only lines in order.
  EXPECT_TRUE(cb.waitEnded()) << cluster.log(1);
  EXPECT_TRUE(cluster.waitForLog(1, "dropped")) << cluster.log(1);
  const auto got = cb.bySender()[a.signPublicKey];
  const auto& sent = fromA[a.signPublicKey];
  EXPECT_LT(got.size(), sent.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin())) << "b got lines past a hole";
  EXPECT_FALSE(ca.waitEnded(0ms));
  // A new session chats across again.
  Chatter again(cluster.join(1, b));
  ASSERT_TRUE(again.ok());
  ca.send(kBroadcast, a.signPublicKey, line(0, 999, 50));
  // After the catch-up of what it missed, which the history kept.
  const auto arrived = [&] {
    const auto got = again.received();
    return !got.empty() && got.back().payload == line(0, 999, 50);
  };
  for (std::size_t seen = 1; !arrived() && again.waitFor(seen, 10s); ++seen) {
  }
  EXPECT_TRUE(arrived()) << cluster.log(0) << cluster.log(1);
}

}  // namespace
