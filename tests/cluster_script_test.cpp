// scripts/cluster end to end on 127.0.0.2-4, the addresses it owns, with its
// state in a scratch directory and the build under test as its binaries.
#include <gtest/gtest.h>
#include <signal.h>
#include <nats/nats.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/http_get.hpp"
#include "tests/support/scratch.hpp"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
};

class ClusterScript : public ::testing::Test {
 protected:
  ~ClusterScript() override {
    // Whatever happened, nothing it started outlives the test.
    run("stop");
    std::error_code ignored;
    const fs::path postgres = state_.path() + "/sotto/cluster/postgres";
    if (fs::is_symlink(postgres)) fs::remove_all(fs::read_symlink(postgres), ignored);
  }

  Outcome run(const std::string& command) {
    const std::string line = "XDG_STATE_HOME='" + state_.path() + "' SOTTO_BUILD_DIR='" SOTTO_BUILD_DIR "' '" +
                             SOTTO_SOURCE_DIR "/scripts/cluster' " + command + " 2>&1";
    Outcome result{-1, {}};
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) return result;
    char chunk[4096];
    for (std::size_t n; (n = ::fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.out.append(chunk, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  scratch::TempDir state_;
};

int count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(ClusterScript, StartEnrolsAUserPerInstanceStatusSaysAllRunAndStopEndsThem) {
  const Outcome start = run("start");
  ASSERT_EQ(start.status, 0) << start.out;
  const std::string users = state_.path() + "/sotto/cluster/users/";
  for (int n = 1; n <= 3; ++n) {
    EXPECT_TRUE(fs::exists(users + std::to_string(n) + "/client.conf")) << n;
    EXPECT_NE(start.out.find("cd " + users + std::to_string(n) + " && " SOTTO_BUILD_DIR "/lin/sotto    # 127.0.0." +
                             std::to_string(n + 1)),
              std::string::npos)
        << start.out;
  }
  for (int n = 2; n <= 4; ++n) {
    const std::string address = "127.0.0." + std::to_string(n);
    EXPECT_NE(start.out.find("http://" + address + ":9464/metrics"), std::string::npos) << start.out;
    EXPECT_EQ(httpGet(address, 9464, "/healthz").value_or(HttpAnswer{}).status, 200) << address;
  }
  const Outcome running = run("status");
  EXPECT_EQ(count(running.out, ": runs"), 5) << running.out;
  // The bus takes the instances, which hold its secret, and no one else.
  const fs::path secret = state_.path() + "/sotto/cluster/nats/secret";
  EXPECT_EQ(fs::status(secret).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  natsConnection* stranger = nullptr;
  EXPECT_EQ(natsConnection_ConnectTo(&stranger, "nats://127.0.0.2:4222"), NATS_CONNECTION_AUTH_FAILED);
  natsConnection_Destroy(stranger);

  // An instance killed behind the script's back is told from one it stopped.
  const std::string instance = state_.path() + "/sotto/cluster/instance2";
  ASSERT_EQ(::kill(std::stoi(scratch::slurp(instance + "/server.pid")), SIGKILL), 0);
  const Outcome crashed = [&] {
    for (int tries = 0; tries < 100; ++tries, ::usleep(50'000))
      if (const Outcome now = run("status"); count(now.out, "crashed") > 0) return now;
    return run("status");
  }();
  EXPECT_NE(crashed.out.find("instance 2 127.0.0.3: crashed (see " + instance + "/server.log)"), std::string::npos)
      << crashed.out;
  EXPECT_EQ(count(crashed.out, ": runs"), 4) << crashed.out;

  const fs::path database = fs::canonical(state_.path() + "/sotto/cluster/postgres");
  ASSERT_EQ(run("stop").status, 0);
  const Outcome stopped = run("status");
  EXPECT_EQ(count(stopped.out, ": stopped"), 5) << stopped.out;
  // Its database goes with it, wherever it was made.
  EXPECT_FALSE(fs::exists(database));
}

}  // namespace
