// The cluster's soak: 30 clients spread over three instances each broadcast
// 1,000 lines; every line reaches every other client exactly once, in its
// sender's order, intact. Runs for minutes, so only with the soak label.
// Addresses 127.0.16.50-53.
#include <gtest/gtest.h>

#include "tests/support/cluster.hpp"

namespace {

using namespace std::chrono_literals;

constexpr int kClients = 30;
constexpr int kLines = 1000;
// Below the 1,024 frames an instance queues for one session.
constexpr std::size_t kAhead = 600;

TEST(ClusterSoak, ThirtyClientsOnThreeInstancesThousandLinesEachArriveOnceInOrderIntact) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.16", 50, 3);
  ASSERT_TRUE(cluster.ok());
  std::vector<fixed::Identity> ids;
  std::vector<std::unique_ptr<Chatter>> chatters;
  for (int n = 0; n < kClients; ++n) {
    ids.push_back(fixed::make(static_cast<unsigned char>(n + 1), 0));
    cluster.seed(ids.back());
    chatters.push_back(std::make_unique<Chatter>(cluster.join(n % 3, ids.back())));
    ASSERT_TRUE(chatters.back()->ok());
  }
  for (int i = 0; i < kLines; ++i) {
    for (int n = 0; n < kClients; ++n) chatters[n]->send(2, ids[n].signPublicKey, line(n, i, 16 + (i * 7 + n) % 200));
    // Each client has to hear 29 lines a round: no sender runs more than
    // kAhead lines ahead of the slowest reader.
    const std::size_t heard = static_cast<std::size_t>(i + 1) * (kClients - 1);
    for (auto& chatter : chatters)
      ASSERT_TRUE(chatter->waitFor(heard > kAhead ? heard - kAhead : 0)) << "round " << i;
  }
  for (int n = 0; n < kClients; ++n) {
    ASSERT_TRUE(chatters[n]->waitFor(static_cast<std::size_t>(kLines) * (kClients - 1), 300s)) << "client " << n;
    const auto got = chatters[n]->bySender();
    EXPECT_EQ(got.size(), static_cast<std::size_t>(kClients - 1)) << "client " << n;
    for (int m = 0; m < kClients; ++m) {
      if (m == n) continue;
      const auto it = got.find(ids[m].signPublicKey);
      ASSERT_NE(it, got.end()) << "client " << n << " heard nothing from " << m;
      ASSERT_EQ(it->second.size(), static_cast<std::size_t>(kLines)) << "client " << n << " from " << m;
      for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(it->second[i], line(m, i, 16 + (i * 7 + m) % 200)) << "client " << n << " from " << m << " line " << i;
    }
  }
}

}  // namespace
