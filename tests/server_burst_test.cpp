// The server under bursts: many frames arriving in one read, sealed and
// written back out in batches, with the same bytes, order and nonces as one
// frame at a time, on one I/O thread and on two; short packets beside long
// ones and readers that stop. Addresses 127.0.5.60-69 and 127.0.8.60-69.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <optional>
#include <thread>
#include <utility>

#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using namespace std::chrono_literals;
using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::text;
using testing_peer::Bytes;
using testing_peer::Session;

class Burst : public harness::OnThreads {};

Bytes numbered(int i) { return text("line " + std::to_string(i)); }

TEST_P(Burst, ThousandsOfFramesInOneWriteAreRelayedWholeAndInOrder) {
  RunningServer server(address(60), lifted::share(), "", {}, threads());
  const auto a = plain(1), b = plain(2), c = plain(3);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sc = server.seedAndJoin(c);
  ASSERT_TRUE(sa && sb && sc);

  // Far more than one read of the server's takes in, and past the 256th
  // nonce; odd sizes so that frames straddle its reads.
  constexpr int kFrames = 3000;
  Bytes burst;
  for (int i = 0; i < kFrames; ++i) {
    Bytes payload = numbered(i);
    payload.resize(payload.size() + static_cast<std::size_t>(i % 97), '.');
    const Bytes f = sa->sealFrame(Session::packet(2, a.signPublicKey, payload));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  sa->sendRaw(burst);
  for (Session* s : {sb.get(), sc.get()})
    for (int i = 0; i < kFrames; ++i) {
      const auto frame = next(*s);
      ASSERT_TRUE(frame.opened) << i;  // sealed under the next nonce of its writer
      ASSERT_EQ(Bytes(frame.payload.begin(), frame.payload.begin() + static_cast<long>(numbered(i).size())),
                numbered(i))
          << i;
      ASSERT_EQ(frame.payload.size(), numbered(i).size() + static_cast<std::size_t>(i % 97));
      ASSERT_EQ(frame.key, a.signPublicKey);
    }
  EXPECT_EQ(server.packetsReceived(), static_cast<std::uint64_t>(kFrames));
  // Both directions are still in step.
  sb->sendPacket(2, b.signPublicKey, text("after"));
  EXPECT_EQ(next(*sa).payload, text("after"));
  EXPECT_EQ(next(*sc).payload, text("after"));
}

TEST_P(Burst, NothingBehindAFrameThatFailsInTheSameReadIsRelayed) {
  RunningServer server(address(61), lifted::share(), "", {}, threads());
  const auto a = plain(1), b = plain(2), c = plain(3);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sc = server.seedAndJoin(c);
  ASSERT_TRUE(sa && sb && sc);

  Bytes burst;
  auto add = [&](const Bytes& f) { burst.insert(burst.end(), f.begin(), f.end()); };
  add(sa->sealFrame(Session::packet(2, a.signPublicKey, text("good"))));
  Bytes tampered = sa->sealFrame(Session::packet(2, a.signPublicKey, text("bad")));
  tampered[12] ^= 0x40;
  add(tampered);
  // Would open under the nonce after the tampered one, were it ever tried.
  for (int i = 0; i < 50; ++i) add(sa->sealFrame(Session::packet(2, a.signPublicKey, text("behind"))));
  sa->sendRaw(burst);

  EXPECT_EQ(next(*sb).payload, text("good"));
  EXPECT_TRUE(server.log.waitFor("frame failed authentication"));
  EXPECT_TRUE(sa->waitClosed(5s));
  sc->sendPacket(2, c.signPublicKey, text("marker"));
  EXPECT_EQ(next(*sb).payload, text("marker"));
  EXPECT_EQ(server.packetsReceived(), 2u);  // "good" and the marker
}

// Short packets may pass another sender's long ones, never their own
// sender's: each recipient sees each sender's packets in the order sent.
TEST_P(Burst, ShortAndLongPacketsOfOneSenderKeepTheirOrderBesideAnotherSendersFlood) {
  RunningServer server(address(62), lifted::share(), "", {}, threads());
  const auto a = plain(1), b = plain(2), c = plain(3), f = plain(4);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sc = server.seedAndJoin(c), sf = server.seedAndJoin(f);
  ASSERT_TRUE(sa && sb && sc && sf);

  constexpr int kMixed = 300, kFlood = 200;
  const auto mixed = [](int i) {
    Bytes payload = numbered(i);
    if (i % 3 == 0) payload.resize(16 * 1024, '.');
    return payload;
  };
  const auto readAll = [&](Session& s) {
    int got = 0, flood = 0;
    while (got < kMixed || flood < kFlood) {
      const auto frame = s.receiveFrame(10s);
      if (!frame || !frame->opened) break;
      if (frame->key == f.signPublicKey) {
        if (frame->payload != Bytes(32 * 1024, static_cast<unsigned char>(flood++))) return -1;
      } else if (frame->key != a.signPublicKey || frame->payload != mixed(got++)) {
        return -1;
      }
    }
    return got + flood;
  };
  auto readB = std::async(std::launch::async, readAll, std::ref(*sb));
  auto readC = std::async(std::launch::async, readAll, std::ref(*sc));
  auto flood = std::async(std::launch::async, [&] {
    for (int i = 0; i < kFlood; ++i) sf->sendPacket(2, f.signPublicKey, Bytes(32 * 1024, static_cast<unsigned char>(i)));
  });
  for (int i = 0; i < kMixed; ++i) sa->sendPacket(2, a.signPublicKey, mixed(i));
  flood.get();
  EXPECT_EQ(readB.get(), kMixed + kFlood);
  EXPECT_EQ(readC.get(), kMixed + kFlood);
}

// A recipient that stops reading, for a while or for good, leaves what the
// socket would not take to its writer, sealed in order, and holds up no
// other recipient's large packets.
TEST_P(Burst, RecipientsThatStopReadingLoseNothingAndHoldUpNobody) {
  sotto::Limits limits;
  limits.maxQueuedPacketsPerSession = 8192;
  RunningServer server(address(63), lifted::share(limits), "", {}, threads());
  const auto a = plain(1), b = plain(2), f = plain(3), pausing = plain(4), leaving = plain(5);
  server.seed(pausing);
  server.seed(leaving);
  auto sa = server.seedAndJoin(a), sb = server.seedAndJoin(b), sf = server.seedAndJoin(f);
  // Small receive windows, so that the server's writes to them stop short.
  auto sp = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                  raw_client::hello(pausing, server.key(), 0), server.key(), pausing);
  auto sl = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                  raw_client::hello(leaving, server.key(), 0), server.key(), leaving);
  ASSERT_TRUE(sa && sb && sf && sp.welcomed && sl.welcomed);

  // Lines of 1 KiB, more than the socket buffers hold.
  constexpr int kLines = 3000, kFlood = 60;
  const auto line = [](int i) {
    Bytes payload = numbered(i);
    payload.resize(1024, '.');
    return payload;
  };
  for (int i = 0; i < kLines; ++i) sa->sendPacket(2, a.signPublicKey, line(i));
  for (int i = 0; i < kFlood; ++i) sf->sendPacket(2, f.signPublicKey, Bytes(32 * 1024, static_cast<unsigned char>(i)));
  // The one leaving goes without reading anything, in the middle of it all.
  sl.session->close();
  const auto readAll = [&](Session& s) {
    int lines = 0, flood = 0;
    while (lines < kLines || flood < kFlood) {
      const auto frame = s.receiveFrame(10s);
      if (!frame || !frame->opened) break;
      if (frame->key == f.signPublicKey ? frame->payload != Bytes(32 * 1024, static_cast<unsigned char>(flood++))
                                        : frame->payload != line(lines++))
        break;
    }
    return std::pair(lines, flood);
  };
  EXPECT_EQ(readAll(*sb), std::pair(kLines, kFlood));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(readAll(*sp.session), std::pair(kLines, kFlood));
  EXPECT_TRUE(server.log.waitFor("disconnected " + harness::hex(leaving)));
  // Both directions still in step for the one that paused.
  sp.session->sendPacket(2, pausing.signPublicKey, text("after"));
  EXPECT_EQ(next(*sb).payload, text("after"));
}

