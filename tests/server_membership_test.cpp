// Who may join, against the real sotto-server: closed registration, the
// operator's --allow, --revoke, --reinstate and --list-identities run beside
// a running server (SQLite) and a cluster (PostgreSQL, NATS), while other
// members keep chatting; states carried by --import-registry. Addresses
// 127.0.90.x.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "proto/bytes.hpp"
#include "server/registry.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/cluster.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/raw_client.hpp"
#include "tests/support/scratch.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned char kBroadcast = 2;
// The promise is 2 s; the rest is room for a loaded machine.
constexpr auto kRevokeBound = 6s;

std::string hex(const fixed::Identity& id) { return sotto::toHex(id.signPublicKey.data(), id.signPublicKey.size()); }

// sotto-server with args, run to its end.
Outcome command(std::vector<std::string> args) {
  args.insert(args.begin(), SOTTO_SERVER_BINARY);
  return runToEnd(args, std::chrono::seconds(30));
}

// A session of id on address. A proof holds only for the identity's own
// key-exchange key, and a hello is taken once: a proving one goes once.
raw_client::Outcome hello(const std::string& address, const testing_peer::Key& serverKey, const fixed::Identity& id,
                          bool proving) {
  const fixed::Identity sent = proving ? id : raw_client::freshConnection(id);
  return raw_client::connect(
      address, raw_client::hello(sent, serverKey, proving ? 1 : 0, proving ? id.smallestNonce : 0), serverKey, sent);
}

// Refused the way every refusal looks: the connection closes, no welcome.
void expectRefused(const std::string& address, const testing_peer::Key& serverKey, const fixed::Identity& id,
                   bool proving) {
  EXPECT_FALSE(hello(address, serverKey, id, proving).welcomed) << address;
}

// Welcomed, within a few tries when not proving: a server applies a change
// on its next look at the registry.
std::unique_ptr<testing_peer::Session> welcomed(const std::string& address, const testing_peer::Key& serverKey,
                                                const fixed::Identity& id, bool proving) {
  for (const auto until = Clock::now() + 5s;; std::this_thread::sleep_for(100ms)) {
    if (auto outcome = hello(address, serverKey, id, proving); outcome.welcomed) return std::move(outcome.session);
    if (proving || Clock::now() > until) break;
  }
  ADD_FAILURE() << hex(id) << " was not welcomed on " << address;
  return nullptr;
}

// The state --list-identities --tsv gives key, checked against the table.
std::string listedState(const std::vector<std::string>& where, const fixed::Identity& id) {
  std::vector<std::string> args = where;
  args.push_back("--list-identities");
  const Outcome table = command(args);
  args.push_back("--tsv");
  const Outcome tsv = command(args);
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(tsv.status, 0) << tsv.err;
  std::istringstream lines(tsv.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(hex(id) + "\t")) continue;
    const std::string state = line.substr(65, line.find('\t', 65) - 65);
    EXPECT_NE(table.out.find(hex(id) + "  " + state), std::string::npos) << table.out;
    return state;
  }
  return "absent";
}

// Runs --revoke and waits for every session given to end: how long it took.
Clock::duration revoke(const std::vector<std::string>& where, const fixed::Identity& id,
                       const std::vector<Chatter*>& sessions) {
  std::vector<std::string> args = where;
  args.insert(args.end(), {"--revoke", hex(id)});
  const auto start = Clock::now();
  const Outcome ran = command(args);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("Revoked " + hex(id)), std::string::npos) << ran.out;
  for (Chatter* session : sessions) EXPECT_TRUE(session->waitEnded(kRevokeBound));
  return Clock::now() - start;
}

void expectReinstated(const std::vector<std::string>& where, const fixed::Identity& id) {
  std::vector<std::string> args = where;
  args.insert(args.end(), {"--reinstate", hex(id)});
  const Outcome ran = command(args);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_NE(ran.out.find("Reinstated " + hex(id)), std::string::npos) << ran.out;
}

// Two members broadcasting to each other, line after line, as the operator
// works beside them: every line arrives, in order.
struct Pair {
  Chatter a, b;
  fixed::Identity idA, idB;
  int sent = 0;
  void exchange() {
    const testing_peer::Bytes text = line(0, sent++, 64);
    a.send(kBroadcast, idA.signPublicKey, text);
    b.send(kBroadcast, idB.signPublicKey, text);
    ASSERT_TRUE(a.waitFor(static_cast<std::size_t>(sent), 10s) && b.waitFor(static_cast<std::size_t>(sent), 10s));
  }
  void expectAllArrived() {
    for (Chatter* c : {&a, &b}) {
      const auto got = c->received();
      ASSERT_EQ(got.size(), static_cast<std::size_t>(sent));
      for (int i = 0; i < sent; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)].payload, line(0, i, 64));
    }
  }
};

