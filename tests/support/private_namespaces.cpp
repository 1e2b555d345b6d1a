#include "tests/support/private_namespaces.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tests/support/child_process.hpp"

namespace private_namespaces {

namespace {

bool writeFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

bool loopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool ok = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

testing::AssertionResult failed(const std::string& what) {
  return testing::AssertionFailure() << what << ": " << std::strerror(errno);
}

}  // namespace

std::string unshareMount() { return ::geteuid() == 0 ? "unshare --mount" : "unshare --user --map-root-user --mount"; }

testing::AssertionResult enterPrivateMounts() {
  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWNS) != 0) return failed("cannot make a mount namespace");
  } else {
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
      return failed("cannot make an unprivileged user namespace");
    if (!writeFile("/proc/self/setgroups", "deny") || !writeFile("/proc/self/uid_map", "0 " + uid + " 1") ||
        !writeFile("/proc/self/gid_map", "0 " + gid + " 1"))
      return failed("cannot map this user to root in its user namespace");
    if (!loopbackUp()) return failed("cannot bring up loopback in a network namespace");
  }
  // (The type is ignored; named, so that memcheck sees no null argument.)
  if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) return failed("cannot make the mounts private");
  return testing::AssertionSuccess();
}

Rerun rerunAsNamespaceRoot(const std::string& test) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const Outcome ran = runToEnd({"/usr/bin/unshare", "--user", "--map-root-user", "--net", self,
                                "--gtest_filter=" + test},
                               std::chrono::seconds(60));
  Rerun rerun;
  rerun.output = ran.out + ran.err;
  if (ran.out.find("[==========]") == std::string::npos) {
    rerun.why = "cannot run the test in a user and network namespace of its own: " + ran.err;
    return rerun;
  }
  rerun.passed = ran.status == 0 && ran.out.find("[  PASSED  ] 1 test") != std::string::npos;
  return rerun;
}

}  // namespace private_namespaces