// Large packets wait for their thread's bulk turn; a recipient that reads
// all the while is not the slow one, however long they wait.
TEST_P(Burst, ReadersThatKeepUpAreNotCutOffWhileLargePacketsWaitForTheirTurn) {
  sotto::Limits limits;
  limits.maxQueuedPacketsPerSession = 40;
  RunningServer server(address(64), lifted::share(limits), "", {}, threads());
  const auto loud = plain(1);
  auto sl = server.seedAndJoin(loud);
  std::vector<std::unique_ptr<Session>> readers;
  for (unsigned char i = 0; i < 12; ++i) readers.push_back(server.seedAndJoin(plain(static_cast<unsigned char>(10 + i))));
  ASSERT_TRUE(sl && std::all_of(readers.begin(), readers.end(), [](const auto& r) { return r != nullptr; }));

  // Far more than a queue's bound, in one write, so that the server takes
  // many of them in one turn.
  constexpr int kFrames = 300;
  Bytes burst;
  for (int i = 0; i < kFrames; ++i) {
    const Bytes f = sl->sealFrame(Session::packet(2, loud.signPublicKey, Bytes(60 * 1024, static_cast<unsigned char>(i))));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  std::vector<std::future<int>> got;
  for (auto& r : readers)
    got.push_back(std::async(std::launch::async, [&s = *r] {
      int n = 0;
      for (std::optional<testing_peer::Frame> frame; n < kFrames && (frame = s.receiveFrame(10s)) && frame->opened &&
                                                     frame->payload == Bytes(60 * 1024, static_cast<unsigned char>(n));)
        ++n;
      return n;
    }));
  sl->sendRaw(burst);
  for (auto& g : got) EXPECT_EQ(g.get(), kFrames);
  EXPECT_EQ(server.log.count("disconnected"), 0u) << server.log.all();
}

INSTANTIATE_TEST_SUITE_P(Threads, Burst, testing::Values(1u, 2u), harness::threadsName);

}  // namespace
