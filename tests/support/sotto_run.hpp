// Running the real sotto binary in a test: a scratch working directory (for
// client.conf), a private /tmp for the library's debug log, and the exit
// status and standard error captured in files.
//
//   SottoRun run;                              // fresh scratch directory
//   ASSERT_ISOLATED(run.privateTmpWorks());
//   tmux_harness::Session term(100, 30, run.command(SOTTO_BINARY));
//   ... drive it ...
//   EXPECT_EQ(run.waitStatus(), 0);
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/private_namespaces.hpp"

namespace sotto_run {

using namespace std::chrono_literals;

// A shell command that runs the shell command `then` in a mount namespace of
// its own (private_namespaces::unshareMount) whose /tmp is `privateTmp` (so the real /tmp/debug.log is never
// written). The directories of the real /tmp that hold any of `keep` stay
// visible at their usual paths, so that a checkout, a build or a scratch
// directory under /tmp still works inside.
std::string inPrivateTmp(const std::filesystem::path& privateTmp, const std::vector<std::filesystem::path>& keep,
                         const std::string& then);

class SottoRun {
 public:
  SottoRun();
  ~SottoRun();
  SottoRun(const SottoRun&) = delete;
  SottoRun& operator=(const SottoRun&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path configPath() const { return dir_ / "client.conf"; }
  // Where the debug log lands, /tmp/debug.log as the binary sees it.
  std::filesystem::path debugLogPath() const { return dir_ / "tmp" / "debug.log"; }

  // Writes client.conf by hand, byte for byte: address, zero-filled to 256
  // bytes, then the server key (32), the identity's public (32) and secret
  // (64) keys.
  void writeConfig(const std::string& address, const unsigned char* serverKey, const unsigned char* signPublicKey,
                   const unsigned char* signSecretKey) const;

  // Whether a mount namespace with our own /tmp can be made here. The
  // binary must never run without it: it would write the real debug log.
  testing::AssertionResult privateTmpWorks() const;

  // A shell command for a terminal pane: runs `binary` in the scratch
  // directory with a private /tmp and LANG=C.UTF-8 (and `environment`, e.g.
  // "TERM=vt220"), standard error to a file, then writes the exit status and
  // keeps the pane open so that its last screen can still be read. An
  // earlier run's status is forgotten here.
  std::string command(const std::string& binary, const std::string& environment = "") const;

  // The binary's exit status, once it has ended.
  std::optional<int> waitStatus(std::chrono::milliseconds timeout = 10s) const;
  std::string standardError() const;

 private:
  std::filesystem::path dir_;
};

}  // namespace sotto_run
