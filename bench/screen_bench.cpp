// The chat window under load: the real sotto binary in tmux (with a private
// /tmp, as the tests run it), 100 x 30, against the test peer in this
// process on 127.0.55.x. SOTTO_BENCH_CLIENT names another sotto binary to
// measure instead, such as an older build, for figures before and after a
// change from the same run.
//
// - paste: N characters pasted into the pane at once (tmux paste-buffer);
//   from the paste to the input row showing their end.
// - a 16 MiB line: the peer sends one line of 16 MiB less 64 bytes and waits
//   until its end is on screen; then three one-word lines, each sent once the
//   one before is on screen, each a repaint with the huge line in the
//   history. The figure is the CPU time of all of sotto's threads (the
//   scheduler's count) per one-word line; the baseline is the same three
//   lines with only short lines in the history. Beside it: the time from
//   sending a one-word line to seeing it (median), and the anonymous memory
//   sotto holds after the three beyond what it held before the huge line,
//   less the history's own copy of it (4 bytes a character).
// - catch-up: N lines sent in one write, as a server catching a member up;
//   from the end of that write to the last line on screen.
//
// The screen is read with capture-pane every 10 ms, so times are good to
// about 10 ms.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/areas.hpp"
#include "bench/process.hpp"
#include "bench/table.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/sotto_run.hpp"
#include "tests/support/test_peer.hpp"
#include "tests/support/tmux_session.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_peer::Bytes;
using tmux_harness::Screen;

constexpr int kColumns = 100;
constexpr int kRows = 30;
constexpr std::size_t kHugeBytes = (16u << 20) - 64;
constexpr int kOneWordLines = 3;

std::string client() {
  const char* chosen = std::getenv("SOTTO_BENCH_CLIENT");
  // Absolute, as it runs in a scratch directory.
  return std::filesystem::absolute(chosen && *chosen ? chosen : SOTTO_BINARY).string();
}

