#include "tests/support/vanished_server.hpp"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/support/signed_in_binary.hpp"

namespace vanished_server {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  return static_cast<bool>(out << text << std::flush);
}

}  // namespace

std::optional<std::string> enterPrivateNetwork() {
  if (::geteuid() != 0) {
    const auto uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER) != 0) return std::string("no user namespace here: ") + std::strerror(errno);
    if (!writeFile("/proc/self/setgroups", "deny") || !writeFile("/proc/self/uid_map", "0 " + uid + " 1") ||
        !writeFile("/proc/self/gid_map", "0 " + gid + " 1"))
      return std::string("cannot map this user into its namespace");
    // tmux keeps its sockets under /tmp/tmux-UID, and the real root's
    // /tmp/tmux-0 is not ours to use.
    char sockets[] = "/tmp/sotto-tmux-XXXXXX";
    if (!::mkdtemp(sockets)) return std::string("cannot make a directory for tmux");
    ::setenv("TMUX_TMPDIR", sockets, 1);
  }
  if (::unshare(CLONE_NEWNET) != 0) return std::string("no network namespace here: ") + std::strerror(errno);
  if (std::system("ip link set lo up") != 0) return std::string("cannot bring loopback up with ip (iproute2)");
  return std::nullopt;
}

std::optional<double> secondsToNotice(const std::string& binary, const std::string& address, bool unacknowledged,
                                      std::chrono::seconds limit, std::string& why) {
  SignedInBinary chat;
  if (const auto notSignedIn = chat.start(binary, address)) {
    why = *notSignedIn;
    return std::nullopt;
  }
  tmux_harness::Session& term = *chat.term;
  if (std::system(("ip route add blackhole " + address + "/32 table local").c_str()) != 0) {
    why = "cannot add a blackhole route";
    return std::nullopt;
  }
  const auto vanished = Clock::now();
  if (unacknowledged) {
    term.text("anyone there?");
    term.keys({"Enter"});
  }
  // Read seldom: a tmux capture every 20 ms for minutes would load the machine.
  while (!tmux_harness::contains(term.screen(), "Connection lost.")) {
    if (Clock::now() - vanished > limit) {
      why = "not noticed within " + std::to_string(limit.count()) + " s:\n" + term.dump();
      return std::nullopt;
    }
    std::this_thread::sleep_for(500ms);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - vanished).count();
  term.keys({"Escape"});
  chat.run.waitStatus();
  return seconds;
}

}  // namespace vanished_server
