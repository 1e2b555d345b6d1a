// A cluster on loopback: two sotto-server processes joined through a real
// nats-server (JetStream, store in a temporary directory) and a throwaway
// PostgreSQL, as tests/support/cluster.hpp starts them. The clients are the
// tests' raw sessions, identities registered straight into the database.
//
// - round trip: A broadcasts 64 bytes, B echoes each at once, A waits for
//   the echo; p50 and p99 of many. Across instances (A on the first, B on the
//   second) beside within one (both on the first, which still publishes every
//   packet to the bus).
// - client to client: A writes a burst of 64-byte broadcasts, sealed
//   beforehand, at most kWindow ahead of what B has counted; messages per
//   second that B counted, within one instance and across two, beside the
//   same pair on a lone server of the same key and registry without the bus.
//   Raw sockets on both ends, so that the figure is the servers' (Burst).
//   The median of kBursts bursts.
//   Beside it, the CPU per message of the server processes it passed
//   through, which moves less with the machine's load. The same bursts
//   between two clients of the client library, as a user's pair sends them,
//   where the clients' own sealing and opening take their share of the
//   cores.
// - an idle instance while the bus is down: its CPU (every thread's utime
//   and stime) over 5 s, from 1 s after nats-server was killed.
//
// SOTTO_BENCH_SERVER=PATH runs another build's sotto-server in the same
// harness (serverBinary()).
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bench/areas.hpp"
#include "bench/process.hpp"
#include "bench/round_trips.hpp"
#include "bench/table.hpp"
#include "proto/bytes.hpp"
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
constexpr int kBurst = 200'000;
// Bursts per row, one after another on the same pair; the row shows their
// median, as one burst of half a second swings with whatever else ran then.
constexpr int kBursts = 3;
// A frame of a 64-byte broadcast: length word, packet header, payload, tag.
constexpr std::size_t kFrameSize = 4 + 37 + kPayloadSize + 16;
// Half the 8,192 packets an instance queues for one session.
constexpr std::size_t kWindow = 4'000;
// B opens one frame in this many, and the last.
constexpr std::size_t kCheckEvery = 256;
// A burst that takes longer than this has failed.
constexpr auto kPatience = 120s;
// How long the sender sleeps while it is a window ahead, leaving the two
// cores to the servers.
constexpr auto kNap = 20us;

constexpr auto kIdleFor = 5s;
// The lone server: after the two instances.
constexpr int kLone = 2;

