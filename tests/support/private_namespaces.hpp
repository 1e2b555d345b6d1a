// Namespaces of a test's own, made by root or by an ordinary user alike: an
// ordinary user first makes an unprivileged user namespace in which it is
// root (where the kernel allows one). Where none can be made, root's tests
// fail and an ordinary user's are skipped with the reason.
//
//   ASSERT_ISOLATED(run.privateTmpWorks());     // in SetUp or the test body
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace private_namespaces {

// The shell command that runs what follows it in a mount namespace of its
// own: `unshare --mount`, behind `--user --map-root-user` without root.
std::string unshareMount();

// Moves this process (which must not have started a thread yet) into a
// mount namespace of its own whose mounts stay there; without root, into a
// user and a network namespace (loopback up) first, since an ordinary user
// may mount only there and may bind a port below 1024 only there.
testing::AssertionResult enterPrivateMounts();

// One test of this binary run again as root of a user and a network
// namespace of its own, for what an ordinary user may do only there (such
// as entering another network namespace). `why` when none can be made.
struct Rerun {
  bool passed = false;
  std::string output;
  std::optional<std::string> why;
};
Rerun rerunAsNamespaceRoot(const std::string& test);

}  // namespace private_namespaces

#define ASSERT_ISOLATED(result)                                                  \
  if (const testing::AssertionResult isolated_ = (result); !isolated_) {         \
    if (::geteuid() != 0) GTEST_SKIP() << "without root: " << isolated_.message(); \
    FAIL() << isolated_.message();                                               \
  }
