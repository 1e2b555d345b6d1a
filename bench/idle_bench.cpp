// The CPU time of an idle sotto: the real binary in a real terminal (tmux,
// with a private /tmp so that its debug log stays out of the real one),
// connected to a sotto-server in this process, left alone for 10 s. The
// figure is utime + stime of all its threads over that time, in % of one
// core (counted in clock ticks, so 0.1% steps); beside it the scheduler's
// nanosecond count of time on a CPU, and the context switches of all its
// threads, voluntary or not, per second.
//
// The baseline is sotto-idle-floor (idle_floor.cpp) in the same terminal and
// the same private /tmp: the same wake-ups as an idle sotto with nothing done
// on them, which is what the design's polling costs by itself.
#include <chrono>
#include <string>
#include <thread>

#include "bench/areas.hpp"
#include "bench/process.hpp"
#include "bench/table.hpp"
#include "tests/support/server_harness.hpp"
#include "tests/support/sotto_run.hpp"
#include "tests/support/tmux_session.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kIdleFor = 10s;

void measureIdle(benchmark::State& state, const std::string& name, const tmux_harness::Session& term) {
  const int pid = findUnder(term.panePid(), name);
  if (pid < 0) {
    state.SkipWithError((name + " did not start").c_str());
    return;
  }
  std::this_thread::sleep_for(1s);  // let start-up settle
  Usage before, after;
  Clock::duration took{};
  for (auto _ : state) {
    before = usage(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(kIdleFor);
    after = usage(pid);
    took = Clock::now() - start;
  }
  const double seconds = std::chrono::duration<double>(took).count();
  state.counters[kFigure] = 100 * (after.cpuSeconds - before.cpuSeconds) / seconds;
  state.counters["scheduler"] = 100 * (after.onCpuSeconds - before.onCpuSeconds) / seconds;
  state.counters["wakeups"] = static_cast<double>(after.switches - before.switches) / seconds;
}

void idleSotto(benchmark::State& state) {
  harness::RunningServer server("127.0.9.5");
  const fixed::Identity me = fixed::make(5, 0);
  sotto_run::SottoRun run;
  server.seed(me);
  if (!run.privateTmpWorks()) {
    state.SkipWithError("no private /tmp for the binary");
    return;
  }
  run.writeConfig(server.address(), server.key().data(), me.signPublicKey.data(), me.signSecretKey.data());
  tmux_harness::Session term(100, 30, run.command(SOTTO_BINARY));
  if (!term.waitForText("Connected. Press Esc to exit.")) {
    state.SkipWithError(("sotto did not connect: " + term.dump()).c_str());
    return;
  }
  measureIdle(state, "sotto", term);
  term.keys({"Escape"});
  run.waitStatus();
}

void idleFloor(benchmark::State& state) {
  sotto_run::SottoRun run;
  if (!run.privateTmpWorks()) {
    state.SkipWithError("no private /tmp");
    return;
  }
  tmux_harness::Session term(100, 30, run.command(SOTTO_IDLE_FLOOR));
  // The command name is cut to 15 characters.
  measureIdle(state, std::string("sotto-idle-floor").substr(0, 15), term);
}

}  // namespace

void registerIdle() {
  constexpr const char* kFloor = "idle/same-wake-ups";
  add({kFloor, "same wake-ups doing nothing, same terminal setup, 10 s: CPU", "% of a core", Better::lower, ""},
      idleFloor)
      ->Iterations(1);
  add({"idle/sotto", "idle sotto, connected, in tmux, 10 s: CPU", "% of a core", Better::lower, kFloor}, idleSotto)
      ->Iterations(1);
  addRow({kFloor, "same wake-ups doing nothing: CPU by the scheduler's ns count", "% of a core", Better::lower, "",
          "scheduler"});
  addRow({"idle/sotto", "idle sotto: CPU by the scheduler's ns count", "% of a core", Better::lower, kFloor,
          "scheduler"});
  addRow({kFloor, "same wake-ups doing nothing: context switches", "/s", Better::lower, "", "wakeups"});
  addRow({"idle/sotto", "idle sotto: context switches", "/s", Better::lower, kFloor, "wakeups"});
}

}  // namespace bench
