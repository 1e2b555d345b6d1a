// A cluster on loopback: two sotto-server processes joined through a real
// nats-server (JetStream, store in a temporary directory) and a throwaway
// PostgreSQL, as tests/support/cluster.hpp starts them. The clients are the
// tests' raw sessions for the round trips, the client library for the bursts,
// identities registered straight into the database.
//
// - round trip: A broadcasts 64 bytes, B echoes each at once, A waits for
//   the echo; p50 and p99 of many. Across instances (A on the first, B on the
//   second) beside within one (both on the first, which still publishes every
//   packet to the bus).
// - client to client: A sends a burst of 64-byte broadcasts through the
//   client library, at most kWindow ahead of what B has taken; messages per
//   second that B took, within one instance and across two, beside the same
//   pair on a lone server of the same key and registry without the bus.
// - an idle instance while the bus is down: its CPU (every thread's utime
//   and stime) over 5 s, from 1 s after nats-server was killed.
//
// SOTTO_BENCH_SERVER=PATH runs another build's sotto-server in the same
// harness, for figures before and after a change from one run.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "bench/areas.hpp"
#include "bench/process.hpp"
#include "bench/round_trips.hpp"
#include "bench/table.hpp"
#include "tests/support/cluster.hpp"
#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kPayloadSize = 64;
constexpr int kWarmUp = 1'000;
constexpr int kRoundTrips = 10'000;
constexpr int kBurst = 100'000;
// Below the 1,024 frames an instance queues for one session.
constexpr int kWindow = 500;

constexpr auto kIdleFor = 5s;
// The lone server: after the two instances.
constexpr int kLone = 2;

Cluster& cluster() {
  const char* other = std::getenv("SOTTO_BENCH_SERVER");
  // An older build does not know the share's options (SOTTO_BENCH_LIFTED=0
  // for one); this one would slow the bursts to its share. The lone server
  // is the third.
  const char* liftEnv = std::getenv("SOTTO_BENCH_LIFTED");
  const bool lift = !other || !liftEnv || std::string(liftEnv) != "0";
  static Cluster cluster(other ? other : SOTTO_SERVER_BINARY, "127.0.16", 60, 2,
                         lift ? std::vector<std::vector<std::string>>(3, lifted::shareArgs())
                              : std::vector<std::vector<std::string>>{},
                         1);
  return cluster;
}

// A on instance `aInstance` and B on `bInstance`, fresh identities each time.
struct Pair {
  fixed::Identity a, b;
  std::unique_ptr<testing_peer::Session> sa, sb;
  Pair(int aInstance, int bInstance, unsigned char seed) : a(fixed::make(seed, 0)), b(fixed::make(seed + 1, 0)) {
    if (!cluster().ok()) return;
    cluster().seed(a);
    cluster().seed(b);
    sa = cluster().join(aInstance, a);
    sb = cluster().join(bInstance, b);
  }
  bool ready(benchmark::State& state) const {
    if (sa && sb) return true;
    state.SkipWithError("no cluster or no connection");
    return false;
  }
};

void roundTrip(benchmark::State& state, int bInstance, unsigned char seed) {
  Pair pair(0, bInstance, seed);
  if (!pair.ready(state)) return;
  // Broadcasts reach every session of the cluster, so each side takes only
  // the other's: a burst of an earlier run may still be on its way.
  std::thread echo([&] {
    while (auto frame = pair.sb->receiveFrame(2s))
      if (frame->key == pair.a.signPublicKey) pair.sb->sendPacket(2, pair.b.signPublicKey, frame->payload);
  });
  testing_peer::Bytes payload(kPayloadSize, 'p');
  std::vector<double> samples;
  const bool ok = timeRoundTrips(state, kWarmUp, kRoundTrips, samples, [&](int i) {
    std::memcpy(payload.data(), &i, sizeof i);
    pair.sa->sendPacket(2, pair.a.signPublicKey, payload);
    auto back = pair.sa->receiveFrame(10s);
    while (back && back->key != pair.b.signPublicKey) back = pair.sa->receiveFrame(10s);
    return back && back->payload == payload;
  });
  pair.sb->close();
  echo.join();
  if (!ok) {
    state.SkipWithError("an echo did not come back");
    return;
  }
  setPercentiles(state, samples);
}

// A and B as the chat's own client library connects them, as the lone
// server's end-to-end figures do: its sends and reads are batched, so the
// burst measures the servers, not the raw test sessions.
struct LibraryPair {
  fixed::Identity a, b;
  std::unique_ptr<ClientImpl> ca, cb;
  LibraryPair(int aInstance, int bInstance, unsigned char seed) : a(fixed::make(seed, 0)), b(fixed::make(seed + 1, 0)) {
    if (!cluster().ok()) return;
    ca = join(aInstance, a);
    cb = join(bInstance, b);
  }
  static std::unique_ptr<ClientImpl> join(int instance, const fixed::Identity& id) {
    cluster().seed(id);
    auto client = harness::libraryClient(id, "/dev/null", std::cerr);
    client->setServer(cluster().address(instance), cluster().key().data(), false);
    return client->connect() == Client::success ? std::move(client) : nullptr;
  }
};

