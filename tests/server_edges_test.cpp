// The server at its edges: replayed hellos, floods of connections that
// never become sessions, a database that freezes, a log nobody reads, and
// the modes of its files. The program itself where the test is about the
// process (descriptors, signals, standard error, umask). Addresses
// 127.0.70.1-127.0.74.255, and IPv6 ones in a network namespace of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "proto/bytes.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/private_namespaces.hpp"
#include "tests/support/server_harness.hpp"

namespace {

using harness::hex;
using harness::next;
using harness::plain;
using harness::RunningServer;
using harness::TempDir;
using harness::text;
using scratch::slurp;
using namespace std::chrono_literals;

bool welcomed(const std::string& address, const raw_client::Key& key, const fixed::Identity& id,
              const std::string& source = "") {
  return raw_client::handshake(raw_client::dial(address, source), raw_client::hello(id, key, 0), key, id).welcomed;
}

// Table rows print as their names.
template <typename Row>
  requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

// The program on address, its registry in data (made and seeded with ids
// first), its standard error in err.
struct Program {
  Program(const std::string& address, const std::string& data, const std::string& err,
          const std::vector<fixed::Identity>& ids, std::vector<std::string> more = {}) {
    std::string error;
    std::filesystem::create_directories(data);
    if (more.empty() || more[0] != "--postgres") {
      auto registry = sotto::Registry::open(data + "/" + sotto::kRegistryFileName, error);
      for (const auto& id : ids) registry->enrol(id.signPublicKey, 1);
    }
    std::vector<std::string> args{SOTTO_SERVER_BINARY, "--listen", address, "--data-dir", data};
    args.insert(args.end(), more.begin(), more.end());
    child = std::make_unique<Child>(args, err);
    const std::string line = child->firstLine();
    EXPECT_EQ(line.rfind("Server public key: ", 0), 0u) << line;
    if (line.size() > 19) sotto::fromHex(line.substr(19), key.data(), key.size());
  }
  std::unique_ptr<Child> child;
  raw_client::Key key{};
};

// Sign-ins refused for what the hello is, and the fresh hello of the same
// identity that is not.
struct Refusal {
  const char* name;
  const char* address;  // the first server's
  // The server the replay goes to, once a recorded hello signed in
  // through first: first, first restarted, or another.
  std::function<RunningServer&(std::optional<RunningServer>& first, std::optional<RunningServer>& other,
                               const std::string& data, const std::string& postgres)>
      replayAt;
  bool postgres = false;
};

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, AReplayedHelloAndAFreshOneOfTheSameIdentityIsWelcomed) {
  TempDir data;
  std::string conninfo;
  if (GetParam().postgres) {
    ASSERT_TRUE(PostgresCluster::shared().ok());
    conninfo = PostgresCluster::shared().freshDatabase();
  }
  const auto pg = conninfo.empty() ? std::optional<std::string>() : conninfo;
  std::optional<RunningServer> first(std::in_place, GetParam().address, sotto::Limits{}, data.path(), pg);
  std::optional<RunningServer> other;
  const auto a = plain(1);
  first->seed(a);
  const auto recorded = raw_client::hello(a, first->key(), 0);
  ASSERT_TRUE(raw_client::connect(first->address(), recorded, first->key(), a).welcomed) << first->log.all();

  const bool same = std::string(GetParam().name) == "BySameServer";
  RunningServer& target = GetParam().replayAt(first, other, data.path(), conninfo);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(raw_client::connect(target.address(), recorded, target.key(), a).welcomed);
  EXPECT_TRUE(target.log.waitFor("refused " + hex(a) + ": replayed hello", 3)) << target.log.all();
  EXPECT_EQ(target.log.count("signed in"), same ? 1u : 0u);
  EXPECT_TRUE(target.join(a)) << target.log.all();
}