std::string letters(std::size_t count) {
  std::string text(count, ' ');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// sotto connected to the test peer, its chat window up.
class Window {
 public:
  explicit Window(const std::string& address) : peer_(address) {
    if (!run_.privateTmpWorks()) {
      error = "no private /tmp for the binary";
      return;
    }
    const fixed::Identity me = fixed::twoByteNonce();
    run_.writeConfig(address, peer_.publicKey().data(), me.signPublicKey.data(), me.signSecretKey.data());
    term = std::make_unique<tmux_harness::Session>(kColumns, kRows, run_.command(client()));
    session = peer_.accept();
    if (!session || !session->keyed()) {
      error = "the binary did not connect";
      return;
    }
    if (!waitFor([](const Screen& s) { return tmux_harness::contains(s, "Connected. Press Esc to exit."); }, 10s)) {
      error = "no chat window: " + term->dump();
      return;
    }
    pid = findUnder(term->panePid(), "sotto");
    if (pid < 0) error = "sotto not found under the pane";
  }
  ~Window() {
    if (!term) return;
    term->keys({"Escape"});
    run_.waitStatus(2s);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  bool waitFor(const std::function<bool(const Screen&)>& holds, std::chrono::milliseconds timeout) const {
    const auto until = Clock::now() + timeout;
    for (;;) {
      if (holds(term->screen())) return true;
      if (Clock::now() >= until) return false;
      std::this_thread::sleep_for(10ms);
    }
  }
  bool waitForRow(int row, const std::string& text, std::chrono::milliseconds timeout) const {
    return waitFor([&](const Screen& s) { return static_cast<int>(s.size()) > row && s[row] == text; }, timeout);
  }

  std::string error;
  std::unique_ptr<tmux_harness::Session> term;
  std::unique_ptr<testing_peer::Session> session;
  int pid = -1;

 private:
  testing_peer::TestPeer peer_;
  sotto_run::SottoRun run_;
};

testing_peer::Key sender() {
  testing_peer::Key key;
  key.fill(0x55);
  return key;
}
const std::string senderHex(64, '5');

std::string senderLine(const std::string& text) { return senderHex + ": " + text; }

void paste(benchmark::State& state, std::size_t length, const std::string& address) {
  Window window(address);
  if (!window.error.empty()) return state.SkipWithError(window.error.c_str());
  // The end is found nowhere else in the text: a row that shows it shows the
  // whole paste taken in.
  const std::string end = " the end of the paste";
  const std::string text = letters(length - end.size()) + end;
  const std::string shown = "> " + text.substr(length - (kColumns - 3));
  bool ok = false;
  Clock::duration took{};
  Usage before, after;
  for (auto _ : state) {
    before = usage(window.pid);
    const auto start = Clock::now();
    window.term->paste(text);
    ok = window.waitForRow(kRows - 1, shown, 300s);
    took = Clock::now() - start;
    after = usage(window.pid);
  }
  if (!ok) return state.SkipWithError("the paste was not on the input row within 300 s");
  state.counters[kFigure] = seconds(took);
  state.counters["cpu"] = after.onCpuSeconds - before.onCpuSeconds;
}

// With a huge line in the history, or only short ones.
void oneWordLines(benchmark::State& state, bool huge, const std::string& address) {
  Window window(address);
  if (!window.error.empty()) return state.SkipWithError(window.error.c_str());
  const long anonBefore = statusKiB(window.pid, "RssAnon");
  double shownAfter = 0;
  if (huge) {
    const std::string end = "the end of the huge line";
    std::string text = letters(kHugeBytes - end.size()) + end;
    const auto start = Clock::now();
    const double cpuBefore = usage(window.pid).onCpuSeconds;
    window.session->sendPacket(2, sender(), Bytes(text.begin(), text.end()));
    // Its last rows, joined again: where the rows break is the layout's own
    // business.
    const auto endShown = [&](const Screen& s) {
      std::string joined;
      for (int row = kRows - 4; row <= kRows - 2 && row < static_cast<int>(s.size()); ++row)
        joined += s[row].substr(std::min<std::size_t>(s[row].size(), 2));
      return joined.ends_with(end);
    };
    if (!window.waitFor(endShown, 900s)) {
      const std::string cpu = std::to_string(usage(window.pid).onCpuSeconds - cpuBefore);
      return state.SkipWithError(("the huge line was not on screen within 900 s; sotto used " + cpu + " s of CPU").c_str());
    }
    shownAfter = seconds(Clock::now() - start);
  } else {
    for (int i = 0; i < kRows; ++i) {
      const std::string text = "short line " + std::to_string(i);
      window.session->sendPacket(2, sender(), Bytes(text.begin(), text.end()));
    }
    if (!window.waitForRow(kRows - 2, senderLine("short line " + std::to_string(kRows - 1)), 10s))
      return state.SkipWithError("the short lines were not on screen");
  }
  std::this_thread::sleep_for(1s);

  std::vector<double> latencies;
  Usage before, after;
  for (auto _ : state) {
    before = usage(window.pid);
    for (int i = 0; i < kOneWordLines; ++i) {
      const std::string word = "word" + std::to_string(i);
      const auto start = Clock::now();
      window.session->sendPacket(2, sender(), Bytes(word.begin(), word.end()));
      if (!window.waitForRow(kRows - 2, senderLine(word), 600s))
        return state.SkipWithError("a one-word line was not on screen within 600 s");
      latencies.push_back(seconds(Clock::now() - start));
    }
    after = usage(window.pid);
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters[kFigure] = 1000 * (after.onCpuSeconds - before.onCpuSeconds) / kOneWordLines;
  state.counters["latency"] = 1000 * latencies[latencies.size() / 2];
  if (huge) {
    const double historyCopyMiB = 4.0 * static_cast<double>(kHugeBytes + senderHex.size() + 2) / (1 << 20);
    state.counters["kept"] = static_cast<double>(statusKiB(window.pid, "RssAnon") - anonBefore) / 1024 - historyCopyMiB;
    state.counters["shown"] = shownAfter;
  }
}

void catchUp(benchmark::State& state, int count, const std::string& address) {
  Window window(address);
  if (!window.error.empty()) return state.SkipWithError(window.error.c_str());
  Bytes frames;
  for (int i = 1; i <= count; ++i) {
    const std::string text = "caught up " + std::to_string(i);
    const Bytes frame =
        window.session->sealFrame(testing_peer::Session::packet(2, sender(), Bytes(text.begin(), text.end())));
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  const std::string last = senderLine("caught up " + std::to_string(count));
  bool ok = false;
  Clock::duration took{};
  for (auto _ : state) {
    window.session->sendRaw(frames);
    const auto start = Clock::now();
    ok = window.waitForRow(kRows - 2, last, 300s);
    took = Clock::now() - start;
  }
  if (!ok) return state.SkipWithError("the last line was not on screen within 300 s");
  state.counters[kFigure] = seconds(took);
}

}  // namespace

void registerScreen() {
  add({"screen/paste/10000", "paste of 10,000 characters: on the input row after", "s", Better::lower, ""},
      [](benchmark::State& state) { paste(state, 10000, "127.0.55.1"); })
      ->Iterations(1);
  add({"screen/paste/100000", "paste of 100,000 characters: on the input row after", "s", Better::lower, ""},
      [](benchmark::State& state) { paste(state, 100000, "127.0.55.2"); })
      ->Iterations(1);
  addRow({"screen/paste/10000", "paste of 10,000 characters: sotto's CPU time", "s", Better::lower, "", "cpu"});
  addRow({"screen/paste/100000", "paste of 100,000 characters: sotto's CPU time", "s", Better::lower, "", "cpu"});
  constexpr const char* kShort = "screen/short-lines";
  constexpr const char* kHuge = "screen/huge-line";
  add({kShort, "one-word line, short lines in the history: CPU per repaint", "ms", Better::lower, ""},
      [](benchmark::State& state) { oneWordLines(state, false, "127.0.55.3"); })
      ->Iterations(1);
  add({kHuge, "one-word line, a 16 MiB line in the history: CPU per repaint", "ms", Better::lower, kShort},
      [](benchmark::State& state) { oneWordLines(state, true, "127.0.55.4"); })
      ->Iterations(1);
  addRow({kShort, "one-word line, short lines in the history: on screen after, median", "ms", Better::lower, "",
          "latency"});
  addRow({kHuge, "one-word line, a 16 MiB line in the history: on screen after, median", "ms", Better::lower, kShort,
          "latency"});
  addRow({kHuge, "the 16 MiB line itself: on screen after", "s", Better::lower, "", "shown"});
  addRow({kHuge, "memory kept after the 16 MiB line, beyond the history's copy of it", "MiB", Better::lower, "",
          "kept"});
  add({"screen/catch-up/1000", "catch-up of 1,000 lines: last frame sent to last line on screen", "s", Better::lower,
       ""},
      [](benchmark::State& state) { catchUp(state, 1000, "127.0.55.5"); })
      ->Iterations(1);
  add({"screen/catch-up/10000", "catch-up of 10,000 lines: last frame sent to last line on screen", "s",
       Better::lower, ""},
      [](benchmark::State& state) { catchUp(state, 10000, "127.0.55.6"); })
      ->Iterations(1);
}

}  // namespace bench
