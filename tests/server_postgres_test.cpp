// The registry in PostgreSQL: servers sharing one database, a database that
// goes away and comes back, a slow one, and moving a SQLite registry over.
// A real PostgreSQL per test process (tests/support/postgres_cluster.hpp).
// Addresses 127.0.14.1-9.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/child_process.hpp"
#include "proto/config.hpp"
#include "server/enrol.hpp"
#include "server/import_registry.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::RunningServer;
using harness::TempDir;
using harness::hex;
using harness::plain;
using harness::text;
using sotto::Key;
using namespace std::chrono_literals;

// The identity's registration hello, sent on a connection whose welcome the
// test collects later with collect().
int sendRegistration(const RunningServer& server, const fixed::Identity& id) {
  const int fd = raw_client::dial(server.address());
  const auto hello = raw_client::hello(id, server.key(), 1, id.smallestNonce);
  EXPECT_EQ(::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hello.size()));
  return fd;
}

raw_client::Outcome collect(int fd, const RunningServer& server, const fixed::Identity& id) {
  return raw_client::handshake(fd, {}, server.key(), id);
}

// True once count backends of the database wait on a lock.
bool waitForLockWaiters(Sql& sql, int count) {
  for (int tries = 0; tries < 1000; ++tries) {
    if (sql("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND datname = current_database()") ==
        std::to_string(count))
      return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string keyLiteral(const fixed::Identity& id) { return "'\\x" + hex(id) + "'::bytea"; }

class PostgresRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cluster.ok());
    conninfo = cluster.freshDatabase();
  }
  PostgresCluster& cluster = PostgresCluster::shared();
  std::string conninfo;
};

TEST_F(PostgresRegistry, RegisteredThroughOneServerSignsInThroughOthersEvenWhileTheDatabaseIsDown) {
  sotto::Limits looksOften;
  looksOften.registryLoadInterval = 50ms;
  RunningServer first("127.0.14.1", {}, "", conninfo), second("127.0.14.2", {}, "", conninfo),
      third("127.0.14.7", looksOften, "", conninfo);
  const auto id = fixed::twoByteNonce();
  ASSERT_TRUE(collect(sendRegistration(first, id), first, id).welcomed) << first.log.all();
  EXPECT_TRUE(first.log.waitFor("registered " + hex(id)));
  // The second server started before the registration and has not looked
  // since: the database tells it about the identity.
  EXPECT_TRUE(second.join(id));
  EXPECT_TRUE(second.log.waitFor("signed in " + hex(id)));
  // The third has looked, and no longer needs the database for it.
  ASSERT_TRUE(third.log.waitFor("1 identity registered elsewhere")) << third.log.all();
  cluster.stop();
  EXPECT_TRUE(third.join(id)) << third.log.all();
  EXPECT_TRUE(cluster.start());
}

// Both servers' inserts wait behind one lock and go at the same moment. The
// same hello twice is a replay: one gets in.
TEST_F(PostgresRegistry, OneHelloRegisteringThroughTwoServersAtOnceIsOneIdentityAndOneSession) {
  RunningServer first("127.0.14.3", {}, "", conninfo), second("127.0.14.4", {}, "", conninfo);
  const auto id = fixed::threeByteNonce();
  Sql holder(conninfo), watcher(conninfo);
  holder("BEGIN; LOCK TABLE identities IN EXCLUSIVE MODE");
  const int fds[] = {sendRegistration(first, id), sendRegistration(second, id)};
  ASSERT_TRUE(waitForLockWaiters(watcher, 2));
  holder("COMMIT");
  EXPECT_NE(collect(fds[0], first, id).welcomed, collect(fds[1], second, id).welcomed);
  EXPECT_EQ(first.log.count("registered " + hex(id)) + second.log.count("registered " + hex(id)), 1u);
  EXPECT_EQ(first.log.count("replayed hello") + second.log.count("replayed hello"), 1u);
  EXPECT_EQ(watcher("SELECT count(*) FROM identities"), "1");

  // first_seen stays; last_seen only moves forward.
  const std::string firstSeen = watcher("SELECT first_seen FROM identities");
  std::string error;
  auto registry = sotto::Registry::openPostgres(conninfo, error);
  ASSERT_TRUE(registry) << error;
  const std::int64_t later = std::stoll(firstSeen) + 1000;
  EXPECT_EQ(registry->enrol(id.signPublicKey, later), sotto::Registry::Result::known);
  EXPECT_EQ(registry->seen(id.signPublicKey, later - 500), sotto::Registry::Result::known);
  const auto entry = registry->find(id.signPublicKey);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->firstSeen, std::stoll(firstSeen));
  EXPECT_EQ(entry->lastSeen, later);
}

TEST_F(PostgresRegistry, StoppedAndStartedUnderARunningServer) {
  const auto known = plain(7), fresh = fixed::twoByteNonce();
  std::optional<RunningServer> server;
  server.emplace("127.0.14.5", sotto::Limits{}, "", conninfo);
  server->seed(known);  // by another process, as far as the server knows
  ASSERT_TRUE(server->join(known));
  Sql sql(conninfo);
  sql("UPDATE identities SET last_seen = 1");

  cluster.stop();
  EXPECT_TRUE(server->join(known)) << "a known identity signs in from memory";
  EXPECT_FALSE(collect(sendRegistration(*server, fresh), *server, fresh).welcomed);
  EXPECT_TRUE(server->log.waitFor("refused: registry failed for " + hex(fresh) + ": database unreachable"))
      << server->log.all();

  ASSERT_TRUE(cluster.start());
  ASSERT_TRUE(server->log.waitFor("database reachable again", 1, 30s)) << server->log.all();
  EXPECT_TRUE(collect(sendRegistration(*server, fresh), *server, fresh).welcomed) << server->log.all();
  EXPECT_TRUE(server->log.waitFor("registered " + hex(fresh)));
  // The sign-ins answered from memory reach the database, at the latest
  // when the server stops.
  server.reset();
  Sql after(conninfo);
  EXPECT_NE(after("SELECT last_seen FROM identities WHERE key = " + keyLiteral(known)), "1");
}

