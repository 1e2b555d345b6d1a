#include "tests/support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "tests/support/scratch.hpp"

Child::Child(const std::vector<std::string>& args, const std::string& errFile) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) std::abort();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out[1], 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  out_ = out[0];
}

Child::~Child() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
}

std::string Child::firstLine() {
  std::string line;
  char c;
  pollfd p{out_, POLLIN, 0};
  while (::poll(&p, 1, 5000) > 0 && ::read(out_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string Child::rest(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  std::string text;
  char chunk[4096];
  pollfd p{out_, POLLIN, 0};
  for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

void Child::signal(int number) { ::kill(pid_, number); }

int Child::wait(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

Outcome runToEnd(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  const scratch::TempDir dir;
  const std::string errFile = dir / "err";
  Outcome outcome{-1, {}, {}};
  {
    const auto start = std::chrono::steady_clock::now();
    Child child(args, errFile);
    outcome.out = child.rest(timeout);
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    outcome.status = child.wait(std::max(timeout - spent, std::chrono::milliseconds(100)));
  }
  outcome.err = scratch::slurp(errFile);
  return outcome;
}
