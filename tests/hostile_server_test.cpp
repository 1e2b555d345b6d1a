// A server that misbehaves on purpose: the client must give its result code
// within its bounds, keep its memory small, and stay destructible at once.
// Addresses 127.0.7.1 to 127.0.7.29 belong to this file.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>

#include "tests/support/client_harness.hpp"

namespace {

using namespace std::chrono_literals;
using harness::Connected;
using testing_peer::Behaviour;
using testing_peer::Bytes;
using testing_peer::Session;
using testing_peer::TestPeer;
using Clock = std::chrono::steady_clock;

// Peak resident memory of this process, in MiB. Each test case runs in a
// process of its own under ctest.
long peakMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
  return -1;
}

testing_peer::Key senderKey() {
  testing_peer::Key k;
  k.fill(0x33);
  return k;
}

// A payload that names its place in a sequence, padded to `size` bytes.
Bytes numbered(std::uint32_t n, std::size_t size = 4) {
  Bytes b(std::max<std::size_t>(size, 4), static_cast<unsigned char>(n * 7));
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(n >> (24 - 8 * i));
  return b;
}

Bytes randomBytes(std::size_t size) {
  Bytes b(size);
  if (!b.empty()) randombytes_buf(b.data(), b.size());
  return b;
}

TEST(HostileServer, AWelcomeDrippedAtOneBytePerSecondHitsTheHandshakeDeadline) {
  TestPeer peer("127.0.7.1");
  sotto::ClientOptions options;
  options.handshakeTimeout = 2500ms;
  harness::Client client(options);
  auto result = client.connect("127.0.7.1", peer);
  auto session = peer.accept(Behaviour::holdWelcome);
  ASSERT_TRUE(session);
  const auto start = Clock::now();
  std::thread dripper([&] { session->drip(session->held, 1s); });
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), Client::networkError);
  EXPECT_LT(Clock::now() - start, 6s);
  EXPECT_TRUE(session->waitClosed(5s));
  dripper.join();
}

TEST(HostileServer, AFrameDrippedSlowlyArrivesWholeAndDestructionDoesNotWait) {
  Connected c("127.0.7.2");
  ASSERT_TRUE(c.connected);
  c.session->drip(c.session->sealFrame(Session::packet(2, senderKey(), {'o', 'k'})), 5ms);
  EXPECT_EQ(c.client.next().payload, Bytes({'o', 'k'}));

  const Bytes frame = c.session->sealFrame(Session::packet(2, senderKey(), {'n', 'o'}));
  std::thread dripper([&] { c.session->drip(frame, 1s); });
  std::this_thread::sleep_for(2500ms);  // two or three bytes in
  EXPECT_TRUE(c.client.impl->readBytes().payload.empty());
  const auto start = Clock::now();
  c.client.impl.reset();
  EXPECT_LT(Clock::now() - start, 1s);
  c.session->close();
  dripper.join();
}

TEST(HostileServer, AFourGigabyteLengthAfterTheWelcomeAllocatesNothing) {
  const std::vector<Bytes> none;
  Connected c("127.0.7.3");
  ASSERT_TRUE(c.connected);
  c.session->sendRaw({0xff, 0xff, 0xff, 0xff});
  c.session->sendRaw(Bytes(1 << 20, 0xab));  // a megabyte of "body" behind it
  // The session ends there, and the client closes its side.
  EXPECT_TRUE(c.session->waitClosed());
  EXPECT_FALSE(c.client.impl->connected());
  EXPECT_TRUE(c.client.next(300ms).payload.empty());
  EXPECT_LT(peakMiB(), 256);
}

