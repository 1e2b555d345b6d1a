// End to end on loopback, through a sotto-server running in this process
// (the same server_core the binary runs) with real ClientImpl clients:
//
// - push: one client, alone on the server, queues a burst of 64-byte
//   broadcasts as fast as it can; the figure is packets per second that the
//   server opened (its own counter), from the first send to the last packet.
//   Beside it, the caller's time per sendBytesBroadcast during the burst.
// - one client to another: the same burst from A to B, who takes them with
//   readBytes; A keeps at most kWindow messages on their way, below the
//   server's bound on a client's queue, since a sender that outruns its
//   reader gets the reader cut off by design. The figure is messages per
//   second that B received.
// - round trip: A broadcasts, B echoes what readBytes hands it at once, A
//   polls readBytes until the echo is back; p50 and p99 of many round trips.
//   Both pollers spin (yielding), as a latency-minded reader would.
//
// Each has as its baseline the same traffic, frame sizes and topology over
// plain TCP on loopback (plain_relay.hpp): no encryption, no event loop, a
// relay thread moving frame by frame with blocking reads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/areas.hpp"
#include "bench/plain_relay.hpp"
#include "bench/round_trips.hpp"
#include "bench/scraper.hpp"
#include "bench/table.hpp"
#include "proto/frame.hpp"
#include "proto/packet.hpp"
#include "server/metrics_endpoint.hpp"
#include "server/operator_pages.hpp"
#include "tests/support/lifted_share.hpp"
#include "tests/support/server_harness.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kPayloadSize = 64;
// The frame of a 64-byte payload: length word, then packet header, payload, tag.
constexpr std::size_t kFrameBody = Packet::headerSize + kPayloadSize + sotto::kFrameTagSize;
constexpr int kBurst = 200'000;
// Below the server's default bound of 1,024 frames queued for one client.
constexpr int kWindow = 1'000;
constexpr int kWarmUp = 2'000;
constexpr int kRoundTrips = 20'000;
// A step that takes longer than this has failed.
constexpr auto kPatience = 30s;
// How long a waiting side of a burst sleeps between looks, so that it leaves
// the two cores to the threads that move the messages.
constexpr auto kNap = 20us;

double perSecond(int count, Clock::duration took) {
  return count / std::chrono::duration<double>(took).count();
}

// Polls until done, spinning (yielding) or napping between looks.
bool waitUntil(const std::function<bool()>& done, bool spin = false) {
  const auto until = Clock::now() + kPatience;
  while (!done()) {
    if (Clock::now() > until) return false;
    if (spin) std::this_thread::yield();
    else std::this_thread::sleep_for(kNap);
  }
  return true;
}

// Sends a burst of kBurst through send(), never more than kWindow ahead of
// what the receiving thread has counted, and reports messages per second
// received. receive() takes one message and says whether it was the
// expected one; it returns false when nothing is waiting yet (or, for a
// blocking receiver, when the stream failed).
void windowedBurst(benchmark::State& state, const std::function<void()>& send,
                   const std::function<bool(bool& wrong)>& receive) {
  std::atomic<int> received{0};
  int wrong = 0;
  Clock::time_point start, end;
  std::thread drain([&] {
    waitUntil([&] {
      for (bool bad = false; receive(bad); bad = false) {
        wrong += bad;
        if (received.fetch_add(1, std::memory_order_release) + 1 == kBurst) return true;
      }
      return false;
    });
    end = Clock::now();
  });
  start = Clock::now();
  for (int sent = 0; sent < kBurst; ++sent) {
    if (sent - received.load(std::memory_order_acquire) >= kWindow &&
        !waitUntil([&] { return sent - received.load(std::memory_order_acquire) < kWindow; }))
      break;
    send();
  }
  drain.join();
  if (received != kBurst || wrong != 0) {
    state.SkipWithError((std::to_string(received) + " of " + std::to_string(kBurst) + " arrived, " +
                         std::to_string(wrong) + " wrong")
                            .c_str());
    return;
  }
  state.counters[kFigure] = perSecond(kBurst, end - start);
}

