// What the server keeps and reads at start: the long-term key file, the
// identity registry, and its command line. Address 127.0.5.40.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "proto/config.hpp"
#include "server/enrol.hpp"
#include "server/key_file.hpp"
#include "server/options.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::TempDir;

mode_t modeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

TEST(KeyFile, MadeOncePrivateAndReused) {
  ASSERT_GE(sodium_init(), 0);
  TempDir dir;
  const std::string data = dir / "nested/data";
  std::string error;
  sotto::ServerKey first, second;
  ASSERT_TRUE(sotto::loadOrCreateServerKey(data, first, error)) << error;
  const std::string file = data + "/server.key";
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(data), 0700u);
  EXPECT_EQ(std::filesystem::file_size(file), 32u);
  // The public half belongs to the stored secret.
  raw_client::Key derived;
  crypto_scalarmult_base(derived.data(), first.secretKey);
  EXPECT_EQ(derived, first.publicKey);

  // Loosened by someone: tightened again, and the same key comes back.
  ::chmod(file.c_str(), 0644);
  ASSERT_TRUE(sotto::loadOrCreateServerKey(data, second, error)) << error;
  EXPECT_EQ(second.publicKey, first.publicKey);
  EXPECT_EQ(modeOf(file), 0600u);
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data), {}), 1);
}

TEST(KeyFile, AFileOfTheWrongSizeIsAnErrorAndIsLeftAlone) {
  TempDir dir;
  std::ofstream(dir / "server.key") << "not a key";
  sotto::ServerKey key;
  std::string error;
  EXPECT_FALSE(sotto::loadOrCreateServerKey(dir.path(), key, error));
  EXPECT_NE(error.find("server.key"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(dir / "server.key"), 9u);
}

// Two enrolments into one directory at once: one says it enrolled, and the
// identity it names is the one in client.conf; the other says the file is
// there. Neither may report success for a file the other has written over.
TEST(Enrolment, TwoAtOnceIntoOneDirectoryLeaveOneIdentity) {
  for (int round = 0; round < 10; ++round) {
    TempDir dir;
    sotto::ServerOptions options;
    options.dataDir = dir / "data";
    options.enrollDir = dir / "user";
    // The key and the registry exist already, as they do beside a running server.
    {
      sotto::ServerKey key;
      std::string error;
      ASSERT_TRUE(sotto::loadOrCreateServerKey(options.dataDir, key, error)) << error;
      ASSERT_TRUE(sotto::Registry::open(options.dataDir + "/" + sotto::kRegistryFileName, error)) << error;
    }
    std::ostringstream out[2], err[2];
    int status[2] = {-1, -1};
    {
      std::jthread first([&] { status[0] = sotto::enrol(options, out[0], err[0]); });
      std::jthread second([&] { status[1] = sotto::enrol(options, out[1], err[1]); });
    }
    ASSERT_EQ((status[0] == 0) + (status[1] == 0), 1)
        << "round " << round << ": " << out[0].str() << out[1].str() << err[0].str() << err[1].str();
    const int winner = status[0] == 0 ? 0 : 1;
    EXPECT_NE(err[1 - winner].str().find("already exists"), std::string::npos) << err[1 - winner].str();
    Config config;
    ASSERT_TRUE(loadConfig(config, *options.enrollDir + "/client.conf"));
    const std::string identity = testing_peer::hex(config.signPublicKey(), 32);
    EXPECT_NE(out[winner].str().find("Enrolled " + identity), std::string::npos) << out[winner].str();
    // Nothing half-made is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(*options.enrollDir), {}), 1);
  }
}

TEST(Registry, FirstSeenStaysLastSeenMovesAndBothPersist) {
  TempDir dir;
  const std::string path = dir / "registry.sqlite3";
  const auto a = harness::plain(1), b = harness::plain(2);
  std::string error;
  {
    auto registry = sotto::Registry::open(path, error);
    ASSERT_TRUE(registry) << error;
    EXPECT_EQ(registry->seen(a.signPublicKey, 100), sotto::Registry::Result::unknown);
    EXPECT_EQ(registry->enrol(a.signPublicKey, 100), sotto::Registry::Result::added);
    EXPECT_EQ(registry->enrol(a.signPublicKey, 150), sotto::Registry::Result::known);
    EXPECT_EQ(registry->seen(a.signPublicKey, 200), sotto::Registry::Result::known);
    // A second connection (another process, say) sees the committed rows.
    auto other = sotto::Registry::open(path, error);
    ASSERT_TRUE(other) << error;
    EXPECT_EQ(other->enrol(b.signPublicKey, 300), sotto::Registry::Result::added);
    EXPECT_TRUE(registry->find(b.signPublicKey));
  }
  auto reopened = sotto::Registry::open(path, error);
  ASSERT_TRUE(reopened) << error;
  const auto entry = reopened->find(a.signPublicKey);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->firstSeen, 100);
  EXPECT_EQ(entry->lastSeen, 200);
  EXPECT_FALSE(reopened->find(harness::plain(3).signPublicKey));
}