INSTANTIATE_TEST_SUITE_P(
    Hellos, Refused,
    testing::Values(
        Refusal{"BySameServer", "127.0.70.10", [](auto& first, auto&, auto&, auto&) -> RunningServer& { return *first; }},
        Refusal{"AfterARestart", "127.0.70.11",
                [](auto& first, auto&, const std::string& data, auto&) -> RunningServer& {
                  first.reset();
                  return first.emplace("127.0.70.11", sotto::Limits{}, data);
                }},
        Refusal{"ByAnotherInstanceSharingTheDatabase", "127.0.70.12",
                [](auto&, auto& other, const std::string& data, const std::string& postgres) -> RunningServer& {
                  return other.emplace("127.0.70.13", sotto::Limits{}, data, postgres);
                },
                true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Refused, SessionsPastTheBoundOfTheirIdentity) {
  sotto::Limits limits;
  limits.maxSessionsPerIdentity = 2;
  RunningServer server("127.0.70.3", limits);
  const auto a = plain(1);
  server.seed(a);
  auto first = server.join(a), second = server.join(a);
  ASSERT_TRUE(first && second);
  const auto third = raw_client::freshConnection(a);
  EXPECT_FALSE(welcomed(server.address(), server.key(), third));
  EXPECT_TRUE(server.log.waitFor("refused " + hex(a) + ": already 2 sessions of this identity")) << server.log.all();
  first->close();
  ASSERT_TRUE(server.log.waitFor("disconnected"));
  // The seat is given back on the server's front thread, a moment later.
  bool in = false;
  for (int i = 0; i < 50 && !in; ++i) {
    in = welcomed(server.address(), server.key(), raw_client::freshConnection(a));
    if (!in) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(in) << server.log.all();
}

int openDescriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    ++n;
  return n;
}

// Connections that never become sessions, held open by their senders.
struct Flood {
  const char* name;
  bool replayed;  // a recorded hello of a known identity, or junk
  const char* address;
  const char* sources;  // the first three numbers of 40 flooding addresses
};

class HeldConnections : public testing::TestWithParam<Flood> {};

TEST_P(HeldConnections, StayWithinTheBoundAndAKnownIdentitySignsInMeanwhile) {
  // The test holds thousands of sockets of its own.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 4096) GTEST_SKIP() << "the open-file limit (" << files.rlim_cur << ") is too low to flood";

  TempDir dir;
  const auto victim = plain(1), known = plain(2);
  // Sessions 100: at most 256 connections without a session.
  const std::string address = GetParam().address;
  Program server(address, dir / "data", dir / "err", {victim, known}, {"--max-sessions", "100"});
  const auto recorded = raw_client::hello(victim, server.key, 0);
  ASSERT_TRUE(raw_client::connect(address, recorded, server.key, victim).welcomed) << slurp(dir / "err");
  const int before = openDescriptors(server.child->pid());

  std::vector<int> held;
  int most = 0;
  testing_peer::Bytes junk(sotto::kHelloSize);
  for (int i = 0; i < 3000; ++i) {
    const int fd = raw_client::dial(address, GetParam().sources + std::to_string(1 + i % 40));
    if (fd < 0) continue;
    randombytes_buf(junk.data(), junk.size());
    const auto& hello = GetParam().replayed ? recorded : junk;
    ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    held.push_back(fd);
    if (i % 100 == 0) most = std::max(most, openDescriptors(server.child->pid()));
    if (i == 1500) {
      EXPECT_TRUE(welcomed(address, server.key, raw_client::freshConnection(known), "127.0.71.3"));
    }
  }
  for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(50ms))
    most = std::max(most, openDescriptors(server.child->pid()));
  // 256 without a session, and a few in passing (the accept loop's spare).
  EXPECT_LE(most, before + 256 + 16) << slurp(dir / "err");
  EXPECT_TRUE(welcomed(address, server.key, raw_client::freshConnection(known), "127.0.71.4"));
  for (const int fd : held) ::close(fd);
  server.child->signal(SIGTERM);
  EXPECT_EQ(server.child->wait(), 0);
  // The recorded hello signed in once, and never again.
  const std::string log = slurp(dir / "err");
  EXPECT_EQ(log.find("signed in " + hex(victim)), log.rfind("signed in " + hex(victim)));
}

INSTANTIATE_TEST_SUITE_P(Hellos, HeldConnections,
                         testing::Values(Flood{"Junk", false, "127.0.71.1", "127.0.72."},
                                         Flood{"Replayed", true, "127.0.71.2", "127.0.73."}),
                         [](const auto& info) { return std::string(info.param.name); });

// A backend of the registry's database stopped dead (SIGSTOP): the kernel
// still acknowledges, so nothing on the connection notices.
class FrozenDatabase : public testing::TestWithParam<int> {};

TEST_P(FrozenDatabase, KnownIdentitiesSignInAndTheSignalEndsTheServerWithinFiveSeconds) {
  PostgresCluster& cluster = PostgresCluster::shared();
  ASSERT_TRUE(cluster.ok());
  const std::string conninfo = cluster.freshDatabase();
  TempDir dir;
  const auto a = plain(1);
  {
    std::string error;
    auto registry = sotto::Registry::openPostgres(conninfo, error);
    ASSERT_TRUE(registry) << error;
    registry->enrol(a.signPublicKey, 1);
  }
  const std::string address = "127.0.74." + std::to_string(10 + GetParam());
  Program server(address, dir / "data", dir / "err", {}, {"--postgres", conninfo});
  ASSERT_TRUE(welcomed(address, server.key, raw_client::freshConnection(a)));

  Sql admin(cluster.conninfo("postgres"));
  const std::string backend = admin("SELECT pid FROM pg_stat_activity WHERE application_name = 'sotto-server'");
  ASSERT_FALSE(backend.empty());
  const pid_t frozen = std::stoi(backend);
  ASSERT_EQ(::kill(frozen, SIGSTOP), 0);
  struct Thaw {
    pid_t pid;
    ~Thaw() { ::kill(pid, SIGCONT); }
  } thaw{frozen};

  EXPECT_TRUE(welcomed(address, server.key, raw_client::freshConnection(a))) << slurp(dir / "err");
  const auto signalled = std::chrono::steady_clock::now();
  server.child->signal(GetParam());
  EXPECT_EQ(server.child->wait(5s), 0) << slurp(dir / "err");
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  EXPECT_NE(slurp(dir / "err").find("last-seen times not written"), std::string::npos) << slurp(dir / "err");
}

INSTANTIATE_TEST_SUITE_P(Signals, FrozenDatabase, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Standard error on a pipe whose reader has stopped.
struct StalledLog {
  const char* name;
  int junkConnections;
};

class StalledLogReader : public testing::TestWithParam<StalledLog> {};

TEST_P(StalledLogReader, NeitherStopsSignInsNorTheChatAndTheDroppedLinesAreCounted) {
  TempDir dir;
  const std::string fifo = dir / "err";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const auto a = plain(1), b = plain(2);
  Program server("127.0.74.2", dir / "data", fifo, {a, b});

  // Two log lines each, far more than the pipe holds.
  for (int i = 0; i < GetParam().junkConnections; ++i) {
    const int fd = raw_client::dial("127.0.74.2");
    ::send(fd, "junk", 4, MSG_NOSIGNAL);
    ::close(fd);
  }
  // Once the server has taken the flood off its listening queue, which a
  // slow build takes its time over.
  const auto signIn = [&](const fixed::Identity& id) {
    raw_client::Outcome outcome;
    for (const auto until = std::chrono::steady_clock::now() + 30s;
         !outcome.welcomed && std::chrono::steady_clock::now() < until;) {
      const auto fresh = raw_client::freshConnection(id);
      outcome = raw_client::connect("127.0.74.2", raw_client::hello(fresh, server.key, 0), server.key, fresh);
    }
    return outcome;
  };
  auto sa = signIn(a), sb = signIn(b);
  ASSERT_TRUE(sa.welcomed && sb.welcomed);
  sa.session->sendPacket(2, a.signPublicKey, text("still here"));
  EXPECT_EQ(next(*sb.session).payload, text("still here"));

  // The reader comes back: what was kept arrives, and then the count.
  std::string log;
  char buffer[65536];
  for (const auto until = std::chrono::steady_clock::now() + 10s;
       log.find("log lines dropped while the log was full") == std::string::npos &&
       std::chrono::steady_clock::now() < until;) {
    const ssize_t n = ::read(reader, buffer, sizeof buffer);
    if (n > 0) log.append(buffer, static_cast<std::size_t>(n));
    else std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(log.find("log lines dropped while the log was full"), std::string::npos);
  server.child->signal(SIGTERM);
  EXPECT_EQ(server.child->wait(), 0);
  ::close(reader);
}

INSTANTIATE_TEST_SUITE_P(Log, StalledLogReader, testing::Values(StalledLog{"JunkFlood", 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

// The registry lists who uses the server and when.
struct Modes {
  const char* name;
  bool dirThere;  // with mode 0755 and a registry file of mode 0644
};

class FileModes : public testing::TestWithParam<Modes> {};

TEST_P(FileModes, AreTheOwnersAloneUnderUmask022) {
  TempDir dir;
  const std::string data = dir / "data";
  if (GetParam().dirThere) {
    std::filesystem::create_directory(data);
    ::chmod(data.c_str(), 0755);
    const int fd = ::open((data + "/registry.sqlite3").c_str(), O_CREAT | O_WRONLY, 0644);
    ::close(fd);
  }
  const mode_t old = ::umask(022);
  Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.74.3", "--data-dir", data}, dir / "err");
  ::umask(old);
  ASSERT_EQ(server.firstLine().rfind("Server public key: ", 0), 0u) << slurp(dir / "err");
  const auto mode = [](const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000u;
  };
  if (!GetParam().dirThere) {
    EXPECT_EQ(mode(data), 0700u);
  }
  for (const char* name : {"server.key", "registry.sqlite3", "registry.sqlite3-wal", "registry.sqlite3-shm"})
    EXPECT_EQ(mode(data + "/" + name), 0600u) << name;
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, FileModes,
                         testing::Values(Modes{"NewDataDirectory", false}, Modes{"ExistingLooseOne", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// IPv6 addresses in the network namespace of a child of the test's own
// (unshare), which the test's thread enters for as long as it lives: the
// server and its clients made meanwhile live there. Skips where a user
// namespace or entering it is not allowed.
class PrivateIpv6 {
 public:
  explicit PrivateIpv6(const std::vector<std::string>& addresses) {
    std::string script = "ip link set lo up";
    for (const auto& address : addresses) script += " && ip -6 addr add " + address + "/64 dev lo nodad";
    holder_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/unshare", "--user", "--map-root-user", "--net", "/bin/sh", "-c",
                                 script + " && echo ready && exec sleep 120"},
        dir_ / "err");
    if (holder_->firstLine() != "ready") {
      why_ = "cannot make a network namespace with IPv6 addresses: " + slurp(dir_ / "err");
      return;
    }
    own_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int theirs = ::open(("/proc/" + std::to_string(holder_->pid()) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = own_ >= 0 && theirs >= 0 && ::setns(theirs, CLONE_NEWNET) == 0;
    if (!entered_) why_ = std::string("cannot enter the namespace: ") + std::strerror(errno);
    if (theirs >= 0) ::close(theirs);
  }
  ~PrivateIpv6() {
    if (entered_) ::setns(own_, CLONE_NEWNET);
    if (own_ >= 0) ::close(own_);
  }
  // Why not, or nothing.
  const std::optional<std::string>& why() const { return why_; }

 private:
  TempDir dir_;
  std::unique_ptr<Child> holder_;
  int own_ = -1;
  bool entered_ = false;
  std::optional<std::string> why_;
};

// A connection from source to address:8081, or -1.
int dial6(const std::string& address, const std::string& source) {
  sockaddr_in6 from{}, to{};
  from.sin6_family = to.sin6_family = AF_INET6;
  to.sin6_port = htons(8081);
  ::inet_pton(AF_INET6, source.c_str(), &from.sin6_addr);
  ::inet_pton(AF_INET6, address.c_str(), &to.sin6_addr);
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Whether the server has closed fd within the timeout.
bool closedByServer(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  char byte;
  return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

TEST(HeldConnections, FromOneIpv6Slash64CountAsFromOneAddress) {
  if (::geteuid() != 0) {
    // Entering another namespace needs root in ours: an ordinary user runs
    // this test again as root of a user and network namespace of its own.
    const auto ran = private_namespaces::rerunAsNamespaceRoot("HeldConnections.FromOneIpv6Slash64CountAsFromOneAddress");
    if (ran.why) GTEST_SKIP() << *ran.why;
    EXPECT_TRUE(ran.passed) << ran.output;
    return;
  }
  std::vector<std::string> addresses{"fd00:79::1", "fd00:79:0:1::2"};
  for (int i = 2; i < 22; ++i) addresses.push_back("fd00:79::" + std::to_string(i));
  PrivateIpv6 net(addresses);
  if (net.why()) GTEST_SKIP() << *net.why();
  RunningServer server("fd00:79::1");
  const int other = dial6("fd00:79::1", "fd00:79:0:1::2");
  std::vector<int> crowd;
  for (int i = 2; i < 22; ++i) crowd.push_back(dial6("fd00:79::1", "fd00:79::" + std::to_string(i)));
  EXPECT_TRUE(server.log.waitFor("too many connections from fd00:79::/64 without a hello", 4)) << server.log.all();
  // The oldest four of the /64 go; the rest, and the other /64's, stay.
  for (std::size_t i = 0; i < crowd.size(); ++i) EXPECT_EQ(closedByServer(crowd[i], 50ms), i < 4) << i;
  EXPECT_FALSE(closedByServer(other, 50ms));
  for (const int fd : crowd) ::close(fd);
  ::close(other);
}

}  // namespace