// A server process on its own data directory, as an operator starts it.
struct ServerProcess {
  scratch::TempDir dir;
  std::string address;
  testing_peer::Key key{};
  std::unique_ptr<Child> process;

  ServerProcess(const std::string& listen, const std::vector<std::string>& extra) : address(listen) {
    std::vector<std::string> args{SOTTO_SERVER_BINARY, "--listen", address, "--data-dir", dir / "data"};
    args.insert(args.end(), extra.begin(), extra.end());
    process = std::make_unique<Child>(args, dir / "log");
    const std::string first = process->firstLine();
    EXPECT_TRUE(first.size() == 83 && sotto::fromHex(first.substr(19), key.data(), key.size())) << first << log();
  }
  ~ServerProcess() {
    process->signal(SIGTERM);
    EXPECT_EQ(process->wait(30s), 0) << log();
  }
  std::string log() const { return scratch::slurp(dir / "log"); }
  // The log is written by a thread of its own: a line shows a moment later.
  bool waitForLog(const std::string& needle) const {
    for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(10ms))
      if (log().find(needle) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> where() const { return {"--data-dir", dir / "data"}; }
  void seed(const fixed::Identity& id) {
    std::string error;
    auto registry = sotto::Registry::open(dir / "data/" + sotto::kRegistryFileName, error);
    ASSERT_TRUE(registry) << error;
    ASSERT_EQ(registry->enrol(id.signPublicKey, 1), sotto::Registry::Result::added);
  }
};

TEST(Membership, AClosedServerAdmitsOnlyTheAllowedAndARevocationEndsSessionsWhileOthersChat) {
  ServerProcess server("127.0.90.1", {"--registration", "closed"});
  const fixed::Identity stranger = fixed::threeByteNonce(), newcomer = fixed::twoByteNonce(), a = fixed::make(11, 0),
                        b = fixed::make(12, 0);
  server.seed(a);
  server.seed(b);
  Pair pair{Chatter(welcomed(server.address, server.key, a, false)),
            Chatter(welcomed(server.address, server.key, b, false)), a, b};
  ASSERT_TRUE(pair.a.ok() && pair.b.ok());
  pair.exchange();

  expectRefused(server.address, server.key, stranger, true);
  EXPECT_TRUE(server.waitForLog("refused " + hex(stranger) + ": registration is closed")) << server.log();
  EXPECT_EQ(listedState(server.where(), stranger), "absent");
  std::vector<std::string> allow = server.where();
  allow.insert(allow.end(), {"--allow", hex(newcomer)});
  EXPECT_EQ(command(allow).status, 0);
  EXPECT_EQ(listedState(server.where(), newcomer), "allowed");
  pair.exchange();

  // Allowed, it must still prove itself, once.
  expectRefused(server.address, server.key, newcomer, false);
  Chatter first(welcomed(server.address, server.key, newcomer, true));
  Chatter second(welcomed(server.address, server.key, newcomer, false));
  ASSERT_TRUE(first.ok() && second.ok()) << server.log();
  EXPECT_EQ(listedState(server.where(), newcomer), "registered");
  pair.exchange();

  revoke(server.where(), newcomer, {&first, &second});
  EXPECT_TRUE(server.waitForLog("revoked " + hex(newcomer) + ": its sessions here are closed"));
  EXPECT_TRUE(server.waitForLog("disconnected " + hex(newcomer) + ": identity revoked")) << server.log();
  expectRefused(server.address, server.key, newcomer, false);
  EXPECT_TRUE(server.waitForLog("refused " + hex(newcomer) + ": revoked"));
  EXPECT_EQ(listedState(server.where(), newcomer), "revoked");
  EXPECT_EQ(command(allow).status, 1) << "--allow does not undo a revocation";
  pair.exchange();

  expectReinstated(server.where(), newcomer);
  EXPECT_TRUE(welcomed(server.address, server.key, newcomer, false));
  EXPECT_TRUE(server.waitForLog("reinstated " + hex(newcomer)));
  EXPECT_EQ(listedState(server.where(), newcomer), "registered");
  pair.exchange();
  pair.expectAllArrived();
}

TEST(Membership, ARevocationEndsTheSessionsOnEveryInstanceOfAClusterAndReinstatingLetsItBack) {
  const std::vector<std::string> closed{"--registration", "closed"};
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.90", 10, 2, {closed, closed});
  ASSERT_TRUE(cluster.ok());
  const std::vector<std::string> where{"--postgres", cluster.conninfo()};
  const fixed::Identity stranger = fixed::threeByteNonce(), member = fixed::twoByteNonce(), a = fixed::make(21, 0),
                        b = fixed::make(22, 0);
  cluster.seed(a);
  cluster.seed(b);
  Pair pair{Chatter(cluster.join(0, a)), Chatter(cluster.join(1, b)), a, b};
  ASSERT_TRUE(pair.a.ok() && pair.b.ok());

  expectRefused(cluster.address(1), cluster.key(), stranger, true);
  EXPECT_TRUE(cluster.waitForLog(1, "refused " + hex(stranger) + ": registration is closed"));
  std::vector<std::string> allow = where;
  allow.insert(allow.end(), {"--allow", hex(member)});
  EXPECT_EQ(command(allow).status, 0);
  // Registered through one instance, it signs in through the other.
  Chatter on0(welcomed(cluster.address(0), cluster.key(), member, true));
  Chatter on1(welcomed(cluster.address(1), cluster.key(), member, false));
  ASSERT_TRUE(on0.ok() && on1.ok());
  pair.exchange();

  revoke(where, member, {&on0, &on1});
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(cluster.waitForLog(i, "revoked " + hex(member) + ": its sessions here are closed")) << cluster.log(i);
    expectRefused(cluster.address(i), cluster.key(), member, false);
  }
  EXPECT_EQ(listedState(where, member), "revoked");
  pair.exchange();

