// Soak: 50 real clients each broadcast 2,000 lines through a sotto-server
// process, and every line must reach each of the 49 others exactly once, in
// its sender's order, byte for byte. Prints the throughput and the server's
// peak memory. Not part of the default runs (label and configuration soak):
//
//   cmake --preset release && cmake --build build/release
//   ctest --preset soak
//
// The senders do not pace themselves: all 100,000 lines are handed to the
// clients as fast as the send calls return, and the readers take them out
// as fast as they come. The server still cuts off a client whose outgoing
// queue passes 1,024 frames, so the test also shows that no client that
// keeps reading falls that far behind. Address 127.0.7.40.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "client/client_impl.hpp"
#include "proto/bytes.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kClients = 50;
constexpr std::uint32_t kLines = 2'000;
constexpr int kSenderThreads = 2, kReaderThreads = 4;
const char* const kAddress = "127.0.7.40";

// Line `seq` of client `sender`: a header naming both, then 16 to 271 bytes
// that follow from them, every byte value included.
Bytes line(int sender, std::uint32_t seq) {
  const std::string header = std::to_string(sender) + ":" + std::to_string(seq) + ":";
  Bytes b(header.begin(), header.end());
  std::uint64_t x = (std::uint64_t(sender) << 32 | seq) * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&x] {
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return x;
  };
  const std::size_t extra = 16 + next() % 256;
  for (std::size_t i = 0; i < extra; ++i) b.push_back(static_cast<unsigned char>(next()));
  return b;
}

// "VmHWM" of a process, in KiB.
long peakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string field;
  while (status >> field)
    if (field == "VmHWM:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
  return -1;
}

struct Tally {
  std::atomic<std::uint64_t> delivered{0}, duplicated{0}, reordered{0}, corrupted{0}, foreign{0};
};

TEST(Soak, FiftyClientsTwoThousandLinesEachArriveOnceInOrderIntact) {
  harness::TempDir dir;
  std::vector<fixed::Identity> ids;
  {
    std::string error;
    auto registry = sotto::Registry::open(dir / sotto::kRegistryFileName, error);
    ASSERT_TRUE(registry) << error;
    for (int i = 0; i < kClients; ++i) {
      ids.push_back(fixed::make(static_cast<unsigned char>(i + 1), 0));
      ASSERT_EQ(registry->enrol(ids.back().signPublicKey, 1), sotto::Registry::Result::added);
    }
  }
  std::map<testing_peer::Key, int> senderOf;
  for (int i = 0; i < kClients; ++i) senderOf[ids[i].signPublicKey] = i;

  Child server({SOTTO_SERVER_BINARY, "--listen", kAddress, "--data-dir", dir.path()}, dir / "server.log");
  const std::string keyLine = server.firstLine();
  ASSERT_EQ(keyLine.rfind("Server public key: ", 0), 0u) << keyLine;
  raw_client::Key serverKey;
  ASSERT_TRUE(sotto::fromHex(keyLine.substr(19), serverKey.data(), serverKey.size()));

  std::vector<std::unique_ptr<ClientImpl>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(harness::libraryClient(ids[i], "/nonexistent-dir/debug.log", scratch::discard()));
    clients[i]->setServer(kAddress, serverKey.data(), false);
    ASSERT_EQ(clients[i]->connect(), Client::success) << i;
  }

  // received[r][s]: lines of sender s that client r has read, in order.
  std::vector<std::vector<std::atomic<std::uint32_t>>> received(kClients);
  for (auto& row : received) row = std::vector<std::atomic<std::uint32_t>>(kClients);
  Tally tally;
  std::atomic<bool> stop{false};
  const auto start = Clock::now();

  std::vector<std::thread> threads;
  // Each sender thread hands its clients one line each in turn.
  for (int t = 0; t < kSenderThreads; ++t)
    threads.emplace_back([&, t] {
      for (std::uint32_t seq = 0; seq < kLines && !stop; ++seq)
        for (int s = t; s < kClients; s += kSenderThreads) clients[s]->sendBytesBroadcast(line(s, seq));
    });
  for (int t = 0; t < kReaderThreads; ++t)
    threads.emplace_back([&, t] {
      while (!stop) {
        bool any = false;
        for (int r = t; r < kClients; r += kReaderThreads) {
          for (RecivedMessage m = clients[r]->readBytes(); !m.payload.empty(); m = clients[r]->readBytes()) {
            any = true;
            const auto from = senderOf.find(m.key);
            if (from == senderOf.end() || from->second == r) {
              ++tally.foreign;
              continue;
            }
            const int s = from->second;
            const std::string text(m.payload.begin(), m.payload.end());
            const std::uint32_t expected = received[r][s];
            const std::string header = std::to_string(s) + ":";
            const auto seq = text.rfind(header, 0) == 0 ? std::stoul(text.substr(header.size())) : ~0ul;
            if (seq == expected && m.payload == line(s, expected)) {
              received[r][s] = expected + 1;
              ++tally.delivered;
            } else if (seq < expected) {
              ++tally.duplicated;
            } else if (seq != expected && seq <= kLines) {
              ++tally.reordered;
            } else {
              ++tally.corrupted;
            }
          }
        }
        if (!any) std::this_thread::sleep_for(200us);
      }
    });

  // Done when every line has reached every other client, or when nothing
  // has moved for 30 s.
  const std::uint64_t expectedDeliveries = std::uint64_t(kClients) * (kClients - 1) * kLines;
  std::uint64_t last = 0;
  auto lastMove = Clock::now();
  while (tally.delivered < expectedDeliveries && Clock::now() - lastMove < 30s) {
    std::this_thread::sleep_for(100ms);
    if (tally.delivered != last) {
      last = tally.delivered;
      lastMove = Clock::now();
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  for (auto& t : threads) t.join();
  const long serverPeak = peakKiB(server.pid());

  std::cout << "soak: " << kClients << " clients x " << kLines << " lines in " << seconds << " s: "
            << static_cast<long>(kClients * kLines / seconds) << " lines/s sent, "
            << static_cast<long>(tally.delivered / seconds) << " deliveries/s; server peak memory "
            << serverPeak / 1024 << " MiB" << std::endl;
  std::cout << "soak: delivered " << tally.delivered << " of " << expectedDeliveries << ", lost "
            << expectedDeliveries - tally.delivered << ", duplicated " << tally.duplicated << ", reordered "
            << tally.reordered << ", corrupted " << tally.corrupted << ", unknown sender " << tally.foreign
            << std::endl;
  EXPECT_EQ(tally.delivered, expectedDeliveries);
  EXPECT_EQ(tally.duplicated, 0u);
  EXPECT_EQ(tally.reordered, 0u);
  EXPECT_EQ(tally.corrupted, 0u);
  EXPECT_EQ(tally.foreign, 0u);
  testing::Test::RecordProperty("seconds", std::to_string(seconds));
  testing::Test::RecordProperty("serverPeakKiB", std::to_string(serverPeak));

  clients.clear();
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(10s), 0);
  const std::string text = scratch::slurp(dir / "server.log");
  EXPECT_EQ(text.find("reads too slowly"), std::string::npos) << "a client was cut off";
}

}  // namespace
