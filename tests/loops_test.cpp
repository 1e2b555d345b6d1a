// The send and receive loops against the independent peer, which opens and
// seals frames with its own counters: a nonce out of step shows up as a frame
// that does not open. Addresses 127.0.3.x belong to this file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "proto/frame.hpp"
#include "tests/support/client_harness.hpp"
#include "tests/support/heap_in_use.hpp"
#include "tests/support/scratch.hpp"

namespace {

using namespace std::chrono_literals;
using harness::Connected;
using testing_peer::Bytes;
using testing_peer::Key;
using testing_peer::Session;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Key keyOf(unsigned char start) {
  Key k;
  for (int i = 0; i < 32; ++i) k[i] = static_cast<unsigned char>(start + i);
  return k;
}

using scratch::slurp;
using scratch::TempDir;

TEST(SendLoop, LinesLeaveAsBroadcastsWithTheOwnKeyAndConsecutiveNonces) {
  Connected c("127.0.3.1");
  ASSERT_TRUE(c.connected);
  const std::vector<std::string> lines = {"hello", "", "ünïcödé", std::string(1000, 'x')};
  for (const auto& line : lines) {
    Bytes payload = text(line);
    const Bytes copy = payload;
    c.client.impl->sendBytesBroadcast(payload);
    EXPECT_EQ(payload, copy);  // the caller's vector is left alone
  }
  for (const auto& line : lines) {
    auto frame = c.session->receiveFrame();
    ASSERT_TRUE(frame);
    ASSERT_TRUE(frame->opened) << "frame for '" << line << "' did not open with the next nonce";
    EXPECT_EQ(frame->length, 53 + line.size());
    EXPECT_EQ(frame->type, 2);
    EXPECT_EQ(frame->key, c.client.id.signPublicKey);
    EXPECT_EQ(frame->declaredLength, line.size());
    EXPECT_EQ(frame->payload, text(line));
  }
}

TEST(SendLoop, MessagesQueuedBeforeConnectLeaveInOrderWhenTheLoopsStart) {
  testing_peer::TestPeer peer("127.0.3.2");
  harness::Client client;
  for (const char* s : {"one", "two", "three"}) client.impl->sendBytesBroadcast(text(s));
  auto result = client.connect("127.0.3.2", peer);
  auto session = peer.accept();
  ASSERT_TRUE(session);
  ASSERT_EQ(result.get(), Client::success);
  for (const char* s : {"one", "two", "three"}) {
    auto frame = session->receiveFrame();
    ASSERT_TRUE(frame);
    ASSERT_TRUE(frame->opened);
    EXPECT_EQ(frame->payload, text(s));
  }
}

TEST(SendLoop, AMessageSentWhileTheLoopSleepsLeavesAtOnce) {
  Connected c("127.0.3.3");
  ASSERT_TRUE(c.connected);
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(30ms);  // the loop is parked on its timer
    c.client.impl->sendBytesBroadcast(text("ping " + std::to_string(i)));
    auto frame = c.session->receiveFrame(3s);
    ASSERT_TRUE(frame) << "message " << i << " waited for a later one";
    EXPECT_EQ(frame->payload, text("ping " + std::to_string(i)));
  }
}

TEST(SendLoop, SendsRacingTheWaitAreNeverLost) {
  // Sends land at random moments around the loop's emptiness test and the
  // start of its wait. Any lost wake-up leaves a message stranded.
  Connected c("127.0.3.4");
  ASSERT_TRUE(c.connected);
  std::mt19937 rng(7);
  constexpr int kRounds = 300;
  for (int i = 0; i < kRounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
    c.client.impl->sendBytesBroadcast(text(std::to_string(i)));
    auto frame = c.session->receiveFrame(3s);
    ASSERT_TRUE(frame) << "round " << i;
    ASSERT_TRUE(frame->opened);
    ASSERT_EQ(frame->payload, text(std::to_string(i)));
  }
}

TEST(SendLoop, ManyThreadsSendingKeepEachSendersOrder) {
  Connected c("127.0.3.5");
  ASSERT_TRUE(c.connected);
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) c.client.impl->sendBytesBroadcast(text(std::to_string(t) + ":" + std::to_string(i)));
    });
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kEach; ++n) {
    auto frame = c.session->receiveFrame(5s);
    ASSERT_TRUE(frame) << n;
    ASSERT_TRUE(frame->opened) << n;
    const std::string s(frame->payload.begin(), frame->payload.end());
    const int t = std::stoi(s.substr(0, s.find(':')));
    EXPECT_EQ(std::stoi(s.substr(s.find(':') + 1)), next[t]++);
  }
  for (auto& s : senders) s.join();
}

