#include "tests/support/nats_server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

}  // namespace

NatsServer::NatsServer(std::string address, int port, long maxPayload)
    : address_(std::move(address)), port_(port), maxPayload_(maxPayload) {
  unsigned char token[16];
  std::ifstream("/dev/urandom", std::ios::binary).read(reinterpret_cast<char*>(token), sizeof token);
  std::ostringstream hex;
  for (unsigned char c : token) hex << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
  token_ = hex.str();
  std::ofstream(credsFile()) << token_ << "\n";
  fs::permissions(credsFile(), fs::perms::owner_read | fs::perms::owner_write);
  start();
}

NatsServer::~NatsServer() { kill(); }

std::string NatsServer::url() const { return "nats://" + address_ + ":" + std::to_string(port_); }

std::string NatsServer::urlWithToken() const {
  return "nats://" + token_ + "@" + address_ + ":" + std::to_string(port_);
}

bool NatsServer::startEmpty() {
  kill();
  fs::remove_all(dir_.path() + "/store");
  return start();
}

void NatsServer::pause(bool paused) {
  if (pid_ > 0) ::kill(pid_, paused ? SIGSTOP : SIGCONT);
}

bool NatsServer::start() {
  if (pid_ > 0) return true;
  // Each start logs to a file of its own, so that readiness is read from
  // this start's log alone.
  const std::string log = dir_.path() + "/nats" + std::to_string(++starts_) + ".log";
  // Started as scripts/cluster starts it; the script execs, so pid_ is nats-server's.
  std::vector<std::string> args = {SOTTO_CLUSTER_ENGINES, "nats", dir_.path() + "/store", address_,
                                   std::to_string(port_), log, credsFile()};
  if (maxPayload_ > 0) args.push_back(std::to_string(maxPayload_));
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on: the test has threads.
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(126);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  for (int tries = 0; pid_ > 0 && tries < 1000; ++tries) {
    if (scratch::slurp(log).find("Server is ready") != std::string::npos) return true;
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "nats-server did not get ready: " << scratch::slurp(log);
  kill();
  return false;
}

void NatsServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}