void burst(benchmark::State& state, int aInstance, int bInstance, unsigned char seed) {
  LibraryPair pair(aInstance, bInstance, seed);
  if (!pair.ca || !pair.cb) {
    state.SkipWithError("no cluster or no connection");
    return;
  }
  std::vector<unsigned char> payload(kPayloadSize, 'x');
  for (auto _ : state) {
    std::atomic<int> received{0};
    int wrong = 0;
    const auto start = Clock::now();
    // Each of A's lines once, in order, intact; anyone else's are skipped.
    std::thread drain([&] {
      std::vector<unsigned char> expected(kPayloadSize, 'x');
      while (received < kBurst && Clock::now() - start < 120s) {
        const RecivedMessage m = pair.cb->readBytes();
        if (m.payload.empty()) {
          std::this_thread::sleep_for(20us);
          continue;
        }
        if (m.key != pair.a.signPublicKey) continue;
        const int n = received;
        std::memcpy(expected.data(), &n, sizeof n);
        wrong += m.payload != expected;
        received.fetch_add(1, std::memory_order_release);
      }
    });
    for (int sent = 0; sent < kBurst; ++sent) {
      while (sent - received.load(std::memory_order_acquire) >= kWindow && Clock::now() - start < 120s)
        std::this_thread::sleep_for(20us);
      std::memcpy(payload.data(), &sent, sizeof sent);
      pair.ca->sendBytesBroadcast(payload);
    }
    drain.join();
    const auto took = Clock::now() - start;
    if (received != kBurst || wrong != 0) {
      state.SkipWithError((std::to_string(received) + " of " + std::to_string(kBurst) + " arrived, " +
                           std::to_string(wrong) + " wrong")
                              .c_str());
      return;
    }
    state.counters[kFigure] = kBurst / std::chrono::duration<double>(took).count();
  }
}

void idleWithoutBus(benchmark::State& state) {
  if (!cluster().ok()) {
    state.SkipWithError("no cluster");
    return;
  }
  cluster().nats.kill();
  std::this_thread::sleep_for(1s);
  Usage before, after;
  Clock::duration took{};
  for (auto _ : state) {
    before = usage(cluster().pid(0));
    const auto start = Clock::now();
    std::this_thread::sleep_for(kIdleFor);
    after = usage(cluster().pid(0));
    took = Clock::now() - start;
  }
  cluster().nats.start();
  const double seconds = std::chrono::duration<double>(took).count();
  state.counters[kFigure] = 100 * (after.cpuSeconds - before.cpuSeconds) / seconds;
  state.counters["wakeups"] = static_cast<double>(after.switches - before.switches) / seconds;
}

}  // namespace

void registerCluster() {
  const std::string count = std::to_string(kBurst / 1000) + "k";
  add({"cluster/round-trip-same", "cluster: round trip A, instance, B, instance, A, both on one instance, p50", "us",
       Better::lower, "", "p50"},
      [](benchmark::State& s) { roundTrip(s, 0, 101); })
      ->Iterations(1);
  add({"cluster/round-trip-across", "cluster: the same round trip with A and B on two instances (via NATS), p50",
       "us", Better::lower, "cluster/round-trip-same", "p50"},
      [](benchmark::State& s) { roundTrip(s, 1, 103); })
      ->Iterations(1);
  addRow({"cluster/round-trip-same", "cluster: round trip on one instance, p99", "us", Better::lower, "", "p99"});
  addRow({"cluster/round-trip-across", "cluster: round trip across two instances, p99", "us", Better::lower,
          "cluster/round-trip-same", "p99"});
  add({"cluster/client-to-client-lone", "cluster: " + count + " broadcasts from A to B on a lone server, no bus",
       "msg/s", Better::higher, ""},
      [](benchmark::State& s) { burst(s, kLone, kLone, 109); })
      ->Iterations(1);
  add({"cluster/client-to-client-same", "cluster: the same burst with A and B on one instance", "msg/s",
       Better::higher, "cluster/client-to-client-lone"},
      [](benchmark::State& s) { burst(s, 0, 0, 105); })
      ->Iterations(1);
  add({"cluster/client-to-client-across", "cluster: the same burst with A and B on two instances", "msg/s",
       Better::higher, "cluster/client-to-client-lone"},
      [](benchmark::State& s) { burst(s, 0, 1, 107); })
      ->Iterations(1);
  // Last: it kills the bus.
  add({"cluster/bus-down", "cluster: an idle instance while the bus is down, 5 s: CPU", "% of a core",
       Better::lower, ""},
      idleWithoutBus)
      ->Iterations(1);
  addRow({"cluster/bus-down", "cluster: an idle instance while the bus is down: context switches", "/s",
          Better::lower, "", "wakeups"});
}

}  // namespace bench
