// The first run and the ways a connection fails, seen from outside: the
// sotto binary in a real terminal, its files, and what the test peer
// received. Addresses 127.0.4.x belong to this file.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

#include "tests/support/fixed_identity.hpp"
#include "tests/support/scratch.hpp"
#include "tests/support/sotto_run.hpp"
#include "tests/support/test_peer.hpp"
#include "tests/support/tmux_session.hpp"

namespace {

using namespace std::chrono_literals;
using testing_peer::Behaviour;
using testing_peer::TestPeer;
using tmux_harness::Screen;

const std::string addressPrompt = "Enter server address (e.g., 192.168.1.100): ";
const std::string keyPrompt = "Enter server public key (64 hex chars): ";
const std::string lengthPrompt = "Invalid length. Enter 64 hex chars: ";
const std::string hexPrompt = "Invalid key. Enter 64 hex chars: ";

// The capture trims the blank that ends a prompt still waiting for input.
std::string waiting(const std::string& prompt) { return prompt.substr(0, prompt.size() - 1); }

using scratch::slurp;

class FirstRunInTerminal : public testing::Test {
 protected:
  sotto_run::SottoRun run;
  std::unique_ptr<tmux_harness::Session> term;

  void SetUp() override { ASSERT_ISOLATED(run.privateTmpWorks()); }

  void launch(const std::string& environment = "") {
    // Wide enough that no prompt with its answer wraps.
    term = std::make_unique<tmux_harness::Session>(160, 30, run.command(SOTTO_BINARY, environment));
  }

  // Waits for a prompt at the end of the screen's text, then answers it.
  void answer(const std::string& prompt, const std::string& text) const {
    ASSERT_TRUE(term->waitFor([&](const Screen& s) { return !s.empty() && lastLine(s) == waiting(prompt); }))
        << term->dump();
    term->text(text);
    term->keys({"Enter"});
  }

  static std::string lastLine(const Screen& s) {
    for (auto row = s.rbegin(); row != s.rend(); ++row)
      if (!row->empty()) return *row;
    return {};
  }

  // "Connection failed." and one line that starts with reason.
  void expectConnectionFailed(const std::string& reason, std::chrono::milliseconds within = 10s) const {
    EXPECT_EQ(run.waitStatus(within), 1);
    const std::string error = run.standardError();
    EXPECT_EQ(error.rfind("Connection failed.\n" + reason, 0), 0u) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 2) << error;
    // Restored: the notice lived on the full-screen page only.
    EXPECT_FALSE(tmux_harness::contains(term->screen(), "onnecting to")) << term->dump();
  }
};

TEST_F(FirstRunInTerminal, AsksInItsOwnWordsSavesTheRecordAndReportsAnUnreachableServer) {
  ASSERT_NO_FATAL_FAILURE(launch());
  const std::string upperKey = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
  answer(addressPrompt, "127.0.4.1");
  answer(keyPrompt, "abc");
  answer(lengthPrompt, std::string(64, 'z'));
  answer(hexPrompt, upperKey);
  // Nothing listens there.
  expectConnectionFailed("No connection could be made to 127.0.4.1 on port 8081 (refused or timed out)");

  const Screen screen = term->joinedScreen();
  const Screen expected{"Config file not found. Creating new.",
                        addressPrompt + "127.0.4.1",
                        keyPrompt + "abc",
                        lengthPrompt + std::string(64, 'z'),
                        hexPrompt + upperKey,
                        "Config saved."};
  ASSERT_GE(screen.size(), expected.size()) << term->dump();
  EXPECT_EQ(Screen(screen.begin(), screen.begin() + expected.size()), expected) << term->dump();

  struct stat info {};
  ASSERT_EQ(::stat(run.configPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string record = slurp(run.configPath());
  ASSERT_EQ(record.size(), 384u);
  EXPECT_EQ(record.substr(0, 256), "127.0.4.1" + std::string(247, '\0'));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(static_cast<unsigned char>(record[256 + i]), i);
  // A working identity: the secret key belongs to the public one.
  unsigned char derived[32];
  crypto_sign_ed25519_sk_to_pk(derived, reinterpret_cast<const unsigned char*>(record.data()) + 320);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(derived), 32), record.substr(288, 32));
  EXPECT_NE(record.substr(288, 32), std::string(32, '\0'));
}

