#include "tests/support/tmux_session.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tmux_harness {

namespace {

// Starts argv[0], found on the PATH, with `actions`, which it destroys; -1
// when it cannot.
pid_t spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t& actions) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// Its exit status, or -1 when a signal ended it.
int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Output run(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  const pid_t pid = spawn(argv, actions);
  ::close(pipeFds[1]);
  Output result;
  if (pid < 0) {
    ::close(pipeFds[0]);
    throw std::runtime_error("cannot run " + argv[0]);
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  result.status = reap(pid);
  return result;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

bool contains(const Screen& screen, const std::string& text) {
  for (const auto& row : screen)
    if (row.find(text) != std::string::npos) return true;
  return false;
}

namespace {

Screen splitRows(const std::string& text) {
  Screen rows;
  std::string row;
  for (const char c : text) {
    if (c == '\n') {
      rows.push_back(row);
      row.clear();
    } else {
      row += c;
    }
  }
  if (!row.empty()) rows.push_back(row);
  return rows;
}

}  // namespace

Session::Session(int width, int height, const std::string& shellCommand) {
  static std::atomic<int> counter{0};
  socket_ = "sotto-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  // No status bar, so the pane is the whole window; "screen" is the terminal
  // type most full-screen programs meet inside tmux and screen.
  const Output started = tmux({"start-server", ";", "set-option", "-g", "status", "off", ";", "set-option", "-g",
                               "default-terminal", "screen", ";", "new-session", "-d", "-x", std::to_string(width),
                               "-y", std::to_string(height), shellCommand});
  if (started.status != 0) throw std::runtime_error("tmux did not start a session");
}

Session::~Session() { tmux({"kill-server"}); }

Output Session::tmux(std::vector<std::string> args) const {
  // -u: text in and out of the pane is UTF-8 whatever our own locale says.
  args.insert(args.begin(), {"tmux", "-u", "-f", "/dev/null", "-L", socket_});
  return run(args);
}

void Session::keys(std::initializer_list<std::string> names) const {
  std::vector<std::string> args{"send-keys"};
  args.insert(args.end(), names);
  tmux(args);
}

void Session::text(const std::string& literal) const { tmux({"send-keys", "-l", literal}); }

namespace {

std::vector<std::string> hexArguments(std::initializer_list<unsigned char> raw) {
  std::vector<std::string> args{"send-keys", "-H"};
  for (const unsigned char b : raw) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    args.push_back(hex);
  }
  return args;
}

}  // namespace

void Session::bytes(std::initializer_list<unsigned char> raw) const { tmux(hexArguments(raw)); }

std::chrono::milliseconds Session::bytesApart(std::initializer_list<unsigned char> first,
                                              std::initializer_list<unsigned char> second,
                                              std::chrono::milliseconds gap) const {
  int toClient[2], fromClient[2];
  if (::pipe2(toClient, O_CLOEXEC) != 0 || ::pipe2(fromClient, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toClient[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromClient[1], 1);
  const pid_t pid = spawn({"tmux", "-u", "-f", "/dev/null", "-L", socket_, "-C", "attach"}, actions);
  ::close(toClient[0]);
  ::close(fromClient[1]);
  FILE* replies = ::fdopen(fromClient[0], "r");
  if (pid < 0 || !replies) throw std::runtime_error("cannot run tmux -C");
  // The attaching, and then each command, is answered by a %end (or %error)
  // line once it is done.
  const auto done = [&] {
    char reply[512];
    while (std::fgets(reply, sizeof reply, replies))
      if (std::strncmp(reply, "%end", 4) == 0 || std::strncmp(reply, "%error", 6) == 0) return;
  };
  const auto command = [&](std::initializer_list<unsigned char> raw) {
    std::string line;
    for (const auto& word : hexArguments(raw)) line += word + " ";
    line.back() = '\n';
    if (::write(toClient[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      throw std::runtime_error("tmux -C went away");
    done();
  };
  done();
  command(first);
  const auto firstDone = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(gap);
  command(second);
  const auto apart = std::chrono::steady_clock::now() - firstDone;
  ::close(toClient[1]);
  char rest[512];
  while (std::fgets(rest, sizeof rest, replies)) {
  }
  std::fclose(replies);
  reap(pid);
  return std::chrono::duration_cast<std::chrono::milliseconds>(apart);
}

void Session::paste(const std::string& literal) const {
  const auto file = std::filesystem::temp_directory_path() / (socket_ + "-paste");
  std::ofstream(file, std::ios::binary) << literal;
  // -r keeps line feeds as they are; -d drops the buffer afterwards.
  tmux({"load-buffer", file.string(), ";", "paste-buffer", "-d", "-r"});
  std::filesystem::remove(file);
}

void Session::resize(int width, int height) const {
  tmux({"resize-window", "-x", std::to_string(width), "-y", std::to_string(height)});
}

Screen Session::screen(bool withAttributes) const {
  std::vector<std::string> args{"capture-pane", "-p"};
  if (withAttributes) args.push_back("-e");
  return splitRows(tmux(args).out);
}

std::pair<int, int> Session::cursor() const {
  const std::string out = tmux({"display-message", "-p", "#{cursor_x} #{cursor_y}"}).out;
  int column = -1, row = -1;
  std::sscanf(out.c_str(), "%d %d", &column, &row);
  return {column, row};
}

int Session::panePid() const {
  int pid = -1;
  std::sscanf(tmux({"display-message", "-p", "#{pane_pid}"}).out.c_str(), "%d", &pid);
  return pid;
}

Screen Session::joinedScreen() const { return splitRows(tmux({"capture-pane", "-p", "-J"}).out); }

bool Session::waitFor(const std::function<bool(const Screen&)>& holds, std::chrono::milliseconds timeout) const {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (holds(screen())) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(20ms);
  }
}

bool Session::waitForText(const std::string& text, std::chrono::milliseconds timeout) const {
  return waitFor([&](const Screen& s) { return contains(s, text); }, timeout);
}

std::string Session::dump() const {
  std::string out;
  const Screen rows = screen();
  for (std::size_t i = 0; i < rows.size(); ++i) out += std::to_string(i) + "|" + rows[i] + "\n";
  return out;
}

}  // namespace tmux_harness
