// The server under a barrage of hostile clients while two honest clients chat
// through it the whole time: a thousand connections that never send a hello,
// hellos that are forged, outdated, unproven, truncated or garbage, keyed
// clients that send oversized, replayed, tampered and short frames, and one
// that never reads while others broadcast. Each attacker is cut off with its
// reason in the log; the honest pair loses, repeats, reorders and corrupts
// nothing. Also a burst from every client at once, which must cut off none.
// Addresses 127.0.7.30-39 (server) and 127.0.7.100-149 (sources).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "client/client_impl.hpp"
#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::plain;
using harness::RunningServer;
using harness::text;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Session = std::unique_ptr<testing_peer::Session>;

testing_peer::Bytes line(int from, std::uint32_t seq) {
  return text("honest " + std::to_string(from) + " line " + std::to_string(seq) + std::string(seq % 97, '.'));
}

// Two real clients, each sending a numbered line every couple of
// milliseconds and reading all the time, each checking that the other's
// lines arrive one by one in order and intact.
class HonestPair {
 public:
  explicit HonestPair(RunningServer& server) {
    for (int i = 0; i < 2; ++i) {
      ids_[i] = plain(static_cast<unsigned char>(101 + i));
      server.seed(ids_[i]);
      clients_[i] = harness::libraryClient(ids_[i], "/nonexistent-dir/debug.log", std::cout);
      clients_[i]->setServer(server.address(), server.key().data(), false);
      connected_ = clients_[i]->connect() == Client::success && connected_;
    }
    if (!connected_) return;
    for (int i = 0; i < 2; ++i) {
      senders_[i] = std::thread([this, i] {
        while (!stopSending_) {
          clients_[i]->sendBytesBroadcast(line(i, sent_[i]));
          ++sent_[i];
          std::this_thread::sleep_for(2ms);
        }
      });
      readers_[i] = std::thread([this, i] { read(i); });
    }
  }
  ~HonestPair() {
    stopSending_ = stopReading_ = true;
    for (auto* threads : {&senders_, &readers_})
      for (auto& t : *threads)
        if (t.joinable()) t.join();
  }

  bool connected() const { return connected_; }
  std::uint32_t received(int i) const { return received_[i]; }

  // Lets the chat run on until each has read `lines` lines, then stops
  // sending and waits until each has read everything the other sent.
  void finish(std::uint32_t lines) {
    const auto until = Clock::now() + 30s;
    while ((received_[0] < lines || received_[1] < lines) && Clock::now() < until)
      std::this_thread::sleep_for(10ms);
    stopSending_ = true;
    for (auto& t : senders_) t.join();
    while ((received_[0] < sent_[1] || received_[1] < sent_[0]) && Clock::now() < until)
      std::this_thread::sleep_for(10ms);
    stopReading_ = true;
    for (auto& t : readers_) t.join();
    EXPECT_GT(sent_[0], 0u);
    EXPECT_EQ(received_[1], sent_[0]) << "lines of client 0 lost";
    EXPECT_EQ(received_[0], sent_[1]) << "lines of client 1 lost";
    EXPECT_EQ(faults_, 0u) << "lines repeated, reordered or corrupted";
  }

 private:
  void read(int i) {
    const int other = 1 - i;
    while (!stopReading_) {
      RecivedMessage m = clients_[i]->readBytes();
      if (m.payload.empty()) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      if (m.key != ids_[other].signPublicKey) continue;  // an attacker's broadcast
      if (m.payload == line(other, received_[i]))
        ++received_[i];
      else
        ++faults_;
    }
  }

  fixed::Identity ids_[2];
  std::unique_ptr<ClientImpl> clients_[2];
  bool connected_ = true;
  std::thread senders_[2], readers_[2];
  std::atomic<bool> stopSending_{false}, stopReading_{false};
  std::atomic<std::uint32_t> sent_[2] = {0, 0}, received_[2] = {0, 0};
  std::atomic<std::uint32_t> faults_{0};
};

Session unkeyed(int fd) {
  return std::make_unique<testing_peer::Session>(fd, testing_peer::Hello{}, false, raw_client::Key{},
                                                 raw_client::Key{});
}

bool stillOpen(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 0;
}

