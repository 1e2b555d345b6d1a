// A child process with its standard output on a pipe and its standard error
// in a file; killed on destruction if it is still running.
//
//   Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.5.41"}, dir / "err");
//   std::string line = server.firstLine();
//   server.signal(SIGTERM);
//   int status = server.wait();
//
//   Outcome o = runToEnd({SOTTO_SERVER_BINARY, "--help"});   // o.status, o.out, o.err
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& errFile);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Standard output up to the end of its first line, or "" after 5 s.
  std::string firstLine();
  // Standard output to its end, or what came within the timeout.
  std::string rest(std::chrono::milliseconds timeout);
  void signal(int number);
  // The exit status, or -1 if it has not ended within the timeout.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
};

// What a program printed, and its exit status (-1: still running after the
// timeout, and killed).
struct Outcome {
  int status;
  std::string out, err;
};
Outcome runToEnd(const std::vector<std::string>& args,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