TEST(SendLoop, ABurstLargerThanOneWriteLeavesWholeInOrderWithConsecutiveNonces) {
  // Queued faster than the loop writes: the frames leave several to a write,
  // about 1.7 MB in all, with one message far larger than a write's share.
  Connected c("127.0.3.17");
  ASSERT_TRUE(c.connected);
  constexpr int kSmall = 400;
  std::vector<Bytes> sent;
  for (int i = 0; i < kSmall; ++i) sent.push_back(text(std::to_string(i) + std::string(i * 7 % 4001, 'a')));
  sent.push_back(Bytes(900 * 1024, 'B'));
  sent.push_back(text("last"));
  for (const Bytes& payload : sent) c.client.impl->sendBytesBroadcast(payload);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    auto frame = c.session->receiveFrame(5s);
    ASSERT_TRUE(frame) << i;
    ASSERT_TRUE(frame->opened) << "frame " << i << " did not open with the next nonce";
    ASSERT_EQ(frame->length, 53 + sent[i].size()) << i;
    ASSERT_EQ(frame->payload, sent[i]) << i;
  }
  // The stream holds nothing else.
  EXPECT_FALSE(c.session->receiveFrame(100ms));
}

TEST(SendLoop, DirectNamesItsRecipientAndEmptyPayloadsMake57ByteFrames) {
  Connected c("127.0.3.6");
  ASSERT_TRUE(c.connected);
  const Key bob = keyOf(0x40);
  c.client.impl->sendBytesDirect(text("psst"), bob.data());
  c.client.impl->sendBytesBroadcast({});
  auto direct = c.session->receiveFrame();
  ASSERT_TRUE(direct && direct->opened);
  EXPECT_EQ(direct->type, 1);
  EXPECT_EQ(direct->key, bob);
  EXPECT_EQ(direct->payload, text("psst"));
  auto empty = c.session->receiveFrame();
  ASSERT_TRUE(empty && empty->opened);
  EXPECT_EQ(empty->length, 53u);
  EXPECT_EQ(empty->plaintext.size(), 37u);
  EXPECT_EQ(empty->type, 2);
}

TEST(Nonces, BothCountersCarryFromByteZeroIntoByteOne) {
  Connected c("127.0.3.7");
  ASSERT_TRUE(c.connected);
  constexpr int kFrames = 300;  // past 256 in each direction
  for (int i = 0; i < kFrames; ++i) {
    c.client.impl->sendBytesBroadcast(text(std::to_string(i)));
    c.session->sendPacket(2, keyOf(0), text(std::to_string(i)));
  }
  for (int i = 0; i < kFrames; ++i) {
    auto frame = c.session->receiveFrame();
    ASSERT_TRUE(frame);
    ASSERT_TRUE(frame->opened) << "client frame " << i;
    ASSERT_EQ(frame->payload, text(std::to_string(i)));
  }
  EXPECT_EQ(c.session->rxNonce[0], kFrames % 256);
  EXPECT_EQ(c.session->rxNonce[1], 1);
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(c.client.next().payload, text(std::to_string(i))) << i;
}

TEST(ReceiveLoop, HandsOutMessagesOnceOldestFirstWithTheirKeys) {
  Connected c("127.0.3.8");
  ASSERT_TRUE(c.connected);
  EXPECT_TRUE(c.client.impl->readBytes().payload.empty());  // nothing yet, and no wait
  c.session->sendPacket(2, keyOf(1), text("first"));
  c.session->sendPacket(1, keyOf(2), text("second"));
  auto a = c.client.next();
  auto b = c.client.next();
  EXPECT_EQ(a.payload, text("first"));
  EXPECT_EQ(a.key, keyOf(1));
  EXPECT_EQ(b.payload, text("second"));
  EXPECT_EQ(b.key, keyOf(2));
  EXPECT_TRUE(c.client.impl->readBytes().payload.empty());
}