TEST_F(FirstRunInTerminal, ProvesItsWorkOnceAndNotOnTheNextRun) {
  TestPeer peer("127.0.4.2");
  // The new identity is a fixed one with a known smallest nonce (ASan
  // would rather be first of the preloaded libraries; it need not be).
  const fixed::Identity me = fixed::twoByteNonce();
  ASSERT_NO_FATAL_FAILURE(launch("LD_PRELOAD=" SOTTO_FIXED_IDENTITY
                                 " ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\""));
  answer(addressPrompt, "127.0.4.2");
  answer(keyPrompt, peer.publicKeyHex());
  EXPECT_TRUE(term->waitForText("Setting up your new identity and connecting to 127.0.4.2...")) << term->dump();
  auto session = peer.accept();
  ASSERT_TRUE(session);
  const std::string record = slurp(run.configPath());
  ASSERT_EQ(record.size(), 384u);
  const std::string ownKey = record.substr(288, 32);
  EXPECT_EQ(ownKey, std::string(me.signPublicKey.begin(), me.signPublicKey.end()));
  {
    const auto& hello = session->hello();
    ASSERT_TRUE(hello.unsealed);
    EXPECT_TRUE(hello.signatureValid);
    EXPECT_EQ(hello.flag(), 1);
    EXPECT_TRUE(hello.proofOfWorkHolds());
    // The first nonce that holds, not merely one that does.
    std::array<unsigned char, 32> smallest{};
    for (std::size_t i = 0; i < 8; ++i) smallest[i] = static_cast<unsigned char>(me.smallestNonce >> (8 * i));
    EXPECT_EQ(hello.powNonce(), smallest);
    const auto key = hello.signPublicKey();
    EXPECT_EQ(std::string(key.begin(), key.end()), ownKey);
  }
  EXPECT_TRUE(term->waitForText("Connected. Press Esc to exit.")) << term->dump();
  term->keys({"Escape"});
  EXPECT_EQ(run.waitStatus(), 0) << run.standardError();
  EXPECT_TRUE(term->waitForText("Exiting.")) << term->dump();

  // The next run loads the file: no questions, no proof.
  term = std::make_unique<tmux_harness::Session>(160, 30, run.command(SOTTO_BINARY));
  EXPECT_TRUE(term->waitForText("Connecting to 127.0.4.2...")) << term->dump();
  session = peer.accept();
  ASSERT_TRUE(session);
  const auto& hello = session->hello();
  ASSERT_TRUE(hello.unsealed);
  EXPECT_TRUE(hello.signatureValid);
  EXPECT_EQ(hello.flag(), 0);
  EXPECT_EQ(hello.powNonce(), (std::array<unsigned char, 32>{}));
  const auto key = hello.signPublicKey();
  EXPECT_EQ(std::string(key.begin(), key.end()), ownKey);
  EXPECT_TRUE(term->waitForText("Connected. Press Esc to exit.")) << term->dump();
  term->keys({"Escape"});
  EXPECT_EQ(run.waitStatus(), 0) << run.standardError();
  EXPECT_FALSE(tmux_harness::contains(term->screen(), "Config file not found")) << term->dump();
  EXPECT_EQ(slurp(run.configPath()), record);
}

// Each step a sign-in can fail at, named on the line after "Connection
// failed.". (A refused hello is retried with the proof, which the binary
// would mine for a random key-exchange key: sign_in_test.cpp covers it with a
// known one.)
struct Failure {
  const char* name;
  std::string host;      // what client.conf names
  bool listening;        // the peer, answering the one hello with wrongKeyWelcome
  std::string reason;
};
void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }

class FailedSignIn : public FirstRunInTerminal, public testing::WithParamInterface<Failure> {};

TEST_P(FailedSignIn, SaysWhichStepFailed) {
  const Failure& failure = GetParam();
  std::unique_ptr<TestPeer> peer;
  if (failure.listening) peer = std::make_unique<TestPeer>(failure.host);
  const fixed::Identity me = fixed::twoByteNonce();
  const testing_peer::Key serverKey = peer ? peer->publicKey() : testing_peer::Key{};
  run.writeConfig(failure.host, serverKey.data(), me.signPublicKey.data(), me.signSecretKey.data());
  ASSERT_NO_FATAL_FAILURE(launch());
  if (peer) {
    ASSERT_TRUE(peer->accept(Behaviour::wrongKeyWelcome));
  }
  expectConnectionFailed(failure.reason, 20s);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailedSignIn,
    testing::Values(Failure{"NameDoesNotResolve", "nowhere.invalid", false,
                            "The name \"nowhere.invalid\" did not resolve"},
                    Failure{"NothingListens", "127.0.4.3", false, "No connection could be made to 127.0.4.3"},
                    Failure{"WelcomeFromAnotherKey", "127.0.4.6", true,
                            "The server's welcome did not open: the server key in client.conf does not match"}),
    [](const auto& info) { return std::string(info.param.name); });

