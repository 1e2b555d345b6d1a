// The sotto-server program itself: its command line, start-up line, signals,
// the real client library talking through it, enrolment, and the local chat
// that scripts/run opens. Addresses 127.0.5.41-49.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>

#include "client/client_impl.hpp"
#include "proto/bytes.hpp"
#include "proto/config.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/server_harness.hpp"
#include "tests/support/sotto_run.hpp"
#include "tests/support/tmux_session.hpp"

namespace {

using harness::TempDir;
using namespace std::chrono_literals;

using scratch::slurp;

Outcome runServer(const std::vector<std::string>& args) {
  std::vector<std::string> argv{SOTTO_SERVER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return runToEnd(argv);
}

bool waitForText(const std::string& path, const std::string& needle, std::size_t count = 1,
                 std::chrono::milliseconds timeout = 10s) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    const std::string text = slurp(path);
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    if (n >= count) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST(Binary, HelpAndBadCommandLines) {
  Outcome help = runServer({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: sotto-server"), std::string::npos);
  EXPECT_NE(help.out.find("--data-dir"), std::string::npos);
  EXPECT_NE(help.out.find("--postgres CONNINFO"), std::string::npos);
  EXPECT_NE(help.out.find("--import-registry"), std::string::npos);

  Outcome bad = runServer({"--bogus"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown option '--bogus'"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("--help"), std::string::npos);
  EXPECT_EQ(runServer({"--listen"}).status, 2);
  Outcome threads = runServer({"--threads", "0"});
  EXPECT_EQ(threads.status, 2);
  EXPECT_NE(threads.err.find("'--threads' wants a whole number"), std::string::npos) << threads.err;
  EXPECT_NE(help.out.find("--max-sessions"), std::string::npos);
}

// Started with few descriptors (and a session bound it cannot reach), the
// server says so at start; once its descriptors are all taken it turns
// newcomers away at once, logs that once, and keeps the signed-in clients
// chatting; when connections close, newcomers get in again.
TEST(Binary, OutOfDescriptorsItTurnsNewcomersAwayAndTheChatGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checker opens a pipe to test whether memory is
  // readable; with no descriptor left it takes every object for a bad one.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  TempDir dir;
  const std::string data = dir / "data", err = dir / "err", address = "127.0.5.47";
  const auto a = harness::plain(1), b = harness::plain(2), late = harness::plain(3);
  {
    std::string error;
    ASSERT_TRUE(std::filesystem::create_directories(data));
    auto registry = sotto::Registry::open(data + "/" + sotto::kRegistryFileName, error);
    ASSERT_TRUE(registry) << error;
    for (const auto* id : {&a, &b, &late}) registry->enrol(id->signPublicKey, 1);
  }
  // Both limits set on the child, so that the server cannot raise its own.
  Child server({"/usr/bin/prlimit", "--nofile=48:48", SOTTO_SERVER_BINARY, "--listen", address, "--data-dir", data,
                "--max-sessions", "100", "--threads", "2"},
               err);
  const std::string line = server.firstLine();
  ASSERT_EQ(line.rfind("Server public key: ", 0), 0u) << line << slurp(err);
  raw_client::Key key;
  ASSERT_TRUE(sotto::fromHex(line.substr(19), key.data(), key.size()));
  EXPECT_TRUE(waitForText(err, "capacity: 100 sessions on 2 I/O threads, open-file limit 48 (too low"))
      << slurp(err);

  auto sa = raw_client::connect(address, raw_client::hello(a, key, 0), key, a);
  auto sb = raw_client::connect(address, raw_client::hello(b, key, 0), key, b);
  ASSERT_TRUE(sa.welcomed && sb.welcomed) << slurp(err);
  std::vector<int> silent;
  // From two addresses, within the bound of connections owing a hello per address.
  for (int i = 0; i < 30; ++i) silent.push_back(raw_client::dial(address, i % 2 ? "127.0.5.48" : "127.0.5.49"));
  ASSERT_TRUE(waitForText(err, "turning newcomers away")) << slurp(err);
  auto turnedAway = raw_client::connect(address, raw_client::hello(late, key, 0), key, late);
  EXPECT_FALSE(turnedAway.welcomed);
  EXPECT_TRUE(turnedAway.session->waitClosed(5s));

  sa.session->sendPacket(2, a.signPublicKey, harness::text("still here"));
  EXPECT_EQ(harness::next(*sb.session).payload, harness::text("still here"));
  sb.session->sendPacket(1, a.signPublicKey, harness::text("me too"));
  EXPECT_EQ(harness::next(*sa.session).payload, harness::text("me too"));

  for (const int fd : silent) ::close(fd);
  bool welcomed = false;
  for (int i = 0; i < 50 && !welcomed; ++i) {
    const auto fresh = raw_client::freshConnection(late);
    welcomed = raw_client::connect(address, raw_client::hello(fresh, key, 0), key, fresh).welcomed;
    if (!welcomed) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(welcomed) << slurp(err);
  EXPECT_TRUE(waitForText(err, "accepting again"));
  const std::string log = slurp(err);
  std::size_t episodes = 0;
  for (auto at = log.find("accept failed"); at != std::string::npos; at = log.find("accept failed", at + 1)) ++episodes;
  EXPECT_EQ(episodes, 1u) << log;
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(), 0);
}

RecivedMessage receive(Client& client) {
  for (int i = 0; i < 500; ++i) {
    RecivedMessage m = client.readBytes();
    if (!m.payload.empty()) return m;
    std::this_thread::sleep_for(10ms);
  }
  return {};
}

TEST(Binary, RealClientsChatThroughItAndSignalsStopItCleanly) {
  TempDir dir;
  const std::string data = dir / "data";
  const auto one = fixed::twoByteNonce(), two = fixed::threeByteNonce();
  for (const int signal : {SIGTERM, SIGINT}) {
    const std::string err = dir / ("err" + std::to_string(signal));
    Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.5.41", "--data-dir", data}, err);
    const std::string line = server.firstLine();
    ASSERT_EQ(line.rfind("Server public key: ", 0), 0u) << line << slurp(err);
    raw_client::Key key;
    ASSERT_TRUE(sotto::fromHex(line.substr(19), key.data(), key.size())) << line;

    // New identities on the first run, known ones on the second.
    const bool isNew = signal == SIGTERM;
    // Real clients of the library, with fixed identities and their known proofs.
    // Signing in, each with a fresh key-exchange pair as a client makes.
    const auto connectionOf = [&](const fixed::Identity& id) { return isNew ? id : raw_client::freshConnection(id); };
    auto a = harness::libraryClient(connectionOf(one), dir / "debug.log", scratch::discard());
    auto b = harness::libraryClient(connectionOf(two), dir / "debug.log", scratch::discard());
    for (auto* c : {a.get(), b.get()}) {
      c->setServer("127.0.5.41", key.data(), isNew);
      EXPECT_EQ(c->connect(), Client::success) << slurp(err);
    }
    EXPECT_TRUE(waitForText(err, isNew ? "registered " : "signed in ", 2)) << slurp(err);

    // A line of the first run that a TCP had not acknowledged at the stop
    // comes again at the next sign-in, framed by the server's lines: each
    // run's lines are told apart, and only this run's are looked at.
    const std::string word = "hello " + std::to_string(signal);
    const std::vector<unsigned char> hello(word.begin(), word.end());
    const auto thisRun = [&](Client& c) {
      RecivedMessage m = receive(c);
      while (!m.payload.empty() && m.payload != hello) m = receive(c);
      return m;
    };
    a->sendBytesBroadcast(hello);
    RecivedMessage got = thisRun(*b);
    EXPECT_EQ(got.payload, hello);
    EXPECT_EQ(got.key, one.signPublicKey);
    b->sendBytesDirect(hello, one.signPublicKey.data());
    got = thisRun(*a);
    EXPECT_EQ(got.payload, hello);
    EXPECT_EQ(got.key, two.signPublicKey);

    server.signal(signal);
    EXPECT_EQ(server.wait(), 0) << slurp(err);
    const std::string log = slurp(err);
    EXPECT_NE(log.find(signal == SIGTERM ? "shutting down on SIGTERM" : "shutting down on SIGINT"),
              std::string::npos);
    EXPECT_NE(log.find("disconnected " + harness::hex(one) + ": server shutting down"), std::string::npos) << log;
  }
}

TEST(Binary, AnAbandonedLogPipeDoesNotKillIt) {
  TempDir dir;
  const std::string fifo = dir / "err";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The log's reader is there at start (a pipe into a logger, say), then goes.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Child server({SOTTO_SERVER_BINARY, "--listen", "127.0.5.46", "--data-dir", dir / "data"}, fifo);
  ASSERT_EQ(server.firstLine().rfind("Server public key: ", 0), 0u);
  close(reader);

  // Each connection is a log line into the abandoned pipe.
  for (int i = 0; i < 3; ++i) {
    const int fd = raw_client::dial("127.0.5.46");
    ASSERT_GE(fd, 0) << "connection " << i;
    close(fd);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(server.wait(200ms), -1) << "the server ended";
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(), 0);
}

TEST(Binary, APortInUseIsReported) {
  harness::RunningServer first("127.0.5.42");
  Outcome second = runServer({"--listen", "127.0.5.42", "--data-dir", first.dataDir()});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("cannot listen on 127.0.5.42:8081"), std::string::npos) << second.err;
}

TEST(Binary, EnrolmentWritesARegisteredClientConfOnce) {
  TempDir dir;
  const std::string data = dir / "data", user = dir / "users/1";
  Outcome enrolled = runServer({"--data-dir", data, "--enroll", user, "--address", "127.0.5.43"});
  ASSERT_EQ(enrolled.status, 0) << enrolled.err;
  const std::string conf = user + "/client.conf";
  EXPECT_NE(enrolled.out.find("Enrolled "), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(conf), 384u);
  struct stat st{};
  ASSERT_EQ(::stat(conf.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string before = slurp(conf);

  Config config;
  ASSERT_TRUE(loadConfig(config, conf));
  EXPECT_EQ(config.serverAddress(), "127.0.5.43");
  harness::RunningServer server("127.0.5.43", {}, data);
  EXPECT_EQ(0, std::memcmp(config.serverPublicKey(), server.key().data(), 32));

  // The library signs in with it at once: no proof of work, no prompt.
  sotto::ClientOptions options{dir / "debug.log"};
  options.handshakeOut = &scratch::discard();
  auto client = std::make_unique<ClientImpl>(options);
  client->setServer(config.serverAddress(), config.serverPublicKey(), false);
  client->setClient(config.signPublicKey(), config.signSecretKey());
  EXPECT_EQ(client->connect(), Client::success) << server.log.all();

  Outcome again = runServer({"--data-dir", data, "--enroll", user});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  EXPECT_EQ(slurp(conf), before);
}

// scripts/lib/local-chat, which scripts/run opens outside a client.conf
// directory, under tmux; each run of it sees its own /tmp.
class LocalChat : public testing::Test {
 protected:
  // The scratch area lies outside /tmp, which the private mounts replace.
  TempDir dir{std::filesystem::current_path().string()};
  const std::string state = dir / "state";
  const std::string serverLog = state + "/sotto/server/server.log";
  // Each test case its own server address: ctest runs them side by side.
  std::string address = "127.0.5.44";
  std::vector<std::unique_ptr<tmux_harness::Session>> panes;

  void SetUp() override {
    ASSERT_ISOLATED(sotto_run::SottoRun().privateTmpWorks());
    std::filesystem::create_directories(dir / "tmp");
  }
  void TearDown() override {
    panes.clear();
    const std::string pid = slurp(state + "/sotto/server/server.pid");
    if (pid.empty()) return;
    // Not our child, so no waitpid: wait until it is gone (or a zombie) before
    // its data directory is removed under it.
    ::kill(std::stoi(pid), SIGTERM);
    const std::string stat = "/proc/" + std::to_string(std::stoi(pid)) + "/stat";
    for (int i = 0; i < 500; ++i) {
      const std::string fields = slurp(stat);
      const auto close = fields.rfind(')');
      if (fields.empty() || (close != std::string::npos && fields.compare(close + 2, 1, "Z") == 0)) break;
      std::this_thread::sleep_for(10ms);
    }
  }
  tmux_harness::Session& open() {
    const std::string run = "exec env XDG_STATE_HOME=" + state + " SOTTO_LOCAL_ADDRESS=" + address +
                            " " SOTTO_SOURCE_DIR "/scripts/lib/local-chat " SOTTO_BINARY " " SOTTO_SERVER_BINARY;
    const std::string command =
        sotto_run::inPrivateTmp(dir / "tmp", {dir.path(), SOTTO_SOURCE_DIR, SOTTO_BINARY, SOTTO_SERVER_BINARY}, run) +
        "; echo EXIT=$?; sleep 60";
    return *panes.emplace_back(std::make_unique<tmux_harness::Session>(100, 20, command));
  }
};

TEST_F(LocalChat, StartsOneServerAndGivesEachTerminalItsOwnUser) {
  auto& first = open();
  ASSERT_TRUE(waitForText(serverLog, "signed in ")) << slurp(serverLog);
  first.keys({"Escape"});
  ASSERT_TRUE(first.waitForText("EXIT=0"));
  // A first start makes the key and says so before it gives it out.
  const std::string started = slurp(serverLog);
  EXPECT_LT(started.find(" created a new server key in " + state + "/sotto/server: existing clients will not connect\n"),
            started.find("\nServer public key: "))
      << started;
  const std::string user1 = state + "/sotto/users/1/client.conf";
  EXPECT_EQ(std::filesystem::file_size(user1), 384u);

  // While users/1 is taken, another terminal becomes users/2 on the same server.
  const int lock = ::open((state + "/sotto/users/1/.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  auto& second = open();
  ASSERT_TRUE(waitForText(serverLog, "signed in ", 2)) << slurp(serverLog);
  second.keys({"Escape"});
  EXPECT_TRUE(second.waitForText("EXIT=0"));
  ::close(lock);
  EXPECT_TRUE(std::filesystem::exists(state + "/sotto/users/2/client.conf"));
  EXPECT_NE(slurp(user1).substr(288, 32), slurp(state + "/sotto/users/2/client.conf").substr(288, 32));
  const std::string log = slurp(serverLog);
  EXPECT_EQ(log.find("listening"), log.rfind("listening"));  // one server
  EXPECT_EQ(log.find("refused"), std::string::npos) << log;
}

TEST_F(LocalChat, TwoTerminalsChatThroughTheServerItStarted) {
  address = "127.0.5.45";
  auto& first = open();
  ASSERT_TRUE(first.waitForText("Connected. Press Esc to exit."));
  auto& second = open();  // users/1 is held by the first window, so this is users/2
  ASSERT_TRUE(second.waitForText("Connected. Press Esc to exit."));

  auto keyHex = [&](int user) {
    const std::string conf = slurp(state + "/sotto/users/" + std::to_string(user) + "/client.conf");
    std::string hex;
    char digits[3];
    for (int i = 288; i < 320; ++i) {
      std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(conf[i]));
      hex += digits;
    }
    return hex;
  };
  first.text("hello from one");
  first.keys({"Enter"});
  EXPECT_TRUE(second.waitForText(keyHex(1) + ": hello from one"));
  second.text("and back from two");
  second.keys({"Enter"});
  EXPECT_TRUE(first.waitForText(keyHex(2) + ": and back from two"));

  first.keys({"Escape"});
  second.keys({"Escape"});
  EXPECT_TRUE(first.waitForText("EXIT=0"));
  EXPECT_TRUE(second.waitForText("EXIT=0"));
}

}  // namespace
