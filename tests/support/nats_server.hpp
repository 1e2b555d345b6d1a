// A throwaway nats-server with JetStream for tests: its store in a temporary
// directory, listening on one loopback address, taking only clients that
// give its token, as scripts/cluster runs it. It can be killed with SIGKILL
// and started again on the same store, and dies with the test process, even
// one that crashes.
//
//   NatsServer nats("127.0.15.1");
//   ASSERT_TRUE(nats.ok());
//   std::string url = nats.url();          // nats://127.0.15.1:4222
//   std::string file = nats.credsFile();   // the token, for --nats-creds
//   nats.kill();  nats.start();            // same store, same address
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/scratch.hpp"

class NatsServer {
 public:
  // Starts it; fails the current test (ok() false) if it does not get ready.
  // maxPayload: the most it takes in one message, if not its default.
  explicit NatsServer(std::string address, int port = 4222, long maxPayload = 0);
  ~NatsServer();
  NatsServer(const NatsServer&) = delete;
  NatsServer& operator=(const NatsServer&) = delete;

  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string url() const;
  std::string credsFile() const { return dir_.path() + "/secret"; }
  // The URL with the token in it.
  std::string urlWithToken() const;
  // Killed, its store removed, started again: a bus that lost its disk.
  bool startEmpty();
  // Stops and goes on (SIGSTOP, SIGCONT): a bus that stalls.
  void pause(bool paused);
  // SIGKILL, waited for: the store stays as the crash left it.
  void kill();
  // Starts again on the same store and waits until it is ready. False on failure.
  bool start();

 private:
  std::string address_;
  int port_;
  long maxPayload_;
  scratch::TempDir dir_;
  std::string token_;
  pid_t pid_ = -1;
  int starts_ = 0;
};