TEST(ReceiveLoop, BadFramesYieldNothingAndTheNextFrameStillOpens) {
  Connected c("127.0.3.9");
  ASSERT_TRUE(c.connected);
  Bytes corrupted = c.session->sealFrame(Session::packet(2, keyOf(3), text("tampered")));
  corrupted[10] ^= 0x20;
  c.session->sendRaw(corrupted);
  // Length 0 and length 15: nothing that could hold a tag. Each still uses a nonce.
  c.session->sendRaw({0, 0, 0, 0});
  c.session->txNonce[0]++;
  c.session->sendRaw({0, 0, 0, 15, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  c.session->txNonce[0]++;
  // A frame that opens but does not parse (declared length past the data).
  Bytes lying = Session::packet(2, keyOf(3), text("abc"));
  lying[36] = 9;
  c.session->sendRaw(c.session->sealFrame(lying));
  c.session->sendPacket(2, keyOf(4), text("after"));

  auto m = c.client.next();
  EXPECT_EQ(m.payload, text("after"));
  EXPECT_EQ(m.key, keyOf(4));
}

TEST(ReceiveLoop, FramesGluedBehindTheWelcomeAreReceived) {
  const std::vector<Bytes> glued = {Session::packet(2, keyOf(5), text("early")),
                                    Session::packet(2, keyOf(6), text("bird"))};
  Connected c("127.0.3.10", {}, glued);
  ASSERT_TRUE(c.connected);
  EXPECT_EQ(c.client.next().payload, text("early"));
  EXPECT_EQ(c.client.next().payload, text("bird"));
}

TEST(ReceiveLoop, AnOversizedLengthEndsTheLoopWithoutAllocating) {
  for (const std::uint32_t length : {0xFFFFFFFFu, sotto::kMaxFrameLength + 1}) {
    Connected c(length == 0xFFFFFFFFu ? "127.0.3.11" : "127.0.3.12");
    ASSERT_TRUE(c.connected);
    c.session->sendPacket(2, keyOf(7), text("before"));
    c.session->sendRaw({static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                        static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)});
    c.session->sendPacket(2, keyOf(7), text("never read"));
    EXPECT_EQ(c.client.next().payload, text("before"));
    EXPECT_TRUE(c.client.next(300ms).payload.empty());
    // The session ends with the loop: the socket is closed under the sender too.
    EXPECT_TRUE(c.session->waitClosed());
    EXPECT_FALSE(c.client.impl->connected());
  }
}

TEST(ReceiveLoop, TheLargestFrameIsAccepted) {
  Connected c("127.0.3.13");
  ASSERT_TRUE(c.connected);
  const Bytes big(sotto::kMaxFrameLength - 16 - 37, 0x5a);
  c.session->sendPacket(2, keyOf(8), big);
  auto m = c.client.next(10s);
  EXPECT_EQ(m.payload.size(), big.size());
  EXPECT_EQ(m.payload, big);
}

TEST(Loops, TheLargestMessageEachWayLeavesNoBuffersBehind) {
  TempDir dir;
  sotto::ClientOptions options;
  options.debugLogPath = dir.file("debug.log");  // its hex line counts too
  Connected c("127.0.3.23", options);
  ASSERT_TRUE(c.connected);
  // Small, largest, small: the first sets up what a session keeps anyway, the
  // last ensures both loops are past the largest when the heap is measured.
  const std::size_t sizes[] = {5, sotto::kMaxFrameLength - 16 - 37, 5};
  std::size_t before = 0;
  for (const std::size_t size : sizes) {
    if (size != 5 && before == 0) before = heapInUse();
    c.session->sendPacket(2, keyOf(1), Bytes(size, 0x5a));
    EXPECT_EQ(c.client.next(30s).payload.size(), size);
    c.client.impl->sendBytesBroadcast(Bytes(size, 0x5a));
    auto frame = c.session->receiveFrame(30s);
    EXPECT_TRUE(frame && frame->payload.size() == size);
  }
  const std::size_t after = heapInUse();
  EXPECT_LT(after, before + 2 * 1024 * 1024) << "held " << (after - before) << " bytes more";
}

TEST(ReceiveLoop, AClosedConnectionEndsBothLoopsSilently) {
  Connected c("127.0.3.14");
  ASSERT_TRUE(c.connected);
  c.session->sendPacket(2, keyOf(9), text("last words"));
  c.session->reset();
  EXPECT_EQ(c.client.next().payload, text("last words"));
  for (int i = 0; i < 50; ++i) c.client.impl->sendBytesBroadcast(text("into the void"));
  EXPECT_TRUE(c.client.next(200ms).payload.empty());
}

TEST(DebugLog, RecordsTheOwnKeyAndEachPayloadPrivately) {
  TempDir dir;
  sotto::ClientOptions options;
  options.debugLogPath = dir.file("debug.log");
  Connected c("127.0.3.15", options);
  ASSERT_TRUE(c.connected);
  c.session->sendPacket(2, keyOf(1), {0x0a, 0xff});
  c.session->sendPacket(2, keyOf(1), {});
  c.session->sendPacket(2, keyOf(1), text("ok"));
  ASSERT_EQ(c.client.next().payload, Bytes({0x0a, 0xff}));
  ASSERT_EQ(c.client.next().payload, text("ok"));
  c.client.impl.reset();  // closes the log

  const auto& key = c.client.id.signPublicKey;
  std::string ownKey;
  for (unsigned char b : key) {
    if (b == 0) break;
    ownKey.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(slurp(dir.file("debug.log")),
            ownKey + "\nreading \n0a ff \nreading \n\nreading \n6f 6b \nreading \n");
  struct stat st {};
  ASSERT_EQ(0, ::stat(dir.file("debug.log").c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DebugLog, ShowsNothingOfTheSessionToWhoeverHeldItsFileBefore) {
  // Through a hard link of their own, or a descriptor taken while the log was
  // readable: either way a file with the previous content.
  const struct {
    const char* address;
    mode_t mode;
    bool hardLink;
  } cases[] = {{"127.0.3.20", 0644, false}, {"127.0.3.21", 0640, false}, {"127.0.3.22", 0666, true}};
  for (const auto& v : cases) {
    SCOPED_TRACE(v.address);
    TempDir dir;
    const std::string path = dir.file("debug.log"), theirs = v.hardLink ? dir.file("theirs") : path;
    std::ofstream(theirs) << "earlier run\n";
    ASSERT_EQ(0, ::chmod(theirs.c_str(), v.mode));
    ASSERT_TRUE(!v.hardLink || ::link(theirs.c_str(), path.c_str()) == 0);
    const int view = ::open(theirs.c_str(), O_RDONLY);
    sotto::ClientOptions options;
    options.debugLogPath = path;
    Connected c(v.address, options);
    ASSERT_TRUE(c.connected);
    c.session->sendPacket(2, keyOf(1), text("hi"));
    EXPECT_EQ(c.client.next().payload, text("hi"));
    c.client.impl.reset();
    char seen[64] = {};
    EXPECT_EQ(::pread(view, seen, sizeof seen - 1, 0), 12) << seen;
    ::close(view);
    // A readable log gives way to a fresh private one, which has the session.
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_TRUE(v.hardLink || (st.st_mode & 0777) == 0600);
    EXPECT_EQ(v.hardLink, slurp(path).find("68 69 \n") == std::string::npos);
  }
}

TEST(DebugLog, APlantedSymlinkIsNotFollowedAndMessagesStillArrive) {
  TempDir dir;
  std::ofstream(dir.file("victim")) << "precious";
  std::filesystem::create_symlink(dir.file("victim"), dir.file("debug.log"));
  sotto::ClientOptions options;
  options.debugLogPath = dir.file("debug.log");
  Connected c("127.0.3.16", options);
  ASSERT_TRUE(c.connected);
  c.session->sendPacket(2, keyOf(1), text("hi"));
  EXPECT_EQ(c.client.next().payload, text("hi"));
  EXPECT_EQ(slurp(dir.file("victim")), "precious");
}

TEST(DebugLog, AFifoInItsPlaceHoldsUpNeitherConnectNorTheLoopsNorDestruction) {
  TempDir dir;
  const std::string path = dir.file("debug.log");
  ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
  // Opens the FIFO for reading if the client is still stuck after a while, so
  // that a failure ends the test instead of hanging it; the reader stays open
  // until the end, so no write meets a closed pipe.
  std::promise<void> done;
  int reader = -1;
  std::thread rescuer([&, finished = done.get_future()] {
    if (finished.wait_for(5s) == std::future_status::timeout) reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  });
  {
    sotto::ClientOptions options;
    options.debugLogPath = path;
    Connected c("127.0.3.18", options);
    EXPECT_TRUE(c.connected);
    c.session->sendPacket(2, keyOf(1), text("hi"));
    EXPECT_EQ(c.client.next(3s).payload, text("hi"));
    c.client.impl->sendBytesBroadcast(text("out"));
    // No ASSERT here: the rescuer must be joined whatever happens.
    auto frame = c.session->receiveFrame(3s);
    EXPECT_TRUE(frame && frame->payload == text("out"));
  }
  done.set_value();
  rescuer.join();
  EXPECT_EQ(reader, -1) << "the client waited for a reader of its debug log";
  if (reader >= 0) ::close(reader);
}

TEST(DebugLog, AFileAnotherUserPlantedIsNotWrittenTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a file owned by another user";
  TempDir dir;
  const std::string path = dir.file("debug.log");
  std::ofstream(path).flush();
  ASSERT_EQ(0, ::chown(path.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
  sotto::ClientOptions options;
  options.debugLogPath = path;
  Connected c("127.0.3.19", options);
  ASSERT_TRUE(c.connected);
  c.session->sendPacket(2, keyOf(1), text("secret"));
  EXPECT_EQ(c.client.next().payload, text("secret"));
  c.client.impl.reset();
  EXPECT_EQ(slurp(path), "");
}

}  // namespace