// A server with client A and, when asked for, client B connected to it.
struct Pair {
  fixed::Identity a = fixed::make(1, 0), b = fixed::make(2, 0);
  harness::RunningServer server;
  // With SOTTO_BENCH_METRICS=1, the endpoint the program's --metrics starts, scraped.
  std::unique_ptr<sotto::MetricsEndpoint> endpoint;
  std::optional<Scraper> scraper;
  const bool withB;
  std::unique_ptr<ClientImpl> clientA, clientB;
  Pair(const std::string& address, bool withB_) : server(address, lifted::share()), withB(withB_) {
    std::string error;
    if (metricsOn() && (endpoint = sotto::MetricsEndpoint::listen(address + ":" + std::to_string(kMetricsPort), error))) {
      endpoint->serve(sotto::operatorPages(server.server()));
      scraper.emplace(address);
    }
    clientA = join(a);
    if (withB) clientB = join(b);
  }
  // A client of id, enrolled first, connected, its debug log thrown away and
  // its handshake line kept out of the table; null when it did not connect.
  std::unique_ptr<ClientImpl> join(const fixed::Identity& id) {
    server.seed(id);
    auto client = harness::libraryClient(id, "/dev/null", std::cerr);
    client->setServer(server.address(), server.key().data(), false);
    return client->connect() == Client::success ? std::move(client) : nullptr;
  }
  bool ready(benchmark::State& state) const {
    if (clientA && (clientB || !withB)) return true;
    state.SkipWithError("no server or no connection");
    return false;
  }
};

bool ready(const plain::Relay& relay, benchmark::State& state) {
  if (!relay.ok()) state.SkipWithError("no loopback connection");
  return relay.ok();
}

void pushOurs(benchmark::State& state) {
  Pair pair("127.0.9.1", false);
  if (!pair.ready(state)) return;
  const std::vector<unsigned char> payload(kPayloadSize, 'x');
  Clock::duration took{}, calls{};
  for (auto _ : state) {
    const std::uint64_t before = pair.server.packetsReceived();
    const auto start = Clock::now();
    for (int i = 0; i < kBurst; ++i) pair.clientA->sendBytesBroadcast(payload);
    calls = Clock::now() - start;
    if (!waitUntil([&] { return pair.server.packetsReceived() - before >= kBurst; })) {
      state.SkipWithError(("the server opened only " + std::to_string(pair.server.packetsReceived() - before))
                              .c_str());
      return;
    }
    took = Clock::now() - start;
  }
  state.counters[kFigure] = perSecond(kBurst, took);
  // What queueing and waking the send loop costs the caller.
  state.counters["call"] = std::chrono::duration<double, std::nano>(calls).count() / kBurst;
}

void pushPlain(benchmark::State& state) {
  plain::Relay relay("127.0.9.2", false);
  if (!ready(relay, state)) return;
  const std::vector<unsigned char> body(kFrameBody, 'x');
  Clock::duration took{};
  for (auto _ : state) {
    const std::uint64_t before = relay.framesRelayed();
    const auto start = Clock::now();
    for (int i = 0; i < kBurst; ++i) plain::writeFrame(relay.a(), body);
    waitUntil([&] { return relay.framesRelayed() - before >= kBurst; });
    took = Clock::now() - start;
  }
  state.counters[kFigure] = perSecond(kBurst, took);
}

void clientToClientOurs(benchmark::State& state) {
  Pair pair("127.0.9.6", true);
  if (!pair.ready(state)) return;
  const std::vector<unsigned char> payload(kPayloadSize, 'x');
  for (auto _ : state)
    windowedBurst(
        state, [&] { pair.clientA->sendBytesBroadcast(payload); },
        [&](bool& wrong) {
          const RecivedMessage m = pair.clientB->readBytes();
          wrong = m.payload != payload || m.key != pair.a.signPublicKey;
          return !m.payload.empty();
        });
}