TEST(Registry, AnUnusableFileIsReported) {
  TempDir dir;
  std::ofstream(dir / "registry.sqlite3") << std::string(4096, 'x');
  std::string error;
  EXPECT_FALSE(sotto::Registry::open(dir / "registry.sqlite3", error));
  EXPECT_NE(error.find("registry.sqlite3"), std::string::npos) << error;
}

TEST(Restart, KeyAndRegistrationsSurviveAServerRestart) {
  TempDir dir;
  const auto id = fixed::twoByteNonce();
  raw_client::Key firstKey;
  {
    harness::RunningServer server("127.0.5.40", {}, dir.path());
    firstKey = server.key();
    auto outcome = raw_client::connect(server.address(), raw_client::hello(id, server.key(), 1, id.smallestNonce),
                                       server.key(), id);
    ASSERT_TRUE(outcome.welcomed) << server.log.all();
  }
  harness::RunningServer server("127.0.5.40", {}, dir.path());
  EXPECT_EQ(server.key(), firstKey);
  EXPECT_TRUE(server.join(id));
  EXPECT_TRUE(server.log.waitFor("signed in " + harness::hex(id)));
}

std::optional<sotto::ServerOptions> parse(std::vector<const char*> args, std::string& error) {
  args.insert(args.begin(), "sotto-server");
  return sotto::parseOptions(static_cast<int>(args.size()), args.data(), error);
}

