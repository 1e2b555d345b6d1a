// One session's outbox without a socket or an event loop: the order in which
// its lanes are sealed, the budget it charges, and its bounds.
#include "server/outbox.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <string>
#include <vector>

namespace {

using sotto::Lane;

constexpr std::size_t kShort = 100;
constexpr std::size_t kLarge = 60 * 1024;

const unsigned char kKey[sotto::kFrameKeySize] = {7};

std::shared_ptr<const sotto::Bytes> packet(unsigned char id, std::size_t size) {
  auto bytes = std::make_shared<sotto::Bytes>(size, 0);
  (*bytes)[0] = id;
  return bytes;
}

// The outbox as a session's writer drives it: quick packets first, then
// bulk ones as if in a bulk turn, until both lanes are empty; returns the
// first byte of every packet, opened again in the client's nonce order.
std::string drain(sotto::Outbox& outbox) {
  std::string order;
  unsigned char nonce[sotto::kFrameNonceSize] = {};
  while (outbox.hasQuick() || outbox.hasBulk()) {
    sotto::FrameBatch batch;
    outbox.sealQuick(batch);
    outbox.sealBulk(batch, false);
    const sotto::Bytes& sealed = batch.bytes();
    for (std::size_t at = 0; at < sealed.size();) {
      const std::uint32_t length = sotto::getU32be(sealed.data() + at);
      sotto::Bytes plain(length - sotto::kFrameTagSize);
      unsigned long long opened = 0;
      EXPECT_EQ(crypto_chacha_open(plain.data(), opened, sealed.data() + at + sotto::kFrameLengthSize, length,
                                          nonce, kKey),
                0);
      sodium_increment(nonce, sizeof nonce);
      order += static_cast<char>(plain[0]);
      at += sotto::kFrameLengthSize + length;
    }
    outbox.written();
  }
  return order;
}

struct Step {
  char sender;  // 'a' or 'b'
  std::size_t size;
};

struct OrderCase {
  std::string name;
  std::vector<Step> steps;
  std::string sealed;  // the packets, named by their place in steps
};

class OutboxOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(OutboxOrder, AShortPacketPassesOnlyAnotherSendersLargeOnes) {
  const sotto::Limits limits;
  sotto::Budget budget(limits.maxQueuedBytesTotal);
  sotto::Outbox outbox(limits, budget, kKey);
  const auto a = std::make_shared<sotto::Sender>();
  const auto b = std::make_shared<sotto::Sender>();
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    const Step& step = GetParam().steps[i];
    const auto& sender = step.sender == 'a' ? a : b;
    // Decided where it is relayed, as the hub does, from what is queued now.
    const Lane lane = sotto::laneFor(step.size, *sender, limits);
    ASSERT_TRUE(outbox.push({packet(static_cast<unsigned char>('0' + i), step.size), lane, sender}));
  }
  EXPECT_EQ(drain(outbox), GetParam().sealed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutboxOrder,
    testing::Values(OrderCase{"OwnShortWaitsBehindOwnLarge", {{'a', kLarge}, {'a', kShort}}, "01"},
                    OrderCase{"OwnShortsAllWaitBehindOwnLarge", {{'a', kLarge}, {'a', kShort}, {'a', kShort}}, "012"},
                    OrderCase{"OthersShortPassesLarge", {{'a', kLarge}, {'b', kShort}}, "10"},
                    OrderCase{"OthersShortPassesOwnChainOfLarge",
                              {{'a', kLarge}, {'a', kShort}, {'b', kShort}, {'a', kLarge}},
                              "2013"},
                    OrderCase{"ShortsKeepTheirOrder", {{'a', kShort}, {'b', kShort}, {'a', kShort}}, "012"}),
    [](const auto& info) { return info.param.name; });

TEST(Outbox, AHoldOnAnotherSessionsCopyKeepsTheSendersShortPacketsBulkUntilItIsSealed) {
  const sotto::Limits limits;
  sotto::Budget budget(limits.maxQueuedBytesTotal);
  sotto::Outbox first(limits, budget, kKey), second(limits, budget, kKey);
  const auto a = std::make_shared<sotto::Sender>();
  const sotto::Relayed large{packet('L', kLarge), sotto::laneFor(kLarge, *a, limits), a};
  ASSERT_TRUE(first.push(large));
  ASSERT_TRUE(second.push(large));
  drain(first);
  EXPECT_EQ(sotto::laneFor(kShort, *a, limits), Lane::bulk);
  second.clear();
  EXPECT_EQ(sotto::laneFor(kShort, *a, limits), Lane::quick);
}

// Operations on two outboxes: p push (short and large in turn, two senders),
// s seal, w written, c clear, d destroy. Whatever the order, the budget and
// the senders' holds come back to nothing.
class OutboxBudget : public testing::TestWithParam<std::string> {};

TEST_P(OutboxBudget, EveryByteChargedIsDischarged) {
  const sotto::Limits limits;
  sotto::Budget budget(limits.maxQueuedBytesTotal);
  const auto a = std::make_shared<sotto::Sender>();
  const auto b = std::make_shared<sotto::Sender>();
  auto one = std::make_unique<sotto::Outbox>(limits, budget, kKey);
  auto two = std::make_unique<sotto::Outbox>(limits, budget, kKey);
  sotto::FrameBatch batch;
  std::size_t pushed = 0;
  for (const char op : GetParam()) {
    for (auto* outbox : {one.get(), two.get()}) {
      if (!outbox) continue;
      const auto& sender = pushed % 3 == 0 ? b : a;
      const std::size_t size = pushed % 2 ? kLarge : kShort;
      if (op == 'p') {
        ASSERT_TRUE(outbox->push({packet('x', size), sotto::laneFor(size, *sender, limits), sender}));
      }
      if (op == 's') {
        outbox->sealQuick(batch);
        outbox->sealBulk(batch, pushed % 2 == 1);
      }
      if (op == 'w') outbox->written();
      if (op == 'c') outbox->clear();
      ++pushed;
    }
    if (op == 'd') one.reset();
    if (op == 's' || op == 'w') batch.done(false);
  }
  one.reset();
  two.reset();
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_TRUE(a->bulkClear());
  EXPECT_TRUE(b->bulkClear());
}

INSTANTIATE_TEST_SUITE_P(Orders, OutboxBudget,
                         testing::Values("ppp", "pppsw", "ppspsw", "pppsc", "pppswc", "ppsppc", "pppcpsw", "pppd",
                                         "ppsd", "pswpsswpppcpp", "pspspsdpsw"));

struct BoundCase {
  std::string name;
  std::size_t maxPackets;
  std::size_t maxBytes;
  std::vector<std::size_t> sizes;
  std::size_t refusedAt;  // the first push refused; sizes.size(): none
  bool held = false;      // a sign-in's catch-up is being read
};

class OutboxBound : public testing::TestWithParam<BoundCase> {};

TEST_P(OutboxBound, RefusesAtTheBoundAndNotBefore) {
  sotto::Limits limits;
  limits.maxQueuedPacketsPerSession = GetParam().maxPackets;
  limits.maxQueuedBytesPerSession = GetParam().maxBytes;
  sotto::Budget budget(limits.maxQueuedBytesTotal);
  sotto::Outbox outbox(limits, budget, kKey);
  if (GetParam().held) outbox.hold();
  const auto a = std::make_shared<sotto::Sender>();
  std::size_t charged = 0;
  for (std::size_t i = 0; i < GetParam().sizes.size(); ++i) {
    const std::size_t size = GetParam().sizes[i];
    const bool taken = outbox.push({packet('x', size), Lane::quick, a});
    EXPECT_EQ(taken, i < GetParam().refusedAt) << "push " << i;
    if (!taken) break;
    charged += size;
  }
  EXPECT_EQ(budget.used(), charged) << "a refused packet is not charged";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutboxBound,
    testing::Values(BoundCase{"PacketsUpToTheBound", 3, 1 << 20, {10, 10, 10}, 3},
                    BoundCase{"OnePacketPastTheBound", 3, 1 << 20, {10, 10, 10, 10}, 3},
                    BoundCase{"BytesExactlyAtTheBound", 100, 1000, {250, 250, 250, 250}, 4},
                    BoundCase{"OneBytePastTheBound", 100, 1000, {250, 250, 250, 251}, 3},
                    BoundCase{"AnEmptyOutboxTakesAnyPacket", 100, 1000, {5000}, 1},
                    BoundCase{"ButNothingAfterIt", 100, 1000, {5000, 1}, 1},
                    BoundCase{"HeldTwicePacketsTheBound", 3, 1 << 20, std::vector<std::size_t>(7, 10), 6, true},
                    BoundCase{"HeldTwiceBytesTheBound", 100, 1000, std::vector<std::size_t>(9, 250), 8, true}),
    [](const auto& info) { return info.param.name; });

TEST(Outbox, SealingMakesRoomUnderTheBound) {
  sotto::Limits limits;
  limits.maxQueuedPacketsPerSession = 2;
  sotto::Budget budget(limits.maxQueuedBytesTotal);
  sotto::Outbox outbox(limits, budget, kKey);
  const auto a = std::make_shared<sotto::Sender>();
  ASSERT_TRUE(outbox.push({packet('0', kShort), Lane::quick, a}));
  ASSERT_TRUE(outbox.push({packet('1', kShort), Lane::quick, a}));
  EXPECT_FALSE(outbox.push({packet('2', kShort), Lane::quick, a}));
  EXPECT_EQ(drain(outbox), "01");
  EXPECT_TRUE(outbox.push({packet('3', kShort), Lane::quick, a}));
}

// A closing session's outbox waits for its client's acknowledgements with
// no packet held: the budget and the senders' holds are free at once, and
// what was sealed past the acknowledged bytes or never sealed is missed.
TEST(Outbox, ClosingLetsGoOfEveryPacketButNotOfWhatWasMissed) {
  const sotto::Limits limits;
  sotto::Budget budget(limits.maxQueuedBytesTotal);
  sotto::Outbox outbox(limits, budget, kKey);
  outbox.track(0);
  const auto a = std::make_shared<sotto::Sender>();
  for (std::uint64_t seq = 0; seq < 4; ++seq) {
    const std::size_t size = seq < 2 ? kShort : kLarge;
    ASSERT_TRUE(outbox.push({packet('x', size), sotto::laneFor(size, *a, limits), a, {{}, seq}, true}));
  }
  sotto::FrameBatch batch;
  ASSERT_EQ(outbox.sealQuick(batch), 2u);
  outbox.close();
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_TRUE(a->bulkClear());
  const std::uint64_t first = sotto::kFrameLengthSize + kShort + sotto::kFrameTagSize;
  for (const auto& [acked, missed] : std::vector<std::pair<std::uint64_t, std::vector<std::uint64_t>>>{
           {0, {0, 1, 2, 3}}, {first, {1, 2, 3}}, {2 * first, {2, 3}}}) {
    std::vector<std::uint64_t> seqs;
    for (const sotto::MessageId& id : outbox.missed(acked)) seqs.push_back(id.seq);
    EXPECT_EQ(seqs, missed) << acked;
  }
}

}  // namespace
