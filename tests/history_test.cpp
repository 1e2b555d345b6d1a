// What a member missed, given back at sign-in by the sotto-server program:
// away during a chat, reset in the middle of a flood, and across a SIGKILL;
// and read back from the store's rows of batched messages.
// Every message is counted on the receiving side. Addresses 127.0.100.1-19,
// for the clusters 127.0.101.10-12, 127.0.102.10-12 and 127.0.104.10-12,
// and 127.0.103.1-19 for the store's bounds and faults.
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "proto/packet.hpp"
#include "server/departed_filter.hpp"
#include "server/history_files.hpp"
#include "server/history_store.hpp"
#include "server/registry.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/cluster.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/lifted_share.hpp"
#include "tests/support/postgres_cluster.hpp"
#include "tests/support/raw_client.hpp"
#include "tests/support/scratch.hpp"
#include "tests/support/vanished_server.hpp"

namespace {

using namespace std::chrono_literals;
using testing_peer::Bytes;
using testing_peer::Key;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The program on its own data directory, with the identities given
// registered before it starts, and options besides.
class ServerProcess {
 public:
  ServerProcess(const std::string& address, const std::vector<const fixed::Identity*>& known,
                std::vector<std::string> more = {})
      : address_(address), more_(std::move(more)) {
    std::string error;
    const auto postgres = std::find(more_.begin(), more_.end(), "--postgres");
    auto registry = sotto::openRegistry(
        postgres == more_.end() ? std::nullopt : std::optional<std::string>(*(postgres + 1)), dir_.path(), error);
    EXPECT_TRUE(registry) << error;
    for (const auto* id : known) registry->enrol(id->signPublicKey, 1);
    start();
  }
  void start() {
    std::vector<std::string> args{SOTTO_SERVER_BINARY, "--listen", address_, "--data-dir", dir_.path()};
    // The floods here test the history, not the senders' fair share.
    const auto lift = lifted::shareArgs();
    args.insert(args.end(), lift.begin(), lift.end());
    args.insert(args.end(), more_.begin(), more_.end());
    child_ = std::make_unique<Child>(args,
        dir_ / ("err" + std::to_string(starts_++)));
    const std::string line = child_->firstLine(), prefix = "Server public key: ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << log();
    for (std::size_t i = 0; i < key_.size(); ++i) key_[i] = std::stoi(line.substr(prefix.size() + 2 * i, 2), nullptr, 16);
  }
  void kill() {
    child_->signal(SIGKILL);
    child_->wait();
  }
  ~ServerProcess() {
    if (!child_) return;
    child_->signal(SIGTERM);
    EXPECT_EQ(child_->wait(30s), 0) << log();
  }
  // SIGTERM; true when the program ended with status 0 within the time given.
  bool stopsWithin(std::chrono::milliseconds bound) {
    child_->signal(SIGTERM);
    const auto status = child_->wait(bound);
    child_.reset();
    return status == 0;
  }
  std::string file(const std::string& name) const { return dir_ / name; }
  std::string log() const { return scratch::slurp(dir_ / ("err" + std::to_string(starts_ - 1))); }
  bool waitForLog(const std::string& needle, std::size_t count = 1) const {
    for (int tries = 0; tries < 1000; ++tries) {
      std::size_t n = 0;
      const std::string all = log();
      for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
      if (n >= count) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::unique_ptr<testing_peer::Session> join(const fixed::Identity& identity, const std::string& from = "") {
    const fixed::Identity id = raw_client::freshConnection(identity);
    const int fd = raw_client::dial(address_, from);
    auto outcome = raw_client::handshake(fd, raw_client::hello(id, key_, 0), key_, id);
    EXPECT_TRUE(outcome.welcomed) << log();
    return std::move(outcome.session);
  }
  const Key& key() const { return key_; }

 private:
  scratch::TempDir dir_;
  std::string address_;
  std::vector<std::string> more_;
  int starts_ = 0;
  std::unique_ptr<Child> child_;
  Key key_{};
};

// The catch-up's frame: the opening line, count packets, the closing line,
// each line a Direct under the server's key; after a crash, the line that
// says some may be missing comes second. Returns the packets.
// older: how many the opening line says are no longer kept ("" for none,
// "\\d+" for any).
std::vector<testing_peer::Frame> catchUp(testing_peer::Session& session, const Key& serverKey, std::size_t count,
                                         bool afterCrash = false, const std::string& older = "") {
  std::vector<testing_peer::Frame> got;
  const auto opening = session.receiveFrame(10s);
  if (!opening) {
    ADD_FAILURE() << "no catch-up";
    return got;
  }
  EXPECT_EQ(opening->type, 1);
  EXPECT_EQ(opening->key, serverKey);
  const std::regex shape(std::to_string(count) +
                         " messages from while you were away, (at \\d\\d:\\d\\d|\\d\\d:\\d\\d to \\d\\d:\\d\\d) UTC" +
                         (older.empty() ? "" : " \\(" + older + " older ones are no longer kept\\)") + ":");
  EXPECT_TRUE(std::regex_match(str(opening->payload), shape)) << str(opening->payload);
  if (afterCrash) {
    const auto warning = session.receiveFrame(10s);
    EXPECT_TRUE(warning && warning->key == serverKey && str(warning->payload).starts_with("Some of what was sent"));
  }
  for (std::size_t i = 0; i < count; ++i) {
    const auto frame = session.receiveFrame(10s);
    if (!frame) {
      ADD_FAILURE() << "only " << i << " of " << count;
      return got;
    }
    got.push_back(*frame);
  }
  const auto closing = session.receiveFrame(10s);
  EXPECT_TRUE(closing && closing->key == serverKey &&
              str(closing->payload) == "End of the " + std::to_string(count) + " missed messages.");
  return got;
}

TEST(History, AMemberAwayGetsEveryBroadcastAndDirectFramedInOrderAndANewOneNothing) {
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0), fresh = fixed::make(4, 0);
  ServerProcess server("127.0.100.1", {&a, &b, &c, &fresh});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  auto sa = server.join(a), sc = server.join(c);
  std::vector<std::string> sent;
  for (int i = 0; i < 110; ++i) {
    const bool direct = i % 11 == 10;
    sent.push_back((direct ? "direct " : "broadcast ") + std::to_string(i));
    sa->sendPacket(direct ? 1 : 2, direct ? b.signPublicKey : a.signPublicKey, text(sent.back()));
  }
  // Neither kept for b: a Direct to someone else, and b's own broadcast.
  sa->sendPacket(1, c.signPublicKey, text("for c"));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(sc->receiveFrame(10s));
  ASSERT_EQ(str(sc->receiveFrame(10s)->payload), "for c");

  auto again = server.join(b);
  const auto missed = catchUp(*again, server.key(), sent.size());
  ASSERT_EQ(missed.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(missed[i].key, a.signPublicKey);
    EXPECT_EQ(str(missed[i].payload), sent[i]);
  }
  // Then live, with nothing again; and one never seen before starts with
  // nothing at all.
  auto newcomer = server.join(fresh);
  sa->sendPacket(2, a.signPublicKey, text("live"));
  EXPECT_EQ(str(again->receiveFrame(10s)->payload), "live");
  EXPECT_EQ(str(newcomer->receiveFrame(10s)->payload), "live");
}

// count Broadcasts from sender, numbered from 0, a short pause every ten.
std::jthread floodFrom(testing_peer::Session& sender, const fixed::Identity& id, int count) {
  return std::jthread([&sender, &id, count] {
    for (int i = 0; i < count; ++i) {
      sender.sendPacket(2, id.signPublicKey, text(std::to_string(i)));
      if (i % 10 == 0) std::this_thread::sleep_for(2ms);
    }
  });
}

TEST(History, AMemberResetInTheMiddleOfAFloodGetsEveryMessageExactlyOnce) {
  if (const auto why = vanished_server::enterPrivateNetwork()) GTEST_SKIP() << *why;
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  ServerProcess server("127.0.100.2", {&a, &b});
  const std::string away = "127.0.100.12";
  server.join(b, away)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  auto first = server.join(b, away);
  auto sa = server.join(a);
  constexpr int kFlood = 4000;
  std::jthread flood = floodFrom(*sa, a, kFlood);
  std::vector<int> seen;
  const auto take = [&](const testing_peer::Frame& f) { seen.push_back(std::stoi(str(f.payload))); };
  while (seen.size() < kFlood / 4) take(*first->receiveFrame(10s));
  // The network drops what the server sends b from here, while b's
  // acknowledgements still get through; b reads everything its TCP
  // acknowledged; then the connection is reset under the server.
  // (Ahead of the rule that finds every loopback address local.)
  const std::string rule = "pref 0 from 127.0.100.2 to " + away + " ipproto tcp sport 8081 blackhole";
  ASSERT_EQ(std::system(("ip rule add pref 1 lookup local && ip rule del pref 0 lookup local && ip rule add " + rule)
                            .c_str()),
            0);
  while (const auto f = first->receiveFrame(500ms)) take(*f);
  ASSERT_LT(seen.size(), kFlood) << "the flood was over before the fault";
  if (std::system(("ss -K -t dst " + away + " >/dev/null").c_str()) != 0 || !server.waitForLog("disconnected", 2))
    GTEST_SKIP() << "this kernel cannot reset a connection from outside (ss -K)";
  first->reset();
  ASSERT_EQ(std::system(("ip rule del " + rule).c_str()), 0);

  auto second = server.join(b, away);
  auto opening = second->receiveFrame(10s);
  ASSERT_TRUE(opening);
  ASSERT_EQ(opening->key, server.key()) << str(opening->payload);
  while (seen.size() < kFlood) {
    const auto f = second->receiveFrame(10s);
    ASSERT_TRUE(f) << seen.size();
    if (f->key != server.key()) take(*f);
  }
  flood.join();
  for (int i = 0; i < kFlood; ++i) ASSERT_EQ(seen[i], i);
}

// A member whose connection drops and comes straight back, again and again,
// while another sends: each new session signs in as the last one leaves,
// before or after the server has seen it go, on either of its threads. What
// a closed session never acknowledged comes with the next; every message
// once, in order.
TEST(History, AMemberWhoSignsStraightBackInAgainAndAgainGetsEveryMessageOnce) {
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  ServerProcess server("127.0.100.5", {&a, &b}, {"--threads", "2"});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  auto sa = server.join(a);
  auto sb = server.join(b);
  constexpr int kRounds = 30, kEach = 50;
  std::vector<int> seen;
  for (int round = 0; round < kRounds; ++round) {
    // Everything sent so far was read: the closed socket acknowledges
    // nothing of what comes next.
    sb->close();
    for (int i = round * kEach; i < (round + 1) * kEach; ++i) sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
    sb = server.join(b);
    while (seen.size() < static_cast<std::size_t>((round + 1) * kEach)) {
      const auto f = sb->receiveFrame(10s);
      ASSERT_TRUE(f) << "round " << round << ", " << seen.size() << " seen";
      if (f->key != server.key()) seen.push_back(std::stoi(str(f->payload)));
    }
  }
  for (int i = 0; i < kRounds * kEach; ++i) ASSERT_EQ(seen[i], i) << "round " << i / kEach;
}

// A member whose new connection signs in while its old one is still open
// (the laptop back on the network before the server saw the old one go)
// gets on the new one what the old one's TCP had not acknowledged, then
// everything live: from about where the old one stood, each message once,
// in order; not again what the old one had.
TEST(History, ASignInBesideAnOpenSessionPicksUpWhereThatOneStood) {
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  ServerProcess server("127.0.100.4", {&a, &b});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  auto first = server.join(b);
  auto sa = server.join(a);
  constexpr int kFlood = 3000;
  std::jthread flood = floodFrom(*sa, a, kFlood);
  int had = 0;
  for (; had < kFlood / 3; ++had) {
    const auto f = first->receiveFrame(10s);
    ASSERT_TRUE(f && std::stoi(str(f->payload)) == had);
  }
  auto second = server.join(b);
  std::vector<int> seen;
  while (seen.empty() || seen.back() < kFlood - 1) {
    const auto f = second->receiveFrame(10s);
    ASSERT_TRUE(f) << seen.size();
    if (f->key != server.key()) seen.push_back(std::stoi(str(f->payload)));
  }
  flood.join();
  // Read, so acknowledged but for the last delayed acknowledgement.
  EXPECT_GE(seen.front(), had / 2);
  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], seen.front() + static_cast<int>(i));
}