void clientToClientPlain(benchmark::State& state) {
  plain::Relay relay("127.0.9.7", true);
  if (!ready(relay, state)) return;
  const std::vector<unsigned char> body(kFrameBody, 'x');
  std::vector<unsigned char> got;
  for (auto _ : state)
    windowedBurst(
        state, [&] { plain::writeFrame(relay.a(), body); },
        [&](bool& wrong) {
          // Blocks until the next frame; false only when the stream fails.
          const bool ok = plain::readFrame(relay.b(), got);
          wrong = got != body;
          return ok;
        });
}

void roundTripOurs(benchmark::State& state) {
  Pair pair("127.0.9.3", true);
  if (!pair.ready(state)) return;
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      const RecivedMessage m = pair.clientB->readBytes();
      if (m.payload.empty()) std::this_thread::yield();
      else pair.clientB->sendBytesBroadcast(m.payload);
    }
  });
  std::vector<unsigned char> payload(kPayloadSize, 'p');
  std::vector<double> samples;
  const bool ok = timeRoundTrips(state, kWarmUp, kRoundTrips, samples, [&](int i) {
    std::memcpy(payload.data(), &i, sizeof i);
    RecivedMessage back;
    pair.clientA->sendBytesBroadcast(payload);
    return waitUntil([&] { return !(back = pair.clientA->readBytes()).payload.empty(); }, true) &&
           back.payload == payload;
  });
  stop = true;
  echo.join();
  if (!ok) {
    state.SkipWithError("an echo did not come back");
    return;
  }
  setPercentiles(state, samples);
}

void roundTripPlain(benchmark::State& state) {
  plain::Relay relay("127.0.9.4", true);
  if (!ready(relay, state)) return;
  std::thread echo([&] {
    std::vector<unsigned char> body;
    while (plain::readFrame(relay.b(), body) && plain::writeFrame(relay.b(), body)) {
    }
  });
  std::vector<unsigned char> body(kFrameBody, 'p'), back;
  std::vector<double> samples;
  const bool ok = timeRoundTrips(state, kWarmUp, kRoundTrips, samples, [&](int i) {
    std::memcpy(body.data(), &i, sizeof i);
    return plain::writeFrame(relay.a(), body) && plain::readFrame(relay.a(), back) && back == body;
  });
  relay.hangUp();
  echo.join();
  if (!ok) {
    state.SkipWithError("an echo did not come back");
    return;
  }
  setPercentiles(state, samples);
}

}  // namespace

void registerEndToEnd() {
  const std::string burst = std::to_string(kBurst / 1000) + "k";
  add({"e2e/push-plain", "plain TCP: one sender, " + burst + " frames of 121 bytes, taken in by the relay",
       "msg/s", Better::higher, ""},
      pushPlain)
      ->Iterations(1);
  add({"e2e/push", "one client pushes " + burst + " 64-byte broadcasts: opened by the server", "msg/s",
       Better::higher, "e2e/push-plain"},
      pushOurs)
      ->Iterations(1);
  addRow({"e2e/push", "the same burst: time per sendBytesBroadcast call (queue and wake)", "ns", Better::lower,
          "", "call"});
  add({"e2e/client-to-client-plain", "plain TCP relay: the same frames to a second socket", "msg/s",
       Better::higher, ""},
      clientToClientPlain)
      ->Iterations(1);
  add({"e2e/client-to-client", "one client to another through the server: " + burst + " received", "msg/s",
       Better::higher, "e2e/client-to-client-plain"},
      clientToClientOurs)
      ->Iterations(1);
  add({"e2e/round-trip-plain", "plain TCP relay: round trip A, relay, B, relay, A, p50", "us", Better::lower, "",
       "p50"},
      roundTripPlain)
      ->Iterations(1);
  add({"e2e/round-trip", "round trip A, server, B (echoes), server, A, p50", "us", Better::lower,
       "e2e/round-trip-plain", "p50"},
      roundTripOurs)
      ->Iterations(1);
  addRow({"e2e/round-trip-plain", "plain TCP relay: the same round trip, p99", "us", Better::lower, "", "p99"});
  addRow({"e2e/round-trip", "the same round trip, p99", "us", Better::lower, "e2e/round-trip-plain", "p99"});
}

}  // namespace bench
