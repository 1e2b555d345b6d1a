// A server that misbehaves on purpose: the client must give its result code
// within its bounds, keep its memory small, and stay destructible at once.
// Addresses 127.0.7.1 to 127.0.7.19 belong to this file.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "client_harness.hpp"

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
  c.client.impl->sendBytesBroadcast({'a', 'l', 'i', 'v', 'e'});
  auto frame = c.session->receiveFrame();
  ASSERT_TRUE(frame && frame->opened);
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
  // Each forged frame leaves one empty result; drain them without pausing.
  const auto until = Clock::now() + 20s;
  int empties = 0;
  RecivedMessage m;
  while ((m = c.client.impl->readBytes()).payload.empty() && Clock::now() < until) {
    ++empties;
    std::this_thread::yield();
  }
  EXPECT_EQ(m.payload, Bytes({'r', 'e', 'a', 'l'}));
  EXPECT_GE(empties, 10'000);
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

}  // namespace