TEST_F(PostgresRegistry, ARelayingPairKeepsChattingWhileTheDatabaseHoldsARegistration) {
  RunningServer server("127.0.14.6", {}, "", conninfo);
  const auto a = plain(1), b = plain(2), fresh = fixed::twoByteNonce();
  server.seed(a);
  server.seed(b);
  auto sa = server.join(a), sb = server.join(b);
  ASSERT_TRUE(sa && sb);

  Sql holder(conninfo), watcher(conninfo);
  holder("BEGIN; LOCK TABLE identities IN EXCLUSIVE MODE");
  const int held = sendRegistration(server, fresh);
  ASSERT_TRUE(waitForLockWaiters(watcher, 1));
  // Known identities sign in, and the pair chats, while the registration waits.
  EXPECT_TRUE(server.join(a));
  for (int i = 0; i < 50; ++i) {
    sa->sendPacket(2, a.signPublicKey, text("ping " + std::to_string(i)));
    ASSERT_EQ(harness::next(*sb).payload, text("ping " + std::to_string(i)));
    sb->sendPacket(2, b.signPublicKey, text("pong " + std::to_string(i)));
    ASSERT_EQ(harness::next(*sa).payload, text("pong " + std::to_string(i)));
  }
  EXPECT_EQ(server.log.count("registered " + hex(fresh)), 0u);
  EXPECT_EQ(waitForLockWaiters(watcher, 1), true) << "the registration is still held";
  holder("COMMIT");
  EXPECT_TRUE(collect(held, server, fresh).welcomed) << server.log.all();
  EXPECT_TRUE(server.log.waitFor("registered " + hex(fresh)));
}

TEST_F(PostgresRegistry, ImportingTwiceAddsNothingTheSecondTimeAndEnrolmentRegistersThere) {
  TempDir dir;
  std::string error;
  {
    auto sqlite = sotto::Registry::open(dir / sotto::kRegistryFileName, error);
    ASSERT_TRUE(sqlite) << error;
    for (unsigned char seed : {1, 2, 3}) sqlite->insert(plain(seed).signPublicKey, {100 + seed, 200 + seed});
  }
  auto registry = sotto::Registry::openPostgres(conninfo, error);
  ASSERT_TRUE(registry) << error;
  ASSERT_EQ(registry->insert(plain(3).signPublicKey, {50, 60}), sotto::Registry::Result::added);

  sotto::ServerOptions options;
  options.dataDir = dir.path();
  options.postgres = conninfo;
  for (const char* says : {": 2 new, 1 already there", ": 0 new, 3 already there"}) {
    std::ostringstream out, err;
    EXPECT_EQ(sotto::importRegistry(options, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("Imported 3 identities from "), std::string::npos) << out.str();
    EXPECT_NE(out.str().find(says), std::string::npos) << out.str();
  }
  EXPECT_EQ(registry->find(plain(1).signPublicKey)->firstSeen, 101);
  EXPECT_EQ(registry->find(plain(2).signPublicKey)->lastSeen, 202);
  EXPECT_EQ(registry->find(plain(3).signPublicKey)->firstSeen, 50);

  options.enrollDir = dir / "user";
  std::ostringstream out, err;
  ASSERT_EQ(sotto::enrol(options, out, err), 0) << err.str();
  Config config;
  ASSERT_TRUE(loadConfig(config, *options.enrollDir + "/client.conf"));
  Key enrolled;
  std::memcpy(enrolled.data(), config.signPublicKey(), enrolled.size());
  EXPECT_TRUE(registry->find(enrolled));

  options.dataDir = dir / "elsewhere";
  EXPECT_EQ(sotto::importRegistry(options, out, err), 1);
  EXPECT_NE(err.str().find("no registry to import at"), std::string::npos) << err.str();
}

// The program, pointed at a database that is not there: one line, status 1,
// whatever it was asked to do.
TEST(PostgresUnreachable, AtStartIsOneLineAndStatusOne) {
  const std::vector<std::vector<std::string>> commands = {
      {"--listen", "127.0.14.9"}, {"--enroll", "user"}, {"--import-registry"}};
  for (const auto& command : commands) {
    TempDir dir;
    std::ofstream(dir / sotto::kRegistryFileName).close();
    std::vector<std::string> args{SOTTO_SERVER_BINARY, "--data-dir", dir.path(), "--postgres",
                                  "host=" + dir.path() + " port=1 dbname=none"};
    args.insert(args.end(), command.begin(), command.end());
    Child child(args, dir / "err");
    EXPECT_EQ(child.wait(), 1) << command[0];
    const std::string err = scratch::slurp(dir / "err");
    EXPECT_EQ(err.rfind("sotto-server: cannot reach the registry database: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

}  // namespace
