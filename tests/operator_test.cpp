// What an operator meets first: the command lines, the key of a data
// directory, a start that cannot listen, and a backup taken while the server
// runs. Addresses 127.0.60.x belong to this file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/child_process.hpp"
#include "tests/support/raw_listener.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::TempDir;

struct Answer {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string says;  // on standard output when status is 0, on standard error otherwise
};

void PrintTo(const Answer& answer, std::ostream* out) { *out << answer.name; }

class CommandLine : public testing::TestWithParam<Answer> {};

TEST_P(CommandLine, IsAnsweredAsTheReadmeSays) {
  const TempDir dir;
  std::vector<std::string> args = GetParam().args;
  for (auto& arg : args) {
    if (arg == "SERVER") arg = SOTTO_SERVER_BINARY;
    if (arg.starts_with("DIR")) arg = dir / ("data" + arg.substr(3));
  }
  const Outcome outcome = runToEnd(args);
  EXPECT_EQ(outcome.status, GetParam().status) << outcome.err;
  const std::string& said = GetParam().status == 0 ? outcome.out : outcome.err;
  EXPECT_NE(said.find(GetParam().says), std::string::npos) << said;
  // Nothing of a data directory is made by a command that does not serve.
  EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

INSTANTIATE_TEST_SUITE_P(
    Operator, CommandLine,
    testing::Values(
        Answer{"Version", {"SERVER", "--version"}, 0, "sotto-server " SOTTO_VERSION "\n"},
        Answer{"ListenWithAPort", {"SERVER", "--listen", "0.0.0.0:9000"}, 2, "the port is always 8081"},
        Answer{"ListenWithAnIpv6Port", {"SERVER", "--listen", "[::1]:8081"}, 2, "the port is always 8081"},
        Answer{"PublicKeyOfNoKey", {"SERVER", "--data-dir", "DIR", "--public-key"}, 1, "no server key in "},
        Answer{"BackupOfNoRegistry", {"SERVER", "--data-dir", "DIR", "--backup", "DIR.copy"}, 1, "cannot open "},
        Answer{"PublicKeyWhileServing", {"SERVER", "--public-key", "--listen", "127.0.60.9"}, 2, "--data-dir only"},
        Answer{"MetricsWithoutAPort", {"SERVER", "--metrics", "127.0.60.9"}, 1, "--metrics wants ADDRESS:PORT"}),
    [](const auto& info) { return info.param.name; });

TEST(Operator, AStartThatCannotListenWritesNothing) {
  sockaddr_in sa{};
  const int taken = boundSocket("127.0.60.1", SOCK_STREAM, 1, sa);
  ASSERT_GE(taken, 0);
  const TempDir dir;
  const Outcome outcome = runToEnd({SOTTO_SERVER_BINARY, "--listen", "127.0.60.1", "--data-dir", dir / "data"});
  ::close(taken);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("cannot listen on 127.0.60.1:8081"), std::string::npos) << outcome.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

TEST(Operator, TheKeyOfADataDirectoryIsPrintedWithoutServing) {
  const TempDir dir;
  const std::string data = dir / "data";
  std::string started;
  {
    Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.60.2", "--data-dir", data}, dir / "err");
    started = server.firstLine();
    server.signal(SIGTERM);
    server.wait();
  }
  EXPECT_NE(scratch::slurp(dir / "err").find("created a new server key in " + data + ": existing clients will not connect"),
            std::string::npos);
  ASSERT_TRUE(started.starts_with("Server public key: ")) << started;
  const Outcome printed = runToEnd({SOTTO_SERVER_BINARY, "--data-dir", data, "--public-key"});
  EXPECT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.out, started + "\n");
}

TEST(Operator, ABackupTakenWhileTheServerRunsHoldsItsNewestRegistrations) {
  harness::RunningServer server("127.0.60.3");
  const std::vector<fixed::Identity> newcomers{fixed::twoByteNonce(), fixed::threeByteNonce()};
  for (const auto& id : newcomers) {
    auto joined = raw_client::connect(server.address(), raw_client::hello(id, server.key(), 1, id.smallestNonce),
                                      server.key(), id);
    ASSERT_TRUE(joined.welcomed) << server.log.all();
  }
  const TempDir dir;
  const std::string copy = dir / "registry.copy";
  const Outcome backup = runToEnd({SOTTO_SERVER_BINARY, "--data-dir", server.dataDir(), "--backup", copy});
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_NE(backup.out.find("Backed up 2 identities"), std::string::npos) << backup.out;
  struct stat info {};
  ASSERT_EQ(::stat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::string error;
  const auto registry = sotto::Registry::open(copy, error);
  ASSERT_TRUE(registry) << error;
  for (const auto& id : newcomers) EXPECT_TRUE(registry->find(id.signPublicKey)) << harness::hex(id);
}

}  // namespace
