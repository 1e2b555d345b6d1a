// What one client's sending may cost the others, and what it is told: a
// sender past its fair share is slowed, a frame never finished ends its
// session, a packet over the payload limit is dropped with a line from the
// server. Addresses 127.0.79.x.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/support/server_harness.hpp"

namespace {

using harness::hex;
using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;
using namespace std::chrono_literals;

// Table rows print as their names.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

// A frame whose length word says `length`, with only `sent` bytes of it.
testing_peer::Bytes partOfAFrame(std::uint32_t length, std::size_t sent) {
  testing_peer::Bytes bytes(4 + sent, 0x5a);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
  return bytes;
}

struct Unfinished {
  const char* name;
  const char* address;
  std::function<void(testing_peer::Session&)> send;
};

class UnfinishedFrame : public testing::TestWithParam<Unfinished> {};

TEST_P(UnfinishedFrame, EndsItsSessionAtTheDeadlineAndTheChatGoesOn) {
  sotto::Limits limits;
  limits.unfinishedFrameDeadline = 1s;
  RunningServer server(GetParam().address, limits);
  const auto a = plain(1), b = plain(2), c = plain(3);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sc = server.seedAndJoin(c);
  ASSERT_TRUE(sa && sb && sc);
  GetParam().send(*sa);
  EXPECT_TRUE(sa->waitClosed(10s));
  EXPECT_TRUE(server.log.waitFor("disconnected " + hex(a) + ": no whole frame 1 s after its first byte"))
      << server.log.all();
  EXPECT_EQ(server.stats()[sotto::Count::unfinishedFramesEnded], 1u);
  sb->sendPacket(1, c.signPublicKey, text("still here"));
  EXPECT_EQ(next(*sc).payload, text("still here"));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, UnfinishedFrame,
    testing::Values(
        Unfinished{"AllButItsLastByte", "127.0.79.1",
                   [](testing_peer::Session& s) {
                     auto frame = s.sealFrame(testing_peer::Session::packet(2, {}, text("never whole")));
                     frame.pop_back();
                     s.sendRaw(frame);
                   }},
        Unfinished{"ALengthWordCutShort", "127.0.79.2", [](testing_peer::Session& s) { s.sendRaw({0, 0}); }},
        // Bytes keep coming, but the deadline runs from the first.
        Unfinished{"OneByteAtATime", "127.0.79.3",
                   [](testing_peer::Session& s) { s.drip(partOfAFrame(200, 100), 50ms); }},
        Unfinished{"OneOverThePayloadLimitInPart", "127.0.79.4",
                   [](testing_peer::Session& s) { s.sendRaw(partOfAFrame(200'000, 100'000)); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnfinishedFrame, ItsBytesCountAgainstTheBudgetUntilItsSessionEnds) {
  sotto::Limits limits;
  limits.unfinishedFrameDeadline = 1s;
  limits.maxQueuedBytesTotal = 32 * 1024;
  RunningServer server("127.0.79.5", limits);
  const auto a = plain(1), b = plain(2), c = plain(3);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sc = server.seedAndJoin(c);
  ASSERT_TRUE(sa && sb && sc);
  sa->sendRaw(partOfAFrame(60'000, 40'000));
  EXPECT_TRUE(server.log.waitFor("over the budget of 32768")) << server.log.all();
  EXPECT_TRUE(server.log.waitFor("disconnected " + hex(a)));
  sb->sendPacket(1, c.signPublicKey, text("still here"));
  EXPECT_EQ(next(*sc).payload, text("still here"));
  EXPECT_TRUE(server.log.waitFor("reading resumed")) << server.log.all();
}

struct Oversized {
  const char* name;
  const char* address;
  int times;
  std::size_t piece;  // sent this many bytes at a time
};

class OverThePayloadLimit : public testing::TestWithParam<Oversized> {};

TEST_P(OverThePayloadLimit, IsDroppedWithALineFromTheServerAndTheSessionGoesOn) {
  sotto::Limits limits;
  limits.maxPayload = 1000;
  RunningServer server(GetParam().address, limits);
  const auto a = plain(1), b = plain(2);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b);
  ASSERT_TRUE(sa && sb);
  for (int i = 0; i < GetParam().times; ++i) {
    const auto frame = sa->sealFrame(testing_peer::Session::packet(2, a.signPublicKey, testing_peer::Bytes(5000, 'x')));
    for (std::size_t at = 0; at < frame.size(); at += GetParam().piece) {
      sa->sendRaw(testing_peer::Bytes(frame.begin() + at, frame.begin() + std::min(frame.size(), at + GetParam().piece)));
      std::this_thread::sleep_for(1ms);
    }
  }
  sa->sendPacket(2, a.signPublicKey, text("after"));
  for (int i = 0; i < GetParam().times; ++i) {
    const auto line = next(*sa);
    EXPECT_EQ(line.type, 1);
    EXPECT_EQ(line.key, server.key());
    EXPECT_EQ(line.payload, text("Your message of 5000 bytes was not relayed: this server takes at most 1000 bytes."));
  }
  EXPECT_EQ(next(*sb).payload, text("after"));
  EXPECT_EQ(server.stats()[sotto::Count::payloadsRefused], static_cast<std::uint64_t>(GetParam().times));
  sb->sendPacket(2, b.signPublicKey, text("and back"));
  EXPECT_EQ(next(*sa).payload, text("and back"));
}

INSTANTIATE_TEST_SUITE_P(Packets, OverThePayloadLimit,
                         testing::Values(Oversized{"AllAtOnce", "127.0.79.10", 1, 1 << 20},
                                         Oversized{"InPieces", "127.0.79.11", 1, 700},
                                         Oversized{"TwoInARow", "127.0.79.12", 2, 1 << 20}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FairShare, ASenderPastItIsSlowedWhileAPairChatsAndASlowReaderStaysConnected) {
  sotto::Limits limits;
  limits.senderBytesPerSecond = 256 * 1024;
  limits.senderBurstBytes = 256 * 1024;
  // What a slow reader may have queued: one sender's burst must fit.
  limits.maxQueuedBytesPerSession = 1024 * 1024;
  RunningServer server("127.0.79.20", limits);
  const auto a = plain(1), b = plain(2), loud = plain(3), slow = plain(4);
  for (const auto& id : {a, b, loud, slow}) server.seed(id);
  auto sa = server.join(a), sb = server.join(b), sl = server.join(loud);
  const auto fresh = raw_client::freshConnection(slow);
  auto reader = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                      raw_client::hello(fresh, server.key(), 0), server.key(), fresh);
  ASSERT_TRUE(sa && sb && sl && reader.welcomed);

  // About 256 KiB/s: 1 KiB packets, one every 4 ms.
  constexpr int kPackets = 1536;
  std::atomic<int> read{0};
  std::thread slowReader([&] {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPackets; ++i, std::this_thread::sleep_until(start + i * 4ms)) {
      const auto frame = reader.session->receiveFrame(10s);
      if (!frame || frame->payload.size() != 1024 || frame->payload[0] != static_cast<unsigned char>(i)) return;
      read = i + 1;
    }
  });
  std::thread flood([&] {
    for (int i = 0; i < kPackets; ++i)
      sl->sendPacket(1, slow.signPublicKey, testing_peer::Bytes(1024, static_cast<unsigned char>(i)));
  });
  EXPECT_TRUE(server.log.waitFor("past its fair share")) << server.log.all();
  for (int i = 0; i < 10; ++i) {
    sa->sendPacket(1, b.signPublicKey, text("line " + std::to_string(i)));
    const auto frame = sb->receiveFrame(2s);
    EXPECT_TRUE(frame && frame->payload == text("line " + std::to_string(i))) << i;
  }
  flood.join();
  slowReader.join();
  EXPECT_EQ(read, kPackets);
  EXPECT_EQ(server.log.count("past its fair share"), 1u) << server.log.all();
  EXPECT_EQ(server.log.count("disconnected"), 0u) << server.log.all();
  EXPECT_EQ(server.stats()[sotto::Count::sendersSlowed], 1u);
}

}  // namespace