TEST(HostileServer, AResetInTheMiddleOfAFrameEndsQuietly) {
  Connected c("127.0.7.4");
  ASSERT_TRUE(c.connected);
  Bytes frame = c.session->sealFrame(Session::packet(2, senderKey(), Bytes(500, 'x')));
  frame.resize(frame.size() / 2);
  c.session->sendRaw(frame);
  std::this_thread::sleep_for(50ms);
  c.session->reset();
  EXPECT_TRUE(c.client.next(300ms).payload.empty());
  for (int i = 0; i < 100; ++i) c.client.impl->sendBytesBroadcast({'x'});  // accepted, never sent
  const auto start = Clock::now();
  c.client.impl.reset();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(HostileServer, TenThousandForgedFramesCostLittleAndTheNextRealOneArrives) {
  Connected c("127.0.7.5");
  ASSERT_TRUE(c.connected);
  Bytes burst;
  for (int i = 0; i < 10'000; ++i) {
    Bytes frame = c.session->sealFrame(Session::packet(2, senderKey(), Bytes(64, 'f')));
    frame[20] ^= 1;
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  c.session->sendRaw(burst);
  c.session->sendPacket(2, senderKey(), {'r', 'e', 'a', 'l'});
  // A forged frame queues nothing, so the real one is the first message.
  EXPECT_EQ(c.client.next(20s).payload, Bytes({'r', 'e', 'a', 'l'}));
  EXPECT_LT(peakMiB(), 256);
}

TEST(HostileServer, RandomBytesAfterTheWelcomeNeverCrashTheClient) {
  for (unsigned seed = 1; seed <= 5; ++seed) {
    Connected c("127.0.7." + std::to_string(5 + seed));
    ASSERT_TRUE(c.connected);
    std::mt19937 rng(seed);
    Bytes noise(256 * 1024);
    for (auto& b : noise) b = static_cast<unsigned char>(rng());
    // Keep length words small now and then so that bodies are read and opened.
    for (std::size_t i = 0; i + 4 < noise.size(); i += 997) noise[i] = noise[i + 1] = 0;
    c.session->sendRaw(noise);
    c.session->close();
    std::this_thread::sleep_for(50ms);
    while (!c.client.impl->readBytes().payload.empty()) {
    }
  }
  EXPECT_LT(peakMiB(), 256);
}

TEST(HostileServer, FramesOfEverySmallLengthEachUseOneNonceAndGiveNothing) {
  Connected c("127.0.7.20");
  ASSERT_TRUE(c.connected);
  // Up to 15 bytes cannot hold a tag; 16 to 52 open but are shorter than a
  // packet header. Each still moves the client's nonce on by one, so the real
  // frame behind it opens only if the client kept count.
  for (std::uint32_t length = 0; length <= 52; ++length) {
    if (length < 16) {
      Bytes frame = {0, 0, 0, static_cast<unsigned char>(length)};
      const Bytes body = randomBytes(length);
      frame.insert(frame.end(), body.begin(), body.end());
      c.session->sendRaw(frame);
      sodium_increment(c.session->txNonce.data(), c.session->txNonce.size());
    } else {
      c.session->sendRaw(c.session->sealFrame(randomBytes(length - 16)));
    }
    c.session->sendPacket(2, senderKey(), numbered(length));
    const RecivedMessage m = c.client.next();
    ASSERT_EQ(m.payload, numbered(length)) << "after a frame of " << length << " bytes";
    EXPECT_EQ(m.key, senderKey());
  }
}

TEST(HostileServer, AuthenticPacketsThatClaimMoreThanTheyHoldGiveNothing) {
  Connected c("127.0.7.21");
  ASSERT_TRUE(c.connected);
  for (const std::uint32_t declared : {0xFFFFFFFFu, 0x80000000u, 16u * 1024 * 1024, 4u}) {
    Bytes liar = Session::packet(2, senderKey(), {'a', 'b', 'c'});
    for (int i = 0; i < 4; ++i) liar[33 + i] = static_cast<unsigned char>(declared >> (24 - 8 * i));
    c.session->sendRaw(c.session->sealFrame(liar));
    c.session->sendPacket(2, senderKey(), numbered(declared));
    ASSERT_EQ(c.client.next().payload, numbered(declared)) << "after a packet declaring " << declared;
  }
  EXPECT_LT(peakMiB(), 256);
}

TEST(HostileServer, AFloodOfTinyFramesArrivesWholeAndInOrder) {
  Connected c("127.0.7.22");
  ASSERT_TRUE(c.connected);
  constexpr std::uint32_t kFrames = 200'000;
  Bytes burst;
  burst.reserve(kFrames * (57 + 4));
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const Bytes frame = c.session->sealFrame(Session::packet(2, senderKey(), numbered(i)));
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  std::thread sender([&] { c.session->sendRaw(burst); });
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const RecivedMessage m = c.client.next(20s);
    ASSERT_EQ(m.payload, numbered(i)) << i;
  }
  sender.join();
  EXPECT_TRUE(c.client.impl->readBytes().payload.empty());
  EXPECT_LT(peakMiB(), 256);
}

TEST(HostileServer, AFloodTheApplicationDoesNotReadIsHeldBackByTcpNotQueuedInMemory) {
  sotto::ClientOptions options;
  options.maxIncomingBytes = 256 * 1024;
  Connected c("127.0.7.23", options);
  ASSERT_TRUE(c.connected);
  // 60 MB, more than the socket buffers on both ends can take in.
  constexpr std::uint32_t kFrames = 60'000;
  std::atomic<std::uint32_t> sent{0};
  std::thread sender([&] {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      c.session->sendPacket(2, senderKey(), numbered(i, 1000));
      sent = i + 1;
    }
  });
  std::this_thread::sleep_for(3s);
  // The client stopped reading once 256 KiB waited, so the server is stuck.
  EXPECT_LT(sent.load(), kFrames);
  // Nothing is lost: reading lets the rest come in, in order.
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const RecivedMessage m = c.client.next(20s);
    ASSERT_EQ(m.payload, numbered(i, 1000)) << i;
  }
  sender.join();
}