TEST(History, ASigkilledServerLosesNoMoreThanTheLastSecond) {
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  ServerProcess server("127.0.100.3", {&a, &b, &c});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  {
    auto sa = server.join(a), sc = server.join(c);
    for (int i = 0; i < 50; ++i) sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(sc->receiveFrame(10s));
    std::this_thread::sleep_for(1100ms);
    server.kill();
  }
  server.start();
  auto again = server.join(b);
  const auto missed = catchUp(*again, server.key(), 50, true);
  ASSERT_EQ(missed.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(str(missed[i].payload), std::to_string(i));
}

// Members online when the server is killed, one that had left before and
// one on its first session: at their next sign-in, what they had is not
// given again, and what came while they were away is.
TEST(History, AMemberOnlineWhenTheServerIsKilledGetsWhatCameAfterAndNothingAgain) {
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  ServerProcess server("127.0.100.6", {&a, &b, &c});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  {
    auto sa = server.join(a), sb = server.join(b), sc = server.join(c);
    for (int i = 0; i < 20; ++i) sa->sendPacket(2, a.signPublicKey, text("had " + std::to_string(i)));
    for (auto* s : {sb.get(), sc.get()})
      for (int i = 0; i < 20; ++i) ASSERT_EQ(str(s->receiveFrame(10s)->payload), "had " + std::to_string(i));
    // Past what comes again: the last second before the last write, at
    // most half a second before the end.
    std::this_thread::sleep_for(2s);
    server.kill();
  }
  server.start();
  {
    auto sa = server.join(a);
    for (int i = 0; i < 5; ++i) sa->sendPacket(2, a.signPublicKey, text("after " + std::to_string(i)));
  }
  for (const auto* member : {&b, &c}) {
    auto again = server.join(*member);
    const auto missed = catchUp(*again, server.key(), 5, true);
    ASSERT_EQ(missed.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(str(missed[i].payload), "after " + std::to_string(i));
  }
}

// Numbers received by one member across its sessions, the server's own
// lines left out.
struct Tally {
  std::vector<int> seen;
  void take(Chatter& chatter, const Key& serverKey) {
    for (const auto& r : chatter.received())
      if (r.sender != serverKey) seen.push_back(std::stoi(str(r.payload)));
  }
  // Every number below count exactly once, in order.
  void expectAll(int count) const {
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(seen[i], i);
  }
};

TEST(HistoryCluster, AMemberAwayFromOneInstanceGetsWhatItMissedOnTheOther) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.101", 10, 2);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  for (const auto* id : {&a, &b, &c}) cluster.seed(*id);
  cluster.join(0, b)->close();
  ASSERT_TRUE(cluster.waitForLog(0, "disconnected"));
  auto sa = cluster.join(0, a);
  Chatter watcher(cluster.join(1, c));
  for (int i = 0; i < 110; ++i)
    sa->sendPacket(i % 11 == 10 ? 1 : 2, i % 11 == 10 ? b.signPublicKey : a.signPublicKey, text(std::to_string(i)));
  ASSERT_TRUE(watcher.waitFor(100));
  auto again = cluster.join(1, b);
  ASSERT_TRUE(again);
  const auto missed = catchUp(*again, cluster.key(), 110);
  ASSERT_EQ(missed.size(), 110u) << cluster.log(1) << cluster.log(0);
  for (int i = 0; i < 110; ++i) EXPECT_EQ(str(missed[i].payload), std::to_string(i));
}

TEST(HistoryCluster, ARollingRestartDuringAChatLosesNothingForAMemberWhoSignsInAgain) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.102", 10, 2);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  cluster.seed(a);
  cluster.seed(b);
  Tally tally;
  int next = 0;
  // a chats through one instance while the other, b's, restarts; b signs
  // in again through the one that stayed up.
  for (const int restarted : {1, 0}) {
    const int other = 1 - restarted;
    auto sa = cluster.join(other, a);
    auto first = std::make_unique<Chatter>(cluster.join(restarted, b));
    ASSERT_TRUE(sa && first->ok());
    std::jthread chat([&, from = next] {
      for (int i = from; i < from + 1500; ++i) {
        sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
        std::this_thread::sleep_for(1ms);
      }
    });
    ASSERT_TRUE(first->waitFor(200));
    cluster.restart(restarted);
    ASSERT_TRUE(first->waitEnded());
    tally.take(*first, cluster.key());
    first.reset();
    Chatter second(cluster.join(other, b));
    chat.join();
    next += 1500;
    ASSERT_TRUE(second.waitFor(static_cast<std::size_t>(next) - tally.seen.size()));
    std::this_thread::sleep_for(200ms);
    tally.take(second, cluster.key());
    ASSERT_EQ(tally.seen.size(), static_cast<std::size_t>(next));
  }
  tally.expectAll(next);
}