// What cannot hold the record ends the run with one line, before any prompt
// and without waiting on it.
class NotARegularFile : public FirstRunInTerminal, public testing::WithParamInterface<std::string> {};

TEST_P(NotARegularFile, IsNamedAndEndsTheRunBeforeAnyPrompt) {
  const std::string kind = GetParam();
  const auto path = run.configPath();
  ASSERT_TRUE(kind == "a FIFO" ? ::mkfifo(path.c_str(), 0600) == 0 : std::filesystem::create_directory(path));
  ASSERT_NO_FATAL_FAILURE(launch());
  EXPECT_EQ(run.waitStatus(), 1) << term->dump();
  EXPECT_EQ(run.standardError(), "client.conf is " + kind + ", not a regular file.\n");
  EXPECT_FALSE(tmux_harness::contains(term->screen(), "Config file not found")) << term->dump();
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotARegularFile, testing::Values("a FIFO", "a directory"),
                         [](const auto& info) { return std::string(info.index == 0 ? "Fifo" : "Directory"); });

std::string promptName(std::size_t answered) {
  const char* names[] = {"AtAddress", "AtKey", "AtRetry"};
  return names[answered];
}

// Ctrl-D at each kind of prompt: the given answers, then end of input.
class EndOfInput : public FirstRunInTerminal, public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(EndOfInput, EndsWithOneLineAndNoFile) {
  ASSERT_NO_FATAL_FAILURE(launch());
  const std::vector<std::string> prompts{addressPrompt, keyPrompt, lengthPrompt};
  const auto& answers = GetParam();
  for (std::size_t i = 0; i < answers.size(); ++i) answer(prompts[i], answers[i]);
  const std::string& last = prompts[answers.size()];
  ASSERT_TRUE(term->waitFor([&](const Screen& s) { return lastLine(s) == waiting(last); })) << term->dump();
  term->keys({"C-d"});
  EXPECT_EQ(run.waitStatus(), 1);
  const std::string error = run.standardError();
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find('\n'), error.size() - 1) << error;
  EXPECT_FALSE(std::filesystem::exists(run.configPath()));
}

INSTANTIATE_TEST_SUITE_P(Prompts, EndOfInput,
                         testing::Values(std::vector<std::string>{}, std::vector<std::string>{"127.0.4.5"},
                                         std::vector<std::string>{"127.0.4.5", "abc"}),
                         [](const auto& info) { return promptName(info.index); });

// The options print and end at once: no terminal set-up, no connection.
TEST(Options, PrintAndExitWithoutConnecting) {
  sotto_run::SottoRun run;
  const auto sotto = [&](const std::string& option) {
    return tmux_harness::run({"sh", "-c", "cd " + tmux_harness::shellQuote(run.dir().string()) + " && exec " +
                                              tmux_harness::shellQuote(SOTTO_BINARY) + " " + option + " 2>&1"});
  };
  const auto help = sotto("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: sotto [--key | --version | --help]\n", 0), 0u) << help.out;
  const auto version = sotto("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("sotto ", 0), 0u) << version.out;
  EXPECT_EQ(sotto("--key").status, 1) << "no client.conf yet";
  EXPECT_EQ(sotto("--chat").status, 2);
  EXPECT_FALSE(std::filesystem::exists(run.configPath()));

  const fixed::Identity me = fixed::twoByteNonce();
  const testing_peer::Key serverKey{};
  run.writeConfig("127.0.4.8", serverKey.data(), me.signPublicKey.data(), me.signSecretKey.data());
  const auto key = sotto("--key");
  EXPECT_EQ(key.status, 0);
  EXPECT_EQ(key.out, testing_peer::hex(me.signPublicKey.data(), 32) + "\n");
}

}  // namespace