TEST(HostileServer, AfterTheServerHalfClosesTheSessionEndsAndNothingMoreIsSent) {
  Connected c("127.0.7.24");
  ASSERT_TRUE(c.connected);
  c.session->sendPacket(2, senderKey(), {'b', 'y', 'e'});
  c.session->halfClose();
  EXPECT_EQ(c.client.next().payload, Bytes({'b', 'y', 'e'}));
  // The end of what the server sends is the end of the session: a client
  // that can no longer hear the chat must not seem to be in it.
  EXPECT_TRUE(c.session->waitClosed(2s));
  EXPECT_FALSE(c.client.impl->connected());
  for (std::uint32_t i = 0; i < 100; ++i) c.client.impl->sendBytesBroadcast(numbered(i));
  EXPECT_FALSE(c.session->receiveFrame(200ms));
  const auto start = Clock::now();
  c.client.impl.reset();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(HostileServer, AResetDuringTheHandshakeIsANetworkErrorAtOnce) {
  // Sometimes before the hello is written, sometimes after: either way the
  // answer comes without waiting for the handshake deadline, and no SIGPIPE.
  TestPeer peer("127.0.7.25");
  for (int round = 0; round < 10; ++round) {
    harness::Client client;
    const auto start = Clock::now();
    auto result = client.connect("127.0.7.25", peer);
    auto session = peer.accept(Behaviour::acceptOnly);
    ASSERT_TRUE(session);
    if (round % 2) std::this_thread::sleep_for(20ms);
    session->reset();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result.get(), Client::networkError);
    EXPECT_LT(Clock::now() - start, 5s);
  }
}

TEST(HostileServer, AServerThatNeverReadsCannotHoldUpDestruction) {
  Connected c("127.0.7.26");
  ASSERT_TRUE(c.connected);
  // 40 MB: the writes are stuck long before the queue is through.
  for (std::uint32_t i = 0; i < 10'000; ++i) c.client.impl->sendBytesBroadcast(numbered(i, 4096));
  std::this_thread::sleep_for(500ms);
  const auto start = Clock::now();
  c.client.impl.reset();
  EXPECT_LT(Clock::now() - start, 1s);
}

}  // namespace