// An instance stopped dead in the middle of a chat: a member on it, who had
// left once before, signs in on the other and gets every message, and again
// only what came in the last moments before the kill, not all it had since
// it last left.
TEST(HistoryCluster, AMemberOnAnInstanceKilledMidChatGetsEveryMessageOnTheOther) {
  Cluster cluster(SOTTO_SERVER_BINARY, "127.0.104", 10, 2);
  ASSERT_TRUE(cluster.ok());
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  cluster.seed(a);
  cluster.seed(b);
  cluster.join(0, b)->close();
  ASSERT_TRUE(cluster.waitForLog(0, "disconnected"));
  auto sa = cluster.join(1, a);
  auto first = std::make_unique<Chatter>(cluster.join(0, b));
  ASSERT_TRUE(sa && first->ok());
  constexpr int kChat = 1000;
  std::jthread chat([&] {
    for (int i = 0; i < kChat; ++i) {
      sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
      std::this_thread::sleep_for(5ms);
    }
  });
  ASSERT_TRUE(first->waitFor(600));
  cluster.kill(0);
  ASSERT_TRUE(first->waitEnded());
  Tally had;
  had.take(*first, cluster.key());
  first.reset();
  Chatter second(cluster.join(1, b));
  chat.join();
  Tally then;
  for (int tries = 0; tries < 300 && (then.seen.empty() || then.seen.back() != kChat - 1); ++tries) {
    std::this_thread::sleep_for(100ms);
    then = {};
    then.take(second, cluster.key());
  }
  ASSERT_FALSE(then.seen.empty());
  ASSERT_EQ(then.seen.back(), kChat - 1);
  for (std::size_t i = 0; i < had.seen.size(); ++i) ASSERT_EQ(had.seen[i], static_cast<int>(i));
  for (std::size_t i = 1; i < then.seen.size(); ++i) ASSERT_EQ(then.seen[i], then.seen[i - 1] + 1);
  // Nothing lost; given again at most what came in about the last 1.5 s.
  const int again = static_cast<int>(had.seen.size()) - then.seen.front();
  EXPECT_GE(again, 0);
  EXPECT_LT(again, 400);
}

