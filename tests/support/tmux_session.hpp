// A real terminal for tests: a detached tmux server on its own socket, one
// pane of a given size running a shell command, driven by send-keys and read
// back with capture-pane. Every wait is bounded. The server is killed on
// destruction, which hangs up on the pane's processes.
//
//   tmux_harness::Session term(100, 30, "exec ./program");
//   ASSERT_TRUE(term.waitForText("> "));
//   term.text("hello"); term.keys({"Enter"}); term.bytes({0x7f});
//   std::vector<std::string> rows = term.screen();
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tmux_harness {

using namespace std::chrono_literals;
using Screen = std::vector<std::string>;

struct Output {
  int status = -1;  // exit status, or -1 if it did not exit normally
  std::string out;  // standard output
};

// Runs argv (searched in PATH) with stdin from /dev/null and returns its
// status and standard output. stderr is inherited.
Output run(const std::vector<std::string>& argv);

// Single-quotes text for a POSIX shell.
std::string shellQuote(const std::string& text);

class Session {
 public:
  // The pane's TERM is "screen" unless the command sets its own.
  Session(int width, int height, const std::string& shellCommand);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Key names as tmux knows them: "Enter", "Escape", "Down", "F1", "C-d"...
  void keys(std::initializer_list<std::string> names) const;
  // Text typed as is (UTF-8 arrives as its bytes).
  void text(const std::string& literal) const;
  // Raw bytes, for keys that must arrive as one particular code.
  void bytes(std::initializer_list<unsigned char> raw) const;
  // Text pasted as tmux pastes a buffer: written to the pane as is, in one
  // go, and of any length (send-keys takes at most a few KiB).
  void paste(const std::string& literal) const;
  // Two pieces of raw bytes about `gap` apart, as a slow link splits them.
  // Both go through one control-mode client, so the gap does not depend on
  // how soon a tmux command starts. Returns the time from the first piece
  // being written to the pane to the second.
  std::chrono::milliseconds bytesApart(std::initializer_list<unsigned char> first,
                                       std::initializer_list<unsigned char> second,
                                       std::chrono::milliseconds gap) const;
  void resize(int width, int height) const;

  // The visible rows, trailing blanks trimmed. With attributes, each row
  // carries the escape sequences of its colours.
  Screen screen(bool withAttributes = false) const;
  // Column and row of the pane's cursor.
  std::pair<int, int> cursor() const;
  // Process id of the pane's shell command, or -1.
  int panePid() const;
  // Like screen(), with lines the terminal wrapped joined again.
  Screen joinedScreen() const;

  // Polls every 20 ms until the predicate holds on the screen.
  bool waitFor(const std::function<bool(const Screen&)>& holds, std::chrono::milliseconds timeout = 10s) const;
  bool waitForText(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
  // The screen as one block of text, rows numbered, for failure messages.
  std::string dump() const;

 private:
  Output tmux(std::vector<std::string> args) const;
  std::string socket_;
};

bool contains(const Screen& screen, const std::string& text);

}  // namespace tmux_harness
