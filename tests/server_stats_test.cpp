// The server's counts, summed over its shards and its front thread, as an
// operator reads them. Addresses 127.0.30.1-2.
#include <gtest/gtest.h>

#include <future>

#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;
using sotto::Count;
using namespace std::chrono_literals;

// Waits until the count is want (it may lag what the clients and the log
// show by a moment); returns the count.
std::uint64_t await(const RunningServer& server, Count count, std::uint64_t want) {
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (server.stats()[count] != want && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  return server.stats()[count];
}

TEST(Stats, SessionsPacketsBytesAndRefusalsAreCountedOnceOverTwoShards) {
  sotto::Limits limits;
  limits.maxSessions = 2;
  RunningServer server("127.0.30.1", limits, "", {}, 2);
  const auto a = plain(1), b = plain(2), full = plain(3), unknown = plain(4);
  server.seed(full);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);
  EXPECT_FALSE(raw_client::connect(server.address(), raw_client::hello(unknown, server.key(), 0), server.key(), unknown)
                   .welcomed);
  EXPECT_FALSE(raw_client::connect(server.address(), raw_client::hello(full, server.key(), 0), server.key(), full)
                   .welcomed);

  sa->sendPacket(2, a.signPublicKey, text("hi"));
  EXPECT_EQ(next(*sb).payload, text("hi"));
  // Length word, the 37-byte header and "hi", the tag: one frame each way.
  const std::uint64_t frame = 4 + 37 + 2 + 16;
  EXPECT_EQ(await(server, Count::bytesOut, frame), frame);
  const sotto::Stats stats = server.stats();
  EXPECT_EQ(stats[Count::sessions], 2u);
  EXPECT_EQ(stats[Count::signIns], 2u);
  EXPECT_EQ(stats[Count::packetsIn], 1u);
  EXPECT_EQ(stats[Count::bytesIn], frame);
  EXPECT_EQ(stats[Count::packetsOut], 1u);
  EXPECT_EQ(stats[Count::refusedUnknownIdentity], 1u);
  EXPECT_EQ(stats[Count::refusedServerFull], 1u);
  EXPECT_EQ(stats[Count::refusedNoHello] + stats[Count::refusedBadHello] + stats[Count::refusedRegistryFailed] +
                stats[Count::refusedOther] + stats[Count::slowReadersCut] + stats[Count::budgetPauses],
            0u);

  sb->close();
  ASSERT_TRUE(server.log.waitFor("disconnected " + harness::hex(b)));
  EXPECT_EQ(await(server, Count::sessions, 1), 1u);
  EXPECT_EQ(server.stats()[Count::signIns], 2u);
}

TEST(Stats, AFeederPausedByTheBudgetAndAReaderCutOffAreCounted) {
  sotto::Limits limits;
  limits.maxQueuedBytesTotal = 1024 * 1024;
  limits.writeStall = 1s;
  RunningServer server("127.0.30.2", lifted::share(limits));
  const auto flooder = plain(1), stuck = plain(2);
  server.seed(stuck);
  auto sf = server.seedAndJoin(flooder);
  // Holds what is queued for it, and so the budget, until it is cut off.
  auto held = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                    raw_client::hello(stuck, server.key(), 0), server.key(), stuck);
  ASSERT_TRUE(sf && held.welcomed);
  auto flood = std::async(std::launch::async, [&] {
    for (int i = 0; i < 100; ++i) sf->sendPacket(2, flooder.signPublicKey, testing_peer::Bytes(60 * 1024, 'f'));
  });
  EXPECT_TRUE(server.log.waitFor("disconnected " + harness::hex(stuck) + ": reads too slowly"));
  flood.get();
  EXPECT_EQ(server.stats()[Count::slowReadersCut], 1u);
  EXPECT_GE(server.stats()[Count::budgetPauses], 1u) << server.log.all();
  EXPECT_EQ(await(server, Count::packetsIn, 100), 100u);
}

}  // namespace
