// How long a revocation takes to reach the sessions: from the start of
// `sotto-server --revoke KEY` to the end of the last session of KEY, ten
// tries each, on one server with its SQLite registry (two sessions) and on a
// cluster of two instances sharing PostgreSQL (a session on each); median
// and maximum.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "bench/areas.hpp"
#include "bench/table.hpp"
#include "proto/bytes.hpp"
#include "server/registry.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/cluster.hpp"
#include "tests/support/raw_client.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kTries = 10;

struct Where {
  std::string registry;  // what the command is given: --data-dir or --postgres
  std::string value;
  std::vector<std::string> addresses;  // one session on each
  testing_peer::Key key{};
};

// Milliseconds from --revoke to the last session of a fresh identity ended,
// each try; empty on failure.
std::vector<double> revocations(const Where& where, const std::function<void(const fixed::Identity&)>& seed) {
  std::vector<double> took;
  for (int i = 0; i < kTries; ++i) {
    const fixed::Identity id = fixed::make(static_cast<unsigned char>(200 + i), 0);
    seed(id);
    std::vector<std::unique_ptr<Chatter>> sessions;
    for (const std::string& address : where.addresses) {
      const fixed::Identity fresh = raw_client::freshConnection(id);
      auto outcome = raw_client::connect(address, raw_client::hello(fresh, where.key, 0), where.key, fresh);
      if (!outcome.welcomed) return {};
      sessions.push_back(std::make_unique<Chatter>(std::move(outcome.session)));
    }
    // The servers look at the registry every 500 ms: tries that began in
    // step with that would all measure the same part of it, so each begins
    // a little later in it than the one before.
    std::this_thread::sleep_for(std::chrono::milliseconds(50 * i));
    const auto start = Clock::now();
    const Outcome ran = runToEnd({SOTTO_SERVER_BINARY, where.registry, where.value, "--revoke",
                              sotto::toHex(id.signPublicKey.data(), id.signPublicKey.size())});
    if (ran.status != 0) return {};
    for (const auto& session : sessions)
      if (!session->waitEnded(10s)) return {};
    took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return took;
}

void report(benchmark::State& state, std::vector<double> took) {
  if (took.empty()) {
    state.SkipWithError("a session was not welcomed or did not end");
    return;
  }
  std::sort(took.begin(), took.end());
  state.counters[kFigure] = (took[took.size() / 2 - 1] + took[took.size() / 2]) / 2;
  state.counters["max"] = took.back();
}

void oneServer(benchmark::State& state) {
  for (auto _ : state) {
    scratch::TempDir dir;
    Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.91.1", "--data-dir", dir / "data"}, dir / "log");
    Where where{"--data-dir", dir / "data", {"127.0.91.1", "127.0.91.1"}};
    const std::string first = server.firstLine();
    if (first.size() != 83 || !sotto::fromHex(first.substr(19), where.key.data(), where.key.size())) {
      state.SkipWithError("the server did not start");
      return;
    }
    std::string error;
    const auto registry = sotto::Registry::open(dir / "data/" + sotto::kRegistryFileName, error);
    report(state, revocations(where, [&](const fixed::Identity& id) { registry->enrol(id.signPublicKey, 1); }));
    server.signal(SIGTERM);
    server.wait(30s);
  }
}

void cluster(benchmark::State& state) {
  for (auto _ : state) {
    Cluster cluster(SOTTO_SERVER_BINARY, "127.0.91", 10, 2);
    if (!cluster.ok()) {
      state.SkipWithError("no cluster");
      return;
    }
    Where where{"--postgres", cluster.conninfo(), {cluster.address(0), cluster.address(1)}, cluster.key()};
    report(state, revocations(where, [&](const fixed::Identity& id) { cluster.seed(id); }));
  }
}

}  // namespace

void registerMembership() {
  const std::string tries = std::to_string(kTries);
  add({"membership/revoke-one-server",
       "membership: --revoke to the last of 2 sessions closed, one server (SQLite), median of " + tries, "ms",
       Better::lower, ""},
      oneServer)
      ->Iterations(1);
  addRow({"membership/revoke-one-server", "membership: the same, maximum", "ms", Better::lower, "", "max"});
  add({"membership/revoke-cluster",
       "membership: --revoke to the last session closed on 2 instances (PostgreSQL), median of " + tries, "ms",
       Better::lower, ""},
      cluster)
      ->Iterations(1);
  addRow({"membership/revoke-cluster", "membership: the same, maximum", "ms", Better::lower, "", "max"});
}

}  // namespace bench
