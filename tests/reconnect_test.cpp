// After a lost connection the sotto binary signs in again on its own: the
// real binary under tmux, against the real server restarted under it and
// against the test peer, which counts the attempts and reads their hellos.
// Addresses 127.0.40.x belong to this file.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <set>

#include "tests/support/child_process.hpp"
#include "tests/support/scratch.hpp"
#include "tests/support/signed_in_binary.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_peer::Behaviour;
using testing_peer::TestPeer;

const std::string lostNotice = "Connection lost. Reconnecting\u2026 (Esc exits)";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The binary with a known, registered identity, chatting with the test peer.
class Reconnect : public testing::Test, protected SignedInBinary {
 protected:
  void start(const char* address) {
    if (const auto why = SignedInBinary::start(SOTTO_BINARY, address)) FAIL() << *why;
  }

  // The peer drops the session; the binary says so and starts pausing.
  Clock::time_point lose() {
    session->close();
    const auto lost = Clock::now();
    EXPECT_TRUE(term->waitForText(lostNotice)) << term->dump();
    return lost;
  }

  void expectLeavesAtOnce() const {
    const auto pressed = Clock::now();
    term->keys({"Escape"});
    EXPECT_EQ(run.waitStatus(), 0) << run.standardError();
    EXPECT_LT(secondsSince(pressed), 1.5);
    EXPECT_TRUE(term->waitForText("Exiting.")) << term->dump();
    EXPECT_EQ(run.standardError(), "");
  }
};

TEST_F(Reconnect, PausesDoubleAndEveryAttemptBringsAFreshKeyExchangeKey) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.40.2"));
  std::set<testing_peer::Key> kxKeys{session->hello().kxPublicKey()};
  auto last = lose();
  // Two refused attempts, then one that works: pauses of about 1, 2 and 4 s.
  const Behaviour answers[] = {Behaviour::closeAfterHello, Behaviour::closeAfterHello, Behaviour::normal};
  double nominal = 1;
  // Typed while disconnected: Enter sends nothing, and the text waits.
  term->text("back");
  term->keys({"Enter"});
  for (const Behaviour answer : answers) {
    session = peer->accept(answer, 15s);
    ASSERT_TRUE(session);
    const double gap = secondsSince(last);
    last = Clock::now();
    EXPECT_GT(gap, 0.7 * nominal) << "pause meant to be about " << nominal << " s";
    EXPECT_LT(gap, 1.3 * nominal + 0.5) << "pause meant to be about " << nominal << " s";
    nominal *= 2;
    // The identity is registered: no proof, refused or not.
    EXPECT_EQ(session->hello().flag(), 0);
    EXPECT_TRUE(session->hello().signatureValid);
    kxKeys.insert(session->hello().kxPublicKey());
  }
  EXPECT_EQ(kxKeys.size(), 4u);
  ASSERT_TRUE(term->waitForText("Reconnected.")) << term->dump();

  // The server's catch-up, in one write, is on screen at once, under the
  // text still waiting in the input.
  session->sendBurst(testing_peer::Key{}, "missed ", 500);
  const auto caughtUp = [](const tmux_harness::Screen& s) {
    return s.size() == 30 && s[28].ends_with(": missed 500") && s[29] == "> back";
  };
  EXPECT_TRUE(term->waitFor(caughtUp, 5s)) << term->dump();

  // The new session carries the typed line.
  term->text(" again");
  term->keys({"Enter"});
  const auto frame = session->receiveFrame(5s);
  ASSERT_TRUE(frame && frame->opened);
  EXPECT_EQ(frame->payload, testing_peer::Bytes({'b', 'a', 'c', 'k', ' ', 'a', 'g', 'a', 'i', 'n'}));
  expectLeavesAtOnce();
}

// Esc while it waits before an attempt, and while an attempt waits for a
// silent server: neither is waited for.
struct Moment {
  const char* name;
  Behaviour answer;  // to every attempt
  int attempts;      // before Esc
  const char* address;
};
void PrintTo(const Moment& moment, std::ostream* out) { *out << moment.name; }

class EscWhileReconnecting : public Reconnect, public testing::WithParamInterface<Moment> {};

TEST_P(EscWhileReconnecting, LeavesAtOnceWithStatusZero) {
  ASSERT_NO_FATAL_FAILURE(start(GetParam().address));
  lose();
  // Two refused attempts are followed by a pause of about 4 s; a silent
  // server keeps an attempt waiting 15 s for its welcome.
  for (int i = 0; i < GetParam().attempts; ++i) {
    session = peer->accept(GetParam().answer, 15s);
    ASSERT_TRUE(session);
  }
  std::this_thread::sleep_for(300ms);
  expectLeavesAtOnce();
}

INSTANTIATE_TEST_SUITE_P(Moments, EscWhileReconnecting,
                         testing::Values(Moment{"DuringAPause", Behaviour::closeAfterHello, 2, "127.0.40.3"},
                                         Moment{"DuringAnAttempt", Behaviour::neverAnswer, 1, "127.0.40.4"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Reconnect, AWelcomeThatDoesNotOpenEndsTheRetriesAndSaysWhy) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.40.5"));
  lose();
  ASSERT_TRUE(peer->accept(Behaviour::wrongKeyWelcome, 15s));
  EXPECT_TRUE(term->waitForText("Not reconnecting: the server's welcome did not open")) << term->dump();
  // The next pause would have ended within 2.4 s.
  EXPECT_FALSE(peer->accept(Behaviour::normal, 4s));
  expectLeavesAtOnce();
}

// The real server, stopped and started again on the same data directory.
TEST(ReconnectToServer, ComesBackAfterTheServerRestarts) {
  sotto_run::SottoRun run;
  ASSERT_ISOLATED(run.privateTmpWorks());
  scratch::TempDir dir;
  const std::string address = "127.0.40.10";
  const auto enrolled = tmux_harness::run(
      {SOTTO_SERVER_BINARY, "--data-dir", dir / "data", "--enroll", dir / "user", "--address", address});
  ASSERT_EQ(enrolled.status, 0);
  std::filesystem::copy_file(dir / "user/client.conf", run.configPath());
  const std::vector<std::string> serve{SOTTO_SERVER_BINARY, "--listen", address, "--data-dir", dir / "data"};

  auto server = std::make_unique<Child>(serve, dir / "server.log");
  ASSERT_NE(server->firstLine(), "");
  tmux_harness::Session term(100, 30, run.command(SOTTO_BINARY));
  ASSERT_TRUE(term.waitForText("Connected. Press Esc to exit.")) << term.dump();

  server->signal(SIGTERM);
  ASSERT_EQ(server->wait(), 0);
  ASSERT_TRUE(term.waitForText(lostNotice)) << term.dump();
  server = std::make_unique<Child>(serve, dir / "server.log");
  ASSERT_NE(server->firstLine(), "");
  const auto restarted = Clock::now();
  ASSERT_TRUE(term.waitForText("Reconnected.", 40s)) << term.dump();
  RecordProperty("reconnect_ms", static_cast<int>(1000 * secondsSince(restarted)));

  term.text("still here");
  term.keys({"Enter"});
  EXPECT_TRUE(term.waitFor([](const tmux_harness::Screen& s) { return tmux_harness::contains(s, "still here") &&
                                                                      s.back() == ">"; }))
      << term.dump();
  term.keys({"Escape"});
  EXPECT_EQ(run.waitStatus(), 0) << run.standardError();
}

}  // namespace