TEST(Options, DefaultsAndBothSpellings) {
  std::string error;
  auto o = parse({}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->listenAddress, "0.0.0.0");
  EXPECT_EQ(o->dataDir, "./sotto-data");
  EXPECT_FALSE(o->enrollDir);
  EXPECT_FALSE(o->help);

  o = parse({"--listen", "127.0.0.1", "--data-dir=/srv/sotto"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->listenAddress, "127.0.0.1");
  EXPECT_EQ(o->dataDir, "/srv/sotto");

  o = parse({"--enroll", "u/1", "--address", "chat.example"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->enrollDir, "u/1");
  EXPECT_EQ(o->enrollAddress, "chat.example");

  EXPECT_EQ(o->threads, 0u);
  EXPECT_EQ(o->limits.maxSessions, 0u);
  o = parse({"--threads", "2", "--max-sessions=15000", "--max-payload", "1024", "--max-queued-bytes", "1048576"},
            error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->threads, 2u);
  EXPECT_EQ(o->limits.maxSessions, 15000u);
  EXPECT_EQ(o->limits.maxPayload, 1024u);
  EXPECT_EQ(o->limits.maxQueuedBytesTotal, 1048576u);
  o = parse({"--postgres=postgresql:///sotto?host=/run/postgresql", "--import-registry"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->postgres, "postgresql:///sotto?host=/run/postgresql");
  EXPECT_TRUE(o->importRegistry);
  EXPECT_FALSE(parse({}, error)->postgres);

  o = parse({"--listen", "::1"}, error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(parse({"--help", "--bogus-after-help-is-still-bogus"}, error) == std::nullopt);
  EXPECT_TRUE(parse({"--help"}, error)->help);
}

TEST(Options, BadCommandLinesSayWhy) {
  const struct {
    std::vector<const char*> args;
    const char* says;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"stray"}, "unknown option 'stray'"},
      {{"--listen"}, "'--listen' needs a value"},
      {{"--listen="}, "needs a non-empty value"},
      {{"--listen", "localhost"}, "'localhost' is not an IP address"},
      {{"--listen", "127.0.0.1:8081"}, "the port is always 8081"},
      {{"--address", "x"}, "--address only goes with --enroll"},
      {{"--threads", "0"}, "'--threads' wants a whole number from 1 to 256, not '0'"},
      {{"--threads", "two"}, "not 'two'"},
      {{"--threads=1.5"}, "not '1.5'"},
      {{"--max-sessions", "-1"}, "'--max-sessions' wants a whole number from 1"},
      {{"--max-sessions", "99999999999999999999"}, "not '99999999999999999999'"},
      {{"--max-payload", "16777216"}, "'--max-payload' wants a whole number from 1 to 16777163"},
      {{"--max-queued-bytes", "1000"}, "'--max-queued-bytes' wants a whole number from 1048576"},
      {{"--postgres"}, "'--postgres' needs a value"},
      {{"--import-registry"}, "--import-registry goes with --postgres and --data-dir only"},
      {{"--import-registry", "--postgres", "db", "--enroll", "u"}, "goes with --postgres and --data-dir only"},
      {{"--import-registry", "--postgres", "db", "--listen", "::1"}, "goes with --postgres and --data-dir only"},
      {{"--import-registry=yes", "--postgres", "db"}, "unknown option '--import-registry=yes'"},
      {{"--nats", "nats://10.0.0.1:4222"}, "--nats needs --postgres"},
      {{"--nats", "nats://a:4222,,nats://b:4222", "--postgres", "db"}, "--nats wants URL[,URL...]"},
      {{"--bus-backlog", "4096"}, "--bus-backlog, --nats-creds and --nats-ca only go with --nats"},
      {{"--bus-backlog", "10", "--nats", "n", "--postgres", "db"}, "'--bus-backlog' wants a whole number from 1024"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse(c.args, error)) << c.says;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  std::string error;
  const std::string tooLong(256, 'a');
  EXPECT_FALSE(parse({"--enroll", "u", "--address", tooLong.c_str()}, error));
}

TEST(Options, BoundsFollowTheOpenFileLimitAndTheMemory) {
  using Bound = sotto::SessionBound;
  constexpr std::uint64_t GiB = 1u << 30;
  const struct {
    std::uint64_t files, memory;  // memory 0: not known
    std::size_t sessions, pending;  // given, or 0
    std::size_t wantSessions, wantPending;
    Bound bound;
  } cases[] = {
      {20'000, 0, 0, 0, 18'690, 1'168, Bound::openFiles},  // everything from the limit
      {1'024, 0, 0, 0, 900, 256, Bound::openFiles},        // pending never below its old bound
      {20'000, 0, 100, 0, 100, 256, Bound::option},        // sessions given
      {20'000, 0, 0, 3, 18'690, 3, Bound::openFiles},      // pending given
      {10, 0, 0, 0, 60, 256, Bound::openFiles},            // a limit below the server's own needs
      {20'000, 24 * GiB, 0, 0, 18'690, 1'168, Bound::openFiles},
      // Half of 1 GiB at 16 KiB plus a largest frame of 64 KiB each.
      {20'000, GiB, 0, 0, 6'549, 409, Bound::memory},
      {20'000, GiB, 100, 0, 100, 256, Bound::option},
  };
  for (const auto& c : cases) {
    sotto::Limits limits;
    limits.maxSessions = c.sessions;
    limits.maxPending = c.pending;
    EXPECT_EQ(sotto::fitToMachine(limits, c.files, c.memory), c.bound) << c.files << " " << c.memory;
    EXPECT_EQ(limits.maxSessions, c.wantSessions) << c.files << " " << c.memory;
    EXPECT_EQ(limits.maxPending, c.wantPending) << c.files << " " << c.memory;
  }
}

}  // namespace