// A refused hello: the server closes without a welcome and says why.
void expectRefused(RunningServer& server, const testing_peer::Bytes& hello, const fixed::Identity& id,
                   const std::string& why) {
  auto outcome = raw_client::connect(server.address(), hello, server.key(), id);
  EXPECT_FALSE(outcome.welcomed) << why;
  EXPECT_TRUE(outcome.session->waitClosed(5s)) << why;
  EXPECT_TRUE(server.log.waitFor("refused: " + why)) << why;
}

// A keyed attacker's frames: the server ends that session alone and says why.
void expectCutOff(RunningServer& server, const fixed::Identity& id, const std::string& why,
                  const std::function<void(testing_peer::Session&)>& attack) {
  server.seed(id);
  auto session = server.join(id);
  ASSERT_TRUE(session) << why;
  attack(*session);
  EXPECT_TRUE(session->waitClosed(5s)) << why;
  EXPECT_TRUE(server.log.waitFor("disconnected " + harness::hex(id) + ": " + why)) << why;
}

TEST(Barrage, HostileClientsAreCutOffWhileTwoHonestOnesLoseNothing) {
  // A thousand sockets on our side, up to the server's bound on its side.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  ASSERT_GE(files.rlim_cur, 2'500u) << "too few file descriptors for this test";

  sotto::Limits limits;
  limits.maxQueuedPacketsPerSession = 256;
  limits.maxQueuedBytesPerSession = 2 * 1024 * 1024;
  limits.maxPending = 256;
  RunningServer server("127.0.7.30", lifted::share(limits));
  HonestPair pair(server);
  ASSERT_TRUE(pair.connected()) << server.log.all();

  // 1. A thousand connections from fifty addresses that never send a hello.
  std::vector<Session> silent;
  for (int i = 0; i < 1000; ++i) {
    const int fd = raw_client::dial(server.address(), "127.0.7." + std::to_string(100 + i % 50));
    ASSERT_GE(fd, 0) << i;
    silent.push_back(unkeyed(fd));
  }
  ASSERT_TRUE(server.log.waitFor(" connected\n", 1000, 30s)) << "the server stopped accepting";
  // Evictions are logged, and their FINs arrive, a moment after the
  // connection that caused them.
  EXPECT_TRUE(server.log.waitFor("without a hello", 744));
  const auto pending = [&] {
    return std::count_if(silent.begin(), silent.end(), [](const Session& s) { return stillOpen(s->fd()); });
  };
  for (const auto until = Clock::now() + 5s; pending() > 256 && Clock::now() < until;)
    std::this_thread::sleep_for(10ms);
  EXPECT_LE(pending(), 256) << "the bound on connections owing a hello did not hold";
  {
    // A newcomer still gets in while the flood holds its place.
    const auto newcomer = plain(120);
    server.seed(newcomer);
    EXPECT_TRUE(server.join(newcomer));
  }

  // 2. Hellos that must be refused.
  const auto stranger = plain(121), known = plain(122);
  server.seed(known);
  {
    raw_client::HelloFields forged;
    forged.signWith = stranger.signSecretKey.data();
    expectRefused(server, raw_client::hello(known, server.key(), forged), known, "bad signature");
    raw_client::HelloFields future;
    future.version = 2;
    expectRefused(server, raw_client::hello(known, server.key(), future), known, "unsupported version");
    expectRefused(server, raw_client::hello(stranger, server.key(), 1, 12345), stranger, "missing proof of work");
    expectRefused(server, raw_client::hello(stranger, server.key(), 0), stranger, "unknown identity");
    testing_peer::Bytes junk(213);
    randombytes_buf(junk.data(), junk.size());
    expectRefused(server, junk, known, "hello does not unseal");

    auto truncated = raw_client::hello(known, server.key(), 0);
    truncated.resize(120);
    const int fd = raw_client::dial(server.address());
    ::send(fd, truncated.data(), truncated.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    EXPECT_TRUE(unkeyed(fd)->waitClosed(5s));
    EXPECT_TRUE(server.log.waitFor("refused: closed after 120 of 213 hello bytes"));
  }

  // 3. Keyed clients that break the frame rules.
  expectCutOff(server, plain(123), "frame longer than 16 MiB",
               [](testing_peer::Session& s) { s.sendRaw({0x01, 0x00, 0x00, 0x01}); });
  expectCutOff(server, plain(124), "frame failed authentication", [](testing_peer::Session& s) {
    const auto frame = s.sealFrame(testing_peer::Session::packet(2, plain(124).signPublicKey, text("twice")));
    s.sendRaw(frame);
    s.sendRaw(frame);
  });
  expectCutOff(server, plain(125), "frame failed authentication", [](testing_peer::Session& s) {
    auto frame = s.sealFrame(testing_peer::Session::packet(2, plain(125).signPublicKey, text("bent")));
    frame[frame.size() / 2] ^= 0x10;
    s.sendRaw(frame);
  });
  expectCutOff(server, plain(126), "frame too short", [](testing_peer::Session& s) {
    s.sendRaw({0, 0, 0, 52});
    s.sendRaw(testing_peer::Bytes(52, 0));
  });

  // 4. A reader that never reads while another client broadcasts big lines.
  const auto sluggard = plain(127), loud = plain(128);
  server.seed(sluggard);
  auto stuck = raw_client::handshake(raw_client::dial(server.address(), "", 4096),
                                     raw_client::hello(sluggard, server.key(), 0), server.key(), sluggard);
  ASSERT_TRUE(stuck.welcomed);
  auto loudSession = server.seedAndJoin(loud);
  ASSERT_TRUE(loudSession);
  const testing_peer::Bytes big(64 * 1024, 'L');
  for (int i = 0; i < 200 && !server.log.count("disconnected " + harness::hex(sluggard)); ++i)
    loudSession->sendPacket(2, loud.signPublicKey, big);
  EXPECT_TRUE(server.log.waitFor("disconnected " + harness::hex(sluggard) + ": reads too slowly"))
      << server.log.all();
  EXPECT_TRUE(stuck.session->waitClosed(10s));

  // The honest pair chatted through all of it and still does.
  EXPECT_GT(pair.received(0), 0u);
  pair.finish(300);
  silent.clear();
  const auto late = plain(129);
  server.seed(late);
  auto lateSession = server.join(late);
  ASSERT_TRUE(lateSession);
  loudSession->sendPacket(2, loud.signPublicKey, text("still relaying"));
  for (;;) {
    auto frame = lateSession->receiveFrame(5s);
    ASSERT_TRUE(frame && frame->opened);
    if (frame->payload == text("still relaying")) break;
  }
}

TEST(Barrage, EveryClientBurstingAtOnceCutsOffNoClientThatKeepsReading) {
  // Each of 30 clients sends 100 lines in one burst, so the relay queues up
  // to 29 frames for a client in the time its writer takes for one write.
  constexpr int kClients = 30, kLines = 100;
  RunningServer server("127.0.7.31", lifted::share());
  std::vector<fixed::Identity> ids;
  std::vector<Session> sessions;
  for (int i = 0; i < kClients; ++i) {
    ids.push_back(plain(static_cast<unsigned char>(1 + i)));
    sessions.push_back(server.seedAndJoin(ids.back()));
    ASSERT_TRUE(sessions.back());
  }
  std::map<testing_peer::Key, int> senderOf;
  for (int i = 0; i < kClients; ++i) senderOf[ids[i].signPublicKey] = i;

  std::atomic<int> faults{0};
  std::vector<std::thread> readers;
  std::vector<int> complete(kClients, 0);
  for (int r = 0; r < kClients; ++r)
    readers.emplace_back([&, r] {
      std::vector<int> next(kClients, 0);
      for (int got = 0; got < (kClients - 1) * kLines; ++got) {
        auto frame = sessions[r]->receiveFrame(10s);
        if (!frame || !frame->opened) return;
        const auto from = senderOf.find(frame->key);
        if (from == senderOf.end() || frame->payload != line(from->second, next[from->second]++)) ++faults;
      }
      complete[r] = 1;
    });
  for (int s = 0; s < kClients; ++s) {
    testing_peer::Bytes burst;
    for (std::uint32_t i = 0; i < kLines; ++i) {
      const auto frame =
          sessions[s]->sealFrame(testing_peer::Session::packet(2, ids[s].signPublicKey, line(s, i)));
      burst.insert(burst.end(), frame.begin(), frame.end());
    }
    sessions[s]->sendRaw(burst);
  }
  for (auto& t : readers) t.join();
  EXPECT_EQ(std::count(complete.begin(), complete.end(), 1), kClients);
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(server.log.count("reads too slowly"), 0u) << server.log.all();
}

}  // namespace
