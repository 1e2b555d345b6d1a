#include "tests/support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

Ran runToEnd(const std::vector<std::string>& args) {
  scratch::TempDir dir;
  Child child(args, dir / "err");
  std::string out, line;
  while (!(line = child.firstLine()).empty()) out += line + "\n";
  const int status = child.wait(std::chrono::seconds(30));
  return {status, out, scratch::slurp(dir / "err")};
}
