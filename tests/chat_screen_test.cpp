// The chat window with more than a screenful: long pastes, split escape
// sequences, names, a catch-up of thousands of lines, and scrolling back.
// The sotto binary under tmux against the test peer; addresses 127.0.50.x
// belong to this file.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "tests/support/chat_window.hpp"

namespace {

using namespace std::chrono_literals;
using namespace chat_harness;
using testing_peer::Bytes;
using tmux_harness::Screen;

std::string letters(std::size_t count) {
  std::string text(count, ' ');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

class ChatScreen : public ChatWindow {
 protected:
  // Lines "<key>: caught up 1" to N, sent in one write, as a server catching
  // a member up after its sign-in.
  void catchUp(int count) const { session->sendBurst(countingKey(), "caught up ", count); }
  static std::string caughtUp(int i) { return countingKeyHex + ": caught up " + std::to_string(i); }
};

TEST_F(ChatScreen, APasteOfTenThousandCharactersArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.50.1", 100, 30));
  // Its end is found nowhere else in it.
  const std::string text = letters(9990) + " the end.!";
  term->paste(text);
  ASSERT_TRUE(term->waitFor([&](const Screen& s) { return row(s, 29) == "> " + text.substr(10000 - 97); }))
      << term->dump();
  term->keys({"Enter"});
  EXPECT_EQ(nextPayload(), bytesOf(text));
  quit();
}

// The halves of each sequence come in separate reads of the terminal, as
// over a slow link; none of it may end up as text.
TEST_F(ChatScreen, EscapeSequencesSplitAcrossReadsLeaveNothingInTheInput) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.50.2", 100, 30, "TERM=screen"));
  const struct {
    std::initializer_list<unsigned char> first, second;
  } splits[] = {
      {{0x1B, '[', '1', ';'}, {'5', 'A'}},       // Ctrl+Up
      {{0x1B, '[', '1', ';', '3'}, {'D'}},       // Alt+Left
      {{0x1B, '[', '9'}, {'9', '~'}},            // a key nobody knows
      {{0x1B, 'O'}, {'P'}},                      // F1 as SS3
  };
  for (const auto& split : splits) {
    // Only halves well inside the wait show anything; a busy machine may
    // part them further, so what came late is erased and tried again.
    bool together = false;
    for (int attempt = 0; attempt < 5 && !together; ++attempt) {
      together = term->bytesApart(split.first, split.second, 40ms) < 90ms;
      if (!together) term->bytes({0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F});
    }
    if (!together) GTEST_SKIP() << "tmux never sent the halves within 90 ms of each other";
    send("x");
    EXPECT_EQ(nextPayload(), bytesOf("x"));
  }
  quit();
}

TEST_F(ChatScreen, NamedKeysShowTheirNameOthersTheirKeyAndBadLinesAreNamedOnce) {
  {
    std::ofstream names(run.dir() / "names");
    names << "# who is who\n"
          << countingKeyHex << " alice\n"
          << std::string(64, 'a') << " deadbeef\n"  // could pass for a key
          << std::string(64, 'b') << " bell\a\n";
  }
  ASSERT_NO_FATAL_FAILURE(start("127.0.50.3", 100, 30, "", 4));
  EXPECT_EQ(term->screen()[1].rfind("Ignored lines 3, 4 of names: ", 0), 0u) << term->dump();
  session->sendPacket(2, countingKey(), bytesOf("hi"));
  Key other{};
  other[0] = 0xAB;
  session->sendPacket(2, other, bytesOf("hello"));
  EXPECT_TRUE(waitForRow(5, "alice: hi")) << term->dump();
  EXPECT_TRUE(waitForRow(6, "ab" + std::string(62, '0') + ": hello")) << term->dump();
  EXPECT_NE(term->screen(true)[5].find("\x1b[33m"), std::string::npos);
  quit();
}

TEST_F(ChatScreen, ThousandsOfQueuedLinesAreOnScreenAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.50.4", 100, 30));
  catchUp(5000);
  // One line per pass of the reader would take 50 s.
  EXPECT_TRUE(waitForRows({{1, caughtUp(4973)}, {28, caughtUp(5000)}})) << term->dump();
  quit();
}

TEST_F(ChatScreen, PageUpReachesTheFirstCaughtUpLineAndArrivingLinesDoNotMoveTheView) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.50.5", 100, 30));
  catchUp(200);
  ASSERT_TRUE(waitForRow(28, caughtUp(200))) << term->dump();
  // 27 rows in view while scrolled back, 26 a page: eight pages reach the
  // top, and more stay there.
  for (int i = 0; i < 10; ++i) term->keys({"PageUp"});
  ASSERT_TRUE(waitForRows({{1, connectedNotice}, {2, caughtUp(1)}, {27, caughtUp(26)}, {28, "-- 174 more below --"}}))
      << term->dump();

  session->sendPacket(2, countingKey(), bytesOf("late"));
  EXPECT_TRUE(waitForRow(28, "-- 175 more below --")) << term->dump();
  EXPECT_EQ(term->screen()[1], connectedNotice);

  term->keys({"PageDown"});
  EXPECT_TRUE(waitForRow(1, caughtUp(26))) << term->dump();
  term->keys({"End"});
  EXPECT_TRUE(waitForRow(28, countingKeyHex + ": late")) << term->dump();

  // Sending a line also brings the newest back.
  term->keys({"PageUp"});
  ASSERT_TRUE(term->waitFor([&](const Screen& s) { return row(s, 28).starts_with("-- "); })) << term->dump();
  send("mine");
  EXPECT_EQ(nextPayload(), bytesOf("mine"));
  EXPECT_TRUE(waitForRow(28, "mine")) << term->dump();
  quit();
}

}  // namespace