Cluster& cluster() {
  const bool other = std::getenv("SOTTO_BENCH_SERVER") != nullptr;
  // An older build does not know the share's options (SOTTO_BENCH_LIFTED=0
  // for one); this one would slow the bursts to its share. The lone server
  // is the third.
  const char* liftEnv = std::getenv("SOTTO_BENCH_LIFTED");
  const bool lift = !other || !liftEnv || std::string(liftEnv) != "0";
  static Cluster cluster(serverBinary(), "127.0.16", 60, 2,
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

// A burst from A to B over raw sockets, so that the servers and the bus, not
// the clients, bound it. A's frames are sealed before the clock starts and
// written as fast as the socket takes them, never more than kWindow ahead of
// what B has counted. B counts frames by their length words alone and opens
// one in kCheckEvery, and the last: each must be A's broadcast of that
// number, so a frame lost, repeated, reordered or from anyone else shows.
class Burst {
 public:
  Burst(testing_peer::Session& from, const testing_peer::Key& sender) : sender_(sender) {
    testing_peer::Bytes payload(kPayloadSize, 'x');
    frames_.reserve(static_cast<std::size_t>(kBursts) * kBurst * kFrameSize);
    for (int i = 0; i < kBursts * kBurst; ++i) {
      std::memcpy(payload.data(), &i, sizeof i);
      const testing_peer::Bytes frame = from.sealFrame(testing_peer::Session::packet(2, sender, payload));
      frames_.insert(frames_.end(), frame.begin(), frame.end());
    }
  }

  // Messages per second B counted in burst `index` (0 first), or the reason
  // it failed.
  std::variant<double, std::string> run(testing_peer::Session& a, testing_peer::Session& b, int index) {
    const std::size_t first = static_cast<std::size_t>(index) * kBurst;
    const std::size_t end = first + kBurst;
    received_ = first;
    const auto start = Clock::now();
    const auto until = start + kPatience;
    std::thread count([&] { countAll(b, end, until); });
    for (std::size_t sent = first * kFrameSize; sent < end * kFrameSize && Clock::now() < until;) {
      const std::size_t allowed =
          std::min(end, received_.load(std::memory_order_acquire) + kWindow) * kFrameSize;
      if (allowed <= sent) {
        std::this_thread::sleep_for(kNap);
        continue;
      }
      const ssize_t n = ::send(a.fd(), frames_.data() + sent, allowed - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    count.join();
    if (!wrong_.empty()) return wrong_;
    if (received_ != end) return std::to_string(received_ - first) + " of " + std::to_string(kBurst) + " arrived";
    return kBurst / std::chrono::duration<double>(end_ - start).count();
  }

 private:
  // Counts B's frames from received_ (the frames of earlier bursts) to end.
  void countAll(testing_peer::Session& b, std::size_t end, Clock::time_point until) {
    std::vector<unsigned char> buffer(1 << 20);
    std::size_t held = 0, counted = received_;
    while (counted < end && wrong_.empty()) {
      pollfd readable{b.fd(), POLLIN, 0};
      if (Clock::now() > until) return;
      if (::poll(&readable, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(b.fd(), buffer.data() + held, buffer.size() - held, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      held += static_cast<std::size_t>(n);
      std::size_t at = 0;
      for (; held - at >= 4; ++counted) {
        const std::size_t length = sotto::getU32be(buffer.data() + at);
        if (4 + length > buffer.size()) return fail("a frame of " + std::to_string(length) + " bytes");
        if (held - at < 4 + length) break;
        if (counted % kCheckEvery == 0 || counted + 1 == end)
          check(b, buffer.data() + at + 4, length, counted);
        at += 4 + length;
      }
      std::memmove(buffer.data(), buffer.data() + at, held - at);
      held -= at;
      received_.store(counted, std::memory_order_release);
    }
    end_ = Clock::now();
  }

  void check(const testing_peer::Session& b, const unsigned char* body, std::size_t length, std::size_t index) {
    // Frame nonces count up from the session's first, little-endian.
    std::array<unsigned char, 24> nonce = b.rxNonce, step{};
    for (std::size_t i = 0, n = index; n > 0; ++i, n >>= 8) step[i] = static_cast<unsigned char>(n);
    sodium_add(nonce.data(), step.data(), nonce.size());
    const auto frame = b.open(testing_peer::Bytes(body, body + length), nonce);
    int number = -1;
    if (frame.opened && frame.payload.size() == kPayloadSize) std::memcpy(&number, frame.payload.data(), sizeof number);
    if (!frame.opened || frame.key != sender_ || number != static_cast<int>(index))
      fail("frame " + std::to_string(index) + " is not A's broadcast of that number");
  }
  void fail(const std::string& why) {
    if (wrong_.empty()) wrong_ = why;
  }

  const testing_peer::Key sender_;
  testing_peer::Bytes frames_;
  std::atomic<std::size_t> received_{0};
  std::string wrong_;  // the counting thread's until it ends
  Clock::time_point end_;
};

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

// The CPU of every server process the burst's packets pass through (the
// lone server, or both instances and nats-server: the other instance reads
// every record too), in seconds.
double serversCpu(bool lone) {
  if (lone) return usage(cluster().pid(kLone)).onCpuSeconds;
  return usage(cluster().pid(0)).onCpuSeconds + usage(cluster().pid(1)).onCpuSeconds +
         usage(cluster().nats.pid()).onCpuSeconds;
}

void burst(benchmark::State& state, int aInstance, int bInstance, unsigned char seed) {
  Pair pair(aInstance, bInstance, seed);
  if (!pair.ready(state)) return;
  Burst burst(*pair.sa, pair.a.signPublicKey);
  for (auto _ : state) {
    std::vector<double> rates, cpus;
    for (int i = 0; i < kBursts; ++i) {
      const double cpuBefore = serversCpu(aInstance == kLone);
      const auto outcome = burst.run(*pair.sa, *pair.sb, i);
      if (const auto* why = std::get_if<std::string>(&outcome)) {
        state.SkipWithError(why->c_str());
        return;
      }
      rates.push_back(std::get<double>(outcome));
      cpus.push_back((serversCpu(aInstance == kLone) - cpuBefore) * 1e6 / kBurst);
    }
    state.counters[kFigure] = median(rates);
    state.counters["cpu"] = median(cpus);
  }
}

// A and B as users run them: the client library on both ends.
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

// Messages per second of burst `index` from A to B, each of A's lines once,
// in order and intact (anyone else's are skipped), or the reason it failed.
std::variant<double, std::string> libraryBurst(LibraryPair& pair, int index) {
  const int first = index * kBurst;
  std::atomic<int> received{0};
  int wrong = 0;
  const auto start = Clock::now();
  Clock::time_point end;
  std::thread drain([&] {
    std::vector<unsigned char> expected(kPayloadSize, 'x');
    while (received < kBurst && Clock::now() - start < kPatience) {
      const RecivedMessage m = pair.cb->readBytes();
      if (m.payload.empty()) {
        std::this_thread::sleep_for(kNap);
        continue;
      }
      if (m.key != pair.a.signPublicKey) continue;
      const int n = first + received;
      std::memcpy(expected.data(), &n, sizeof n);
      wrong += m.payload != expected;
      received.fetch_add(1, std::memory_order_release);
    }
    end = Clock::now();
  });
  std::vector<unsigned char> payload(kPayloadSize, 'x');
  for (int sent = 0; sent < kBurst; ++sent) {
    while (sent - received.load(std::memory_order_acquire) >= static_cast<int>(kWindow) &&
           Clock::now() - start < kPatience)
      std::this_thread::sleep_for(kNap);
    const int n = first + sent;
    std::memcpy(payload.data(), &n, sizeof n);
    pair.ca->sendBytesBroadcast(payload);
  }
  drain.join();
  if (received != kBurst || wrong != 0)
    return std::to_string(received) + " of " + std::to_string(kBurst) + " arrived, " + std::to_string(wrong) +
           " wrong";
  return kBurst / std::chrono::duration<double>(end - start).count();
}

void clientsBurst(benchmark::State& state, int aInstance, int bInstance, unsigned char seed) {
  LibraryPair pair(aInstance, bInstance, seed);
  if (!pair.ca || !pair.cb) {
    state.SkipWithError("no cluster or no connection");
    return;
  }
  for (auto _ : state) {
    std::vector<double> rates;
    for (int i = 0; i < kBursts; ++i) {
      const auto outcome = libraryBurst(pair, i);
      if (const auto* why = std::get_if<std::string>(&outcome)) {
        state.SkipWithError(why->c_str());
        return;
      }
      rates.push_back(std::get<double>(outcome));
    }
    state.counters[kFigure] = median(rates);
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
  add({"cluster/client-to-client-lone",
       "cluster: " + count + " broadcasts sealed beforehand, A to B on a lone server, no bus", "msg/s",
       Better::higher, ""},
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
  addRow({"cluster/client-to-client-lone", "cluster: CPU per message of the burst, lone server", "us",
          Better::lower, "", "cpu"});
  addRow({"cluster/client-to-client-same",
          "cluster: the same on one instance (both instances and nats-server)", "us", Better::lower,
          "cluster/client-to-client-lone", "cpu"});
  addRow({"cluster/client-to-client-across", "cluster: the same across two instances", "us", Better::lower,
          "cluster/client-to-client-lone", "cpu"});
  add({"cluster/clients-lone", "cluster: " + count + " broadcasts between two clients of the client library, lone server",
       "msg/s", Better::higher, ""},
      [](benchmark::State& s) { clientsBurst(s, kLone, kLone, 111); })
      ->Iterations(1);
  add({"cluster/clients-same", "cluster: the same pair of clients on one instance", "msg/s", Better::higher,
       "cluster/clients-lone"},
      [](benchmark::State& s) { clientsBurst(s, 0, 0, 113); })
      ->Iterations(1);
  add({"cluster/clients-across", "cluster: the same pair of clients on two instances", "msg/s", Better::higher,
       "cluster/clients-lone"},
      [](benchmark::State& s) { clientsBurst(s, 0, 1, 115); })
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