  expectReinstated(where, member);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(welcomed(cluster.address(i), cluster.key(), member, false));
  EXPECT_EQ(listedState(where, member), "registered");
  pair.exchange();
  pair.expectAllArrived();
}

TEST(Membership, ARevocationTravelsWithTheImportIntoPostgresAndAServerStartedLaterRefusesIt) {
  const fixed::Identity gone = fixed::make(31, 0), stays = fixed::make(32, 0);
  scratch::TempDir dir;
  {
    std::string error;
    auto registry = sotto::Registry::open(dir / sotto::kRegistryFileName, error);
    ASSERT_TRUE(registry) << error;
    for (const auto* id : {&gone, &stays})
      ASSERT_EQ(registry->enrol(id->signPublicKey, 1), sotto::Registry::Result::added);
  }
  EXPECT_EQ(command({"--data-dir", dir.path(), "--revoke", hex(gone)}).status, 0);
  const std::string conninfo = PostgresCluster::shared().freshDatabase();
  const Outcome imported = command({"--postgres", conninfo, "--data-dir", dir.path(), "--import-registry"});
  ASSERT_EQ(imported.status, 0) << imported.err;
  const std::vector<std::string> postgres{"--postgres", conninfo};
  EXPECT_EQ(listedState(postgres, gone), "revoked");
  EXPECT_EQ(listedState(postgres, stays), "registered");

  ServerProcess server("127.0.90.20", postgres);
  EXPECT_TRUE(server.waitForLog("identities 1 revoked identity is refused"));
  expectRefused(server.address, server.key, gone, false);
  EXPECT_TRUE(welcomed(server.address, server.key, stays, false));
}

TEST(Membership, ABadCommandLineOrNoRegistryFailsWithOneClearLineAndStatusTwo) {
  scratch::TempDir dir;
  const std::string key(64, 'a');
  const struct {
    std::vector<std::string> args;
    std::string said;
  } cases[] = {
      {{"--allow", "abc"}, "--allow wants a public key of 64 hex digits"},
      {{"--revoke", std::string(64, 'g')}, "--revoke wants a public key of 64 hex digits"},
      {{"--data-dir", dir / "missing", "--revoke", key}, "there is no data directory " + (dir / "missing")},
      {{"--data-dir", dir.path(), "--list-identities"}, "there is no registry at " + (dir / "registry.sqlite3")},
      {{"--listen", "127.0.90.3", "--allow", key}, "go with --data-dir or --postgres only"},
      {{"--revoke", key, "--list-identities"}, "go one at a time"},
      {{"--tsv"}, "--tsv only goes with --list-identities"},
      {{"--registration", "shut"}, "--registration wants open or closed, not 'shut'"},
  };
  for (const auto& c : cases) {
    const Outcome ran = command(c.args);
    EXPECT_EQ(ran.status, 2) << c.said;
    EXPECT_NE(ran.err.find(c.said), std::string::npos) << ran.err;
    EXPECT_TRUE(ran.out.empty()) << ran.out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing")) << "a mistyped directory is never made";
}

}  // namespace