// What a sign-in is given past --max-missed, and after the store was held
// (another process's write lock) while more than its queue's worth of
// messages came: the newest five kept, the opening line saying how many
// older ones are not given, and, after the hold, the line that some may be
// missing. The file is the owner's alone.
struct Bound {
  const char* name;
  std::string address;
  bool storeHeld;
  int messages;
  std::size_t padding;  // bytes after each message's number
  std::string older;
};

void PrintTo(const Bound& row, std::ostream* out) { *out << row.name; }

class HistoryBounds : public testing::TestWithParam<Bound> {};

TEST_P(HistoryBounds, ASignInGetsTheNewestKeptAndIsToldWhatItDoesNotGet) {
  const Bound& row = GetParam();
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  ServerProcess server(row.address, {&a, &b, &c}, {"--max-missed", "5"});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  struct stat file {};
  ASSERT_EQ(::stat(server.file("history.sqlite3").c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(server.file("history.sqlite3").c_str(), &holder), SQLITE_OK);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closing(holder, &sqlite3_close);
  if (row.storeHeld) {
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  auto sa = server.join(a), sc = server.join(c);
  for (int i = 0; i < row.messages; ++i)
    sa->sendPacket(2, a.signPublicKey, text(std::to_string(i) + " " + std::string(row.padding, 'x')));
  // Relayed in order: once c has the last, every one was taken or not kept.
  sa->sendPacket(1, c.signPublicKey, text("done"));
  for (auto f = sc->receiveFrame(30s); f && str(f->payload) != "done"; f = sc->receiveFrame(30s)) {
  }
  if (row.storeHeld) {
    ASSERT_TRUE(server.waitForLog("cannot write")) << server.log();
    ASSERT_EQ(sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(server.waitForLog("writing again")) << server.log();
  }

  auto again = server.join(b);
  const auto missed = catchUp(*again, server.key(), 5, row.storeHeld, row.older);
  ASSERT_EQ(missed.size(), 5u);
  const int first = std::stoi(str(missed[0].payload));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(std::stoi(str(missed[i].payload)), first + i);
  if (!row.storeHeld) {
    EXPECT_EQ(first, row.messages - 5);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Store, HistoryBounds,
    testing::Values(Bound{"PastMaxMissed", "127.0.103.1", false, 20, 0, "15"},
                    // 64000-byte messages, past the 64 MiB the server holds for a store that lags.
                    Bound{"HeldPastItsQueue", "127.0.103.2", true, 1100, 64000, "\\d+"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every backend of the program's database stopped dead (SIGSTOP): the
// kernel still acknowledges, so nothing on the connections notices. The
// registry's, the state watch's, the history writer's and its reader's.
class FrozenDatabase {
 public:
  explicit FrozenDatabase(const std::string& conninfo) {
    Sql admin(conninfo);
    std::istringstream backends(admin("SELECT string_agg(pid::text, ' ') FROM pg_stat_activity"
                                      " WHERE datname = current_database() AND pid <> pg_backend_pid()"));
    for (pid_t pid; backends >> pid;) pids_.push_back(pid);
    for (const pid_t pid : pids_) stopped_ += ::kill(pid, SIGSTOP) == 0;
  }
  ~FrozenDatabase() { thaw(); }
  bool frozen() const { return pids_.size() == 4 && stopped_ == pids_.size(); }
  void thaw() {
    for (const pid_t pid : pids_) ::kill(pid, SIGCONT);
    pids_.clear();
  }

 private:
  std::vector<pid_t> pids_;
  std::size_t stopped_ = 0;
};

// A frozen database while messages wait to be kept and a sign-in waits for
// its catch-up.
TEST(HistoryStore, AFrozenDatabaseHoldsTheStopNoLongerThanFiveSecondsAndTheLogSaysWhatWasNotWritten) {
  PostgresCluster& cluster = PostgresCluster::shared();
  ASSERT_TRUE(cluster.ok());
  const std::string conninfo = cluster.freshDatabase();
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0);
  ServerProcess server("127.0.103.10", {&a, &b}, {"--postgres", conninfo});
  auto sa = server.join(a);
  const FrozenDatabase frozen(conninfo);
  ASSERT_TRUE(frozen.frozen());
  for (int i = 0; i < 10; ++i) sa->sendPacket(2, a.signPublicKey, text(std::to_string(i)));
  // Past the writer's batch window and its next heartbeat.
  std::this_thread::sleep_for(700ms);
  auto sb = server.join(b);

  const auto signalled = std::chrono::steady_clock::now();
  EXPECT_TRUE(server.stopsWithin(5s)) << server.log();
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  EXPECT_NE(server.log().find("messages not written: the database did not answer within 3 s"), std::string::npos)
      << server.log();
}

// A frozen database: a sign-in goes on without its catch-up once its wait
// is over, told some may be missing; a flood passes the 64 MiB that wait for
// the store, and the relay goes on; the log says so as it begins and how
// many were not kept once the store is back; and a member away meanwhile is
// told some of what it missed may be missing.
TEST(HistoryStore, AFrozenDatabaseHoldsNeitherASignInNorTheRelayAndWhoWasAwayIsToldSomeMayBeMissing) {
  PostgresCluster& cluster = PostgresCluster::shared();
  ASSERT_TRUE(cluster.ok());
  const std::string conninfo = cluster.freshDatabase();
  const auto a = fixed::make(1, 0), b = fixed::make(2, 0), c = fixed::make(3, 0);
  ServerProcess server("127.0.103.11", {&a, &b, &c}, {"--postgres", conninfo, "--max-missed", "100"});
  server.join(b)->close();
  ASSERT_TRUE(server.waitForLog("disconnected"));
  auto sa = server.join(a);
  FrozenDatabase frozen(conninfo);
  ASSERT_TRUE(frozen.frozen());
  auto sc = server.join(c);
  const auto told = sc->receiveFrame(10s);
  ASSERT_TRUE(told);
  EXPECT_EQ(told->key, server.key());
  EXPECT_TRUE(str(told->payload).starts_with("Some of what was sent")) << str(told->payload);
  constexpr int kFlood = 1300;  // of 60,000 bytes: 78 MB
  // No further ahead of c than c's queue holds: c is to get all of them.
  std::atomic<int> received{0};
  std::jthread flood([&](const std::stop_token& stop) {
    for (int i = 0; i < kFlood && !stop.stop_requested(); ++i) {
      while (i - received.load() >= 64 && !stop.stop_requested()) std::this_thread::sleep_for(1ms);
      Bytes payload = text(std::to_string(i));
      payload.resize(60'000, ' ');
      sa->sendPacket(2, a.signPublicKey, payload);
    }
  });
  for (int i = 0; i < kFlood; ++i) {
    const auto f = sc->receiveFrame(10s);
    ASSERT_TRUE(f) << i << server.log();
    ASSERT_EQ(std::stoi(str(f->payload)), i);
    received = i + 1;
  }
  flood.join();
  EXPECT_TRUE(server.waitForLog("history the store is behind: messages are not kept until it catches up"))
      << server.log();

  frozen.thaw();
  ASSERT_TRUE(server.waitForLog(" were not kept")) << server.log();
  std::smatch unkept;
  const std::string log = server.log();
  ASSERT_TRUE(std::regex_search(log, unkept, std::regex("keeping messages again; (\\d+) were not kept")));
  EXPECT_GT(std::stoi(unkept[1]), 0);
  EXPECT_LT(std::stoi(unkept[1]), kFlood);
  sa->sendPacket(2, a.signPublicKey, text("after"));
  ASSERT_EQ(str(sc->receiveFrame(10s)->payload), "after");

  auto again = server.join(b);
  const auto missed = catchUp(*again, server.key(), 100, true, "\\d+");
  ASSERT_EQ(missed.size(), 100u);
  EXPECT_EQ(str(missed.back().payload), "after");
}

// The store's rows, each a batch of one origin's messages, read back for a
// member, in SQLite and in PostgreSQL: each message it missed once, however
// the rows fall around its departure, its unacknowledged messages and its
// sign-in, and whatever rows of the origin have expired. Message seq s is
// written at 1000 + s: a Broadcast of another's when s % 4 is 0, a Direct to
// the member when 1, a Direct to another when 2, the member's own Broadcast
// when 3.
struct Rows {
  const char* name;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> batches;  // first and last seq written in one call
  std::int64_t forgetBefore;                                     // 0: nothing expires
  std::uint64_t departed, joined;                                // the cuts at the departure and the sign-in
  std::vector<std::uint64_t> listed;                             // unacknowledged at the departure
  std::vector<std::uint64_t> expected;
};

void PrintTo(const Rows& row, std::ostream* out) { *out << row.name; }

class HistoryRows : public testing::TestWithParam<std::tuple<bool, Rows>> {};

TEST_P(HistoryRows, AMemberGetsWhatItMissedFromTheRowsEachOnce) {
  const auto& [postgres, row] = GetParam();
  scratch::TempDir dir;
  std::string error;
  std::unique_ptr<sotto::HistoryStore> store;
  if (postgres) {
    ASSERT_TRUE(PostgresCluster::shared().ok());
    store = sotto::HistoryStore::openPostgres(PostgresCluster::shared().freshDatabase(), error);
  } else {
    store = sotto::HistoryStore::openSqlite(dir / "history.sqlite3", error);
  }
  ASSERT_TRUE(store) << error;
  const sotto::InstanceId origin{7};
  const sotto::Key member{1}, other{2};
  for (const auto& [first, last] : row.batches) {
    sotto::KeptBatch kept;
    for (std::uint64_t seq = first; seq <= last; ++seq) {
      const bool direct = seq % 4 == 1 || seq % 4 == 2;
      const sotto::Key& sender = seq % 4 == 3 ? member : other;
      const Packet packet(direct ? Direct : Broadcast, sender.data(), text(std::to_string(seq)));
      const sotto::Key& named = seq % 4 == 1 ? member : other;
      kept.add(seq, static_cast<std::int64_t>(1000 + seq), packet.serialize(), direct ? named.data() : nullptr);
    }
    ASSERT_TRUE(store->write(kept, {}, {}, {}, origin, last + 1, 0)) << store->lastError();
  }
  if (row.forgetBefore > 0) {
    ASSERT_TRUE(store->forget(row.forgetBefore)) << store->lastError();
  }

  sotto::MissedQuery query{member, 0, {{origin, row.departed}}, {}, {{origin, row.joined}}, 0, 100};
  for (const std::uint64_t seq : row.listed) query.listed.push_back({origin, seq});
  std::vector<sotto::Stored> missed;
  std::uint64_t total = 0;
  ASSERT_TRUE(store->missed(query, missed, total)) << store->lastError();
  std::sort(missed.begin(), missed.end(), [](const auto& a, const auto& b) { return a.id.seq < b.id.seq; });
  std::vector<std::uint64_t> seqs;
  for (const sotto::Stored& m : missed) {
    seqs.push_back(m.id.seq);
    EXPECT_EQ(Packet(*m.packet).payload, text(std::to_string(m.id.seq)));
    EXPECT_EQ(m.at, static_cast<std::int64_t>(1000 + m.id.seq));
  }
  EXPECT_EQ(seqs, row.expected);
  EXPECT_EQ(total, row.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Store, HistoryRows,
    testing::Combine(
        testing::Bool(),
        testing::Values(
            Rows{"ABatchStraddlingTheDepartureAndTheSignIn", {{0, 9}, {10, 19}}, 0, 6, 17, {4, 5},
                 {4, 5, 8, 9, 12, 13, 16}},
            Rows{"ARowExpiredWhileALaterOneOfTheOriginIsKept", {{0, 9}, {10, 19}}, 1010, 0, 20, {4, 5},
                 {12, 13, 16, 17}},
            Rows{"ABatchWrittenAgainLongerAfterItsCommitWasNotHeard", {{0, 4}, {0, 9}}, 0, 0, 10, {},
                 {0, 1, 4, 5, 8, 9}})),
    [](const auto& info) {
      return std::string(std::get<1>(info.param).name) + (std::get<0>(info.param) ? "InPostgres" : "InSqlite");
    });

// The SQLite store's rows keep their messages in files beside it, of
// 1,200 bytes here: two rows each. Forgetting removes a file whose rows
// are all old and erases, on the disk, an old row in a file that stays; a
// file made just before a crash is written on after it; a row an earlier
// server wrote with its messages in the database reads back.
TEST(HistoryFiles, ForgettingErasesOldRowsOnTheDiskAndEveryOtherRowReadsBack) {
  scratch::TempDir dir;
  const std::string path = dir / "history.sqlite3";
  const auto file = [&](int n) { return path + "-messages-" + std::to_string(n); };
  const sotto::InstanceId origin{7};
  const sotto::Key member{1}, other{2};
  // Row r: seqs 10r to 10r + 9, at 1000r + seq.
  const auto row = [&](std::uint64_t r) {
    sotto::KeptBatch kept;
    for (std::uint64_t seq = 10 * r; seq < 10 * r + 10; ++seq)
      kept.add(seq, static_cast<std::int64_t>(1000 * r + seq),
               Packet(Broadcast, other.data(), text(std::to_string(seq) + std::string(40, '.'))).serialize(), nullptr);
    return kept;
  };
  std::string error;
  auto store = sotto::HistoryStore::openSqlite(path, error, 1200);
  ASSERT_TRUE(store) << error;
  const auto missed = [&] {
    const sotto::MissedQuery query{member, 0, {{origin, 0}}, {}, {{origin, 1000}}, 0, 1000};
    std::vector<sotto::Stored> rows;
    std::uint64_t total = 0;
    EXPECT_TRUE(store->missed(query, rows, total)) << store->lastError();
    std::vector<std::uint64_t> seqs;
    for (const sotto::Stored& m : rows) {
      EXPECT_EQ(str(Packet(*m.packet).payload), std::to_string(m.id.seq) + std::string(40, '.'));
      seqs.push_back(m.id.seq);
    }
    std::sort(seqs.begin(), seqs.end());
    return seqs;
  };
  const auto seqsFrom = [](std::uint64_t first, std::uint64_t end) {
    std::vector<std::uint64_t> seqs;
    for (std::uint64_t seq = first; seq < end; ++seq) seqs.push_back(seq);
    return seqs;
  };
  {
    sqlite3* earlier = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &earlier), SQLITE_OK);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closing(earlier, &sqlite3_close);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(earlier, "INSERT INTO history_batches VALUES (?1, 90, 99, 9090, 9099, ?2)", -1,
                                 &insert, nullptr),
              SQLITE_OK);
    const sotto::Bytes inline_ = row(9).rows()[0].messages;
    sqlite3_bind_blob(insert, 1, origin.data(), static_cast<int>(origin.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, inline_.data(), static_cast<int>(inline_.size()), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_finalize(insert);
  }
  for (std::uint64_t r = 0; r < 6; ++r) ASSERT_TRUE(store->write(row(r), {}, {}, {}, origin, 10 * r + 10, 0)) << r;
  for (int n = 1; n <= 3; ++n) {
    struct stat st {};
    ASSERT_EQ(::stat(file(n).c_str(), &st), 0) << n;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_FALSE(std::filesystem::exists(file(4)));

  // Rows 0 to 2 are older: file 1 goes, and row 2's bytes in file 2 are zeros.
  ASSERT_TRUE(store->forget(2030)) << store->lastError();
  EXPECT_FALSE(std::filesystem::exists(file(1)));
  const std::size_t erased = row(2).rows()[0].messages.size();
  std::ifstream in(file(2), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), erased);
  EXPECT_EQ(bytes.find_first_not_of('\0'), erased);
  auto expected = seqsFrom(30, 60);
  for (std::uint64_t seq : seqsFrom(90, 100)) expected.push_back(seq);
  EXPECT_EQ(missed(), expected);

  store.reset();
  std::ofstream(file(7)).close();
  store = sotto::HistoryStore::openSqlite(path, error, 1200);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->write(row(6), {}, {}, {}, origin, 70, 0)) << store->lastError();
  EXPECT_GT(std::filesystem::file_size(file(7)), 0u);
  expected = seqsFrom(30, 70);
  for (std::uint64_t seq : seqsFrom(90, 100)) expected.push_back(seq);
  EXPECT_EQ(missed(), expected);
}

// A catch-up that meets a row being forgotten finds its bytes gone and
// passes over it, rather than failing the catch-up or reading zeros as
// messages.
struct Gone {
  const char* name;
  std::function<void(sotto::HistoryFiles& writer, const sotto::RowPlace& place)> make;
  bool gone;
};

void PrintTo(const Gone& row, std::ostream* out) { *out << row.name; }

class RowBytes : public testing::TestWithParam<Gone> {};

TEST_P(RowBytes, ReadBackOrReadAsGone) {
  scratch::TempDir dir;
  sotto::HistoryFiles writer(dir / "history.sqlite3", 1 << 20), reader(dir / "history.sqlite3", 1 << 20);
  std::string error;
  const sotto::Bytes before(100, 0xc1), row(300, 0xc1);
  sotto::RowPlace first, place;
  ASSERT_TRUE(writer.openNewest(0, error)) << error;
  ASSERT_TRUE(writer.append(before, first, error)) << error;
  ASSERT_TRUE(writer.append(row, place, error)) << error;
  EXPECT_EQ(place.offset, before.size());
  GetParam().make(writer, place);
  sotto::Bytes read;
  bool gone = false;
  ASSERT_TRUE(reader.read(place, read, gone, error)) << error;
  EXPECT_EQ(gone, GetParam().gone);
  if (!gone) {
    EXPECT_EQ(read, row);
  }
}

INSTANTIATE_TEST_SUITE_P(
    HistoryFiles, RowBytes,
    testing::Values(Gone{"Untouched", [](sotto::HistoryFiles&, const sotto::RowPlace&) {}, false},
                    Gone{"TheRowErased",
                         [](sotto::HistoryFiles& w, const sotto::RowPlace& p) {
                           std::string error;
                           EXPECT_TRUE(w.erase(p, error)) << error;
                         },
                         true},
                    Gone{"TheFileRemoved",
                         [](sotto::HistoryFiles& w, const sotto::RowPlace& p) {
                           std::string error;
                           EXPECT_TRUE(w.remove(p.file, error)) << error;
                         },
                         true},
                    Gone{"TheFileCutShort",
                         [](sotto::HistoryFiles& w, const sotto::RowPlace& p) {
                           std::filesystem::resize_file(w.path(p.file), p.offset + p.length - 1);
                         },
                         true}),
    [](const auto& info) { return std::string(info.param.name); });

// The rows the relay's copies are written in: every row within the bound
// unless one message alone passes it, every message once and in order, the
// Directs to unregistered identities gone, and a batch whose commit failed
// keeping its rows' starts and bytes when more is appended for the retry.
// Message seq s has a payload of payloads[s % size] bytes; every refusedEvery-th is a
// Direct to an identity the registry does not know.
struct Batch {
  const char* name;
  std::vector<std::size_t> payloads;
  std::uint64_t count, refusedEvery, failedAfter;
};

void PrintTo(const Batch& batch, std::ostream* out) { *out << batch.name; }

class KeptRows : public testing::TestWithParam<Batch> {};

TEST_P(KeptRows, HoldEveryMessageOnceInOrderWithinTheBound) {
  const Batch& b = GetParam();
  const sotto::Key sender{3}, refused{4};
  const auto add = [&](sotto::KeptBatch& into, std::uint64_t seq) {
    const bool direct = b.refusedEvery > 0 && seq % b.refusedEvery == 0;
    const Packet packet(direct ? Direct : Broadcast, sender.data(), Bytes(b.payloads[seq % b.payloads.size()], 'x'));
    into.add(seq, static_cast<std::int64_t>(seq), packet.serialize(), direct ? refused.data() : nullptr);
  };
  const auto registered = [&](const sotto::Key& k) { return k != refused; };
  sotto::KeptBatch batch, more;
  for (std::uint64_t seq = 0; seq < b.failedAfter; ++seq) add(batch, seq);
  batch.keepDirects(registered);
  const std::vector<sotto::BatchRow> failed = batch.rows();
  for (std::uint64_t seq = b.failedAfter; seq < b.count; ++seq) add(more, seq);
  more.keepDirects(registered);
  batch.take(more);

  const auto& rows = batch.rows();
  ASSERT_GE(rows.size(), failed.size());
  for (std::size_t i = 0; i < failed.size(); ++i) {
    EXPECT_EQ(rows[i].firstSeq, failed[i].firstSeq) << "row " << i;
    EXPECT_TRUE(std::equal(failed[i].messages.begin(), failed[i].messages.end(), rows[i].messages.begin()));
  }
  std::vector<std::uint64_t> seqs, expected;
  std::size_t bytes = 0;
  for (const sotto::BatchRow& row : rows) {
    std::size_t inRow = 0;
    ASSERT_TRUE(sotto::history_sql::readRow(row.messages, [&](const sotto::history_sql::RowMessage& m) {
      const Packet packet(sotto::Bytes(m.packet.begin(), m.packet.end()));
      EXPECT_EQ(packet.type, Broadcast) << m.seq;
      EXPECT_EQ(packet.key, sender) << m.seq;
      EXPECT_EQ(packet.payload.size(), b.payloads[m.seq % b.payloads.size()]) << m.seq;
      EXPECT_EQ(m.at, static_cast<std::int64_t>(m.seq));
      EXPECT_EQ(m.seq == row.firstSeq, inRow++ == 0);
      seqs.push_back(m.seq);
    }));
    EXPECT_EQ(seqs.back(), row.lastSeq);
    EXPECT_TRUE(row.messages.size() <= sotto::KeptBatch::kRowBytes || inRow == 1) << row.messages.size();
    bytes += row.messages.size();
  }
  for (std::uint64_t seq = 0; seq < b.count; ++seq)
    if (b.refusedEvery == 0 || seq % b.refusedEvery != 0) expected.push_back(seq);
  EXPECT_EQ(seqs, expected);
  EXPECT_EQ(batch.size(), expected.size());
  EXPECT_EQ(batch.bytes(), bytes);
}

// A row written before rows were compact reads back as it was written.
TEST(KeptRows, ARowInTheEarlierLayoutStillReadsBack) {
  const sotto::Key sender{3}, named{4};
  sotto::Bytes row;
  for (std::uint64_t seq : {7, 9}) {
    const Packet packet(seq == 9 ? Direct : Broadcast, sender.data(), text("line " + std::to_string(seq)));
    const sotto::Bytes bytes = packet.serialize();
    for (std::uint64_t v : {seq, 1000 + seq})
      for (int i = 7; i >= 0; --i) row.push_back(static_cast<unsigned char>(v >> (8 * i)));
    for (int i = 3; i >= 0; --i) row.push_back(static_cast<unsigned char>(bytes.size() >> (8 * i)));
    row.insert(row.end(), bytes.begin(), bytes.end());
    if (seq == 9) row.insert(row.end(), named.begin(), named.end());
  }
  std::vector<std::string> read;
  ASSERT_TRUE(sotto::history_sql::readRow(row, [&](const sotto::history_sql::RowMessage& m) {
    const Packet packet(sotto::Bytes(m.packet.begin(), m.packet.end()));
    read.push_back(std::to_string(m.seq) + "@" + std::to_string(m.at) + " " + str(packet.payload) +
                   (m.named && std::equal(named.begin(), named.end(), m.named) ? " to named" : ""));
  }));
  EXPECT_EQ(read, (std::vector<std::string>{"7@1007 line 7", "9@1009 line 9 to named"}));
}

INSTANTIATE_TEST_SUITE_P(
    Batch, KeptRows,
    testing::Values(Batch{"ShortLinesFillRowsUpToTheBound", {64}, 40'000, 0, 40'000},
                    Batch{"AMessageLargerThanARowHasOneOfItsOwn", {64, 64, 3u << 20, 64}, 12, 0, 12},
                    Batch{"DirectsToNobodyAreDroppedAcrossRows", {100, 900}, 5'000, 7, 5'000},
                    Batch{"ARetryAppendsAfterTheRowsAlreadyTried", {64, 2000}, 30'000, 3, 12'345}),
    [](const auto& info) { return std::string(info.param.name); });

// Who left, for the sign-ins that need no catch-up: every identity added is
// always there (one missed would lose its catch-up), and few that were not
// added seem to be.
TEST(DepartedFilter, NeverForgetsAnIdentityAndRarelyClaimsANewOne) {
  constexpr std::size_t kCount = 100'000;
  std::vector<sotto::Key> keys(2 * kCount);
  const unsigned char seed[randombytes_SEEDBYTES] = {7};
  randombytes_buf_deterministic(keys.data(), keys.size() * sizeof keys[0], seed);
  sotto::DepartedFilter departed;
  for (std::size_t i = 0; i < kCount; ++i) departed.add(keys[i]);
  for (std::size_t i = 0; i < kCount; ++i) ASSERT_TRUE(departed.may(keys[i])) << i;
  std::size_t claimed = 0;
  for (std::size_t i = kCount; i < keys.size(); ++i) claimed += departed.may(keys[i]);
  EXPECT_LT(claimed, kCount / 300);
}

}  // namespace
