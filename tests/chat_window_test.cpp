// The chat window in a real terminal: the sotto binary under tmux, talking to
// the independent test peer. Addresses 127.0.6.x belong to this file.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

#include "tests/support/chat_window.hpp"

namespace {

using namespace std::chrono_literals;
using namespace chat_harness;
using testing_peer::Bytes;
using testing_peer::Key;
using tmux_harness::Screen;

TEST_F(ChatWindow, ShowsOwnAndReceivedLinesAndLeavesWithEsc) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.1", 100, 30));
  const Screen first = term->screen();
  ASSERT_EQ(first.size(), 30u);
  EXPECT_EQ(first[0], "");
  for (int i = 2; i < 29; ++i) EXPECT_EQ(first[i], "") << "row " << i << "\n" << term->dump();

  send("hello, world");
  EXPECT_EQ(nextPayload(), bytesOf("hello, world"));
  EXPECT_TRUE(waitForRow(2, "hello, world")) << term->dump();

  session->sendPacket(2, countingKey(), bytesOf("hi"));
  EXPECT_TRUE(waitForRow(3, countingKeyHex + ": hi")) << term->dump();
  Key mixed{};
  mixed[0] = 0xAB;
  mixed[1] = 0x05;
  session->sendPacket(2, mixed, {0xFF});
  const std::string mixedHex = "ab05" + std::string(60, '0');
  EXPECT_TRUE(waitForRow(4, mixedHex + ": <invalid UTF-8>")) << term->dump();
  session->sendPacket(2, countingKey(), {'a', 0xC3});
  EXPECT_TRUE(waitForRow(5, countingKeyHex + ": a")) << term->dump();
  session->sendPacket(2, countingKey(), {});
  session->sendPacket(2, countingKey(), bytesOf("after the empty one"));
  EXPECT_TRUE(waitForRow(6, countingKeyHex + ": after the empty one")) << term->dump();
  // A burst is shown whole and in order.
  for (const char* text : {"one", "two", "three"}) session->sendPacket(2, countingKey(), bytesOf(text));
  EXPECT_TRUE(waitForRow(9, countingKeyHex + ": three")) << term->dump();
  EXPECT_EQ(term->screen()[7], countingKeyHex + ": one");
  EXPECT_EQ(term->screen()[8], countingKeyHex + ": two");

  const Screen last = term->screen();
  for (int i = 10; i < 29; ++i) EXPECT_EQ(last[i], "") << "row " << i;
  EXPECT_EQ(last[29], emptyInput);

  // Own lines green, everything else yellow.
  const Screen coloured = term->screen(true);
  EXPECT_NE(coloured[1].find("\x1b[33m"), std::string::npos) << coloured[1];
  EXPECT_NE(coloured[2].find("\x1b[32m"), std::string::npos) << coloured[2];
  EXPECT_NE(coloured[3].find("\x1b[33m"), std::string::npos) << coloured[3];

  quit();
  EXPECT_TRUE(std::filesystem::exists(run.debugLogPath()));
}

TEST_F(ChatWindow, AFullScreenShowsTheNewestLinesAboveTheInput) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.2", 40, 6));
  for (int i = 1; i <= 5; ++i) {
    const std::string line = "line " + std::to_string(i);
    send(line);
    EXPECT_EQ(nextPayload(), bytesOf(line));
  }
  // Six lines for four rows: the notice and the first line are gone.
  EXPECT_TRUE(term->waitFor([&](const Screen& s) {
    return s == Screen{"", "line 2", "line 3", "line 4", "line 5", emptyInput};
  })) << term->dump();
  quit();
}

TEST_F(ChatWindow, TypedTextArrivesAsUtf8AndSpecialKeysAddNothing) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.3", 100, 30));
  // Enter on an empty line sends nothing: the first frame is the next line.
  term->keys({"Enter"});
  send("\u00e9");
  EXPECT_EQ(nextPayload(), (Bytes{0xC3, 0xA9}));
  EXPECT_TRUE(waitForRow(2, "\u00e9")) << term->dump();

  // Characters whose code points equal key codes (U+0107 is KEY_BACKSPACE's,
  // U+0106 KEY_HOME's) are text like any other.
  send("\u0107\u0106\u0161");
  EXPECT_EQ(nextPayload(), (Bytes{0xC4, 0x87, 0xC4, 0x86, 0xC5, 0xA1}));
  EXPECT_TRUE(waitForRow(3, "\u0107\u0106\u0161")) << term->dump();

  term->text("x");
  term->keys({"Up", "Down", "Left", "Right", "Home", "End", "PageUp", "F1", "F5", "IC", "Tab"});
  term->text("y");
  EXPECT_TRUE(waitForRow(29, "> xy")) << term->dump();
  EXPECT_EQ(term->cursor(), std::make_pair(4, 29));
  term->keys({"Enter"});
  EXPECT_EQ(nextPayload(), bytesOf("xy"));

  // A lead byte whose sequence breaks off stands for itself; the byte that
  // broke it is lost.
  term->bytes({0xC3, 'a'});
  EXPECT_TRUE(waitForRow(29, "> \u00c3")) << term->dump();
  term->keys({"Enter"});
  EXPECT_EQ(nextPayload(), (Bytes{0xC3, 0x83}));
  EXPECT_TRUE(waitForRow(5, "\u00c3")) << term->dump();
  quit();
}

// Which of DEL and ^H the library turns into its KEY_BACKSPACE code depends
// on the terminal type; every one of the three must erase.
class Backspace : public ChatWindow, public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(Backspace, ErasesWhateverTheTerminalSends) {
  const auto [terminalType, address] = GetParam();
  ASSERT_NO_FATAL_FAILURE(start(address, 100, 30, std::string("TERM=") + terminalType));
  term->text("abcd");
  term->bytes({0x7F});
  term->bytes({0x08});
  EXPECT_TRUE(waitForRow(29, "> ab")) << term->dump();
  term->keys({"Enter"});
  EXPECT_EQ(nextPayload(), bytesOf("ab"));
  // On an empty line it does nothing.
  term->bytes({0x7F, 0x08});
  send("z");
  EXPECT_EQ(nextPayload(), bytesOf("z"));
  quit(std::string(terminalType) == "screen");
}

INSTANTIATE_TEST_SUITE_P(TerminalTypes, Backspace,
                         testing::Values(std::make_pair("screen", "127.0.6.4"), std::make_pair("vt220", "127.0.6.5")),
                         [](const auto& info) { return std::string(info.param.first); });

// Keys the terminal description may not know come as escape sequences: the
// keypad's Enter as ESC O M ("xterm" names it, "screen" does not), Alt with a
// key as ESC and the key, modified arrows as CSI. None may quit or type.
class EscapeSequences : public ChatWindow, public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(EscapeSequences, KeypadEnterSendsAndOtherSequencesAreIgnored) {
  const auto [terminalType, address] = GetParam();
  ASSERT_NO_FATAL_FAILURE(start(address, 100, 30, std::string("TERM=") + terminalType));
  term->text("x");
  term->bytes({0x1B, 0x7F});                      // Alt+Backspace
  term->bytes({0x1B, 0xC3, 0xA9});                // Alt+é
  term->bytes({0x1B, '[', '1', ';', '3', 'D'});  // Alt+Left
  term->text("y");
  term->bytes({0x1B, 'O', 'M'});
  EXPECT_EQ(nextPayload(), bytesOf("xy"));
  quit();
}

INSTANTIATE_TEST_SUITE_P(TerminalTypes, EscapeSequences,
                         testing::Values(std::make_pair("screen", "127.0.6.41"), std::make_pair("xterm", "127.0.6.42")),
                         [](const auto& info) { return std::string(info.param.first); });

TEST_F(ChatWindow, TextBeyondAsciiSurvivesALocaleWithoutUtf8) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.43", 100, 30, "LANG=C LC_ALL= LC_CTYPE="));
  send("na\u00efve");
  EXPECT_EQ(nextPayload(), bytesOf("na\u00efve"));
  session->sendPacket(2, countingKey(), bytesOf("caf\u00e9 \u4f60\u597d"));
  EXPECT_TRUE(waitForRow(3, countingKeyHex + ": caf\u00e9 \u4f60\u597d")) << term->dump();
  quit();
}

TEST_F(ChatWindow, AResizeRepaintsForTheNewSizeAndTypesNothing) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.6", 100, 30));
  term->text("ab");
  EXPECT_TRUE(waitForRow(29, "> ab")) << term->dump();
  term->resize(40, 6);
  EXPECT_TRUE(term->waitFor([&](const Screen& s) {
    return s == Screen{"", connectedNotice, "", "", "", "> ab"};
  })) << term->dump();
  // Two rows leave no room for history.
  term->resize(40, 2);
  EXPECT_TRUE(term->waitFor([&](const Screen& s) { return s == Screen{"", "> ab"}; })) << term->dump();
  term->resize(100, 30);
  EXPECT_TRUE(waitForRow(29, "> ab")) << term->dump();
  term->keys({"Enter"});
  EXPECT_EQ(nextPayload(), bytesOf("ab"));
  quit();
}

TEST_F(ChatWindow, AReceivedLineCannotMoveBackOverItsSendersKey) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.21", 100, 30));
  Key mallory{};
  mallory.fill(0x66);
  const std::string malloryHex(64, '6');
  // A carriage return, or backspaces, and then other digits would paint over
  // the sender's key, so the line would seem to come from someone else.
  session->sendPacket(2, mallory, bytesOf("\r0123456789abcdef: hi"));
  EXPECT_TRUE(waitForRow(2, malloryHex + ": ^M0123456789abcdef: hi")) << term->dump();
  session->sendPacket(2, mallory, bytesOf(std::string(8, '\b') + "01234567: hi"));
  EXPECT_TRUE(waitForRow(3, malloryHex + ": ^H^H^H^H^H^H^H^H01234567: hi")) << term->dump();
  quit();
}

// Letters in turn, so that a row cut in the wrong place shows.
std::string letters(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

TEST_F(ChatWindow, LinesTakeTheRowsTheyNeedAndNoneStartsARowWithAForgedKey) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.22", 80, 30));
  Key mallory{};
  mallory.fill(0x66);
  const std::string malloryHex(64, '6');
  const std::string forged = std::string(64, 'e') + ": gotcha";
  const std::string text = letters(150);
  const struct {
    std::string payload;
    Screen rows;
  } cases[] = {
      {std::string(14, ' ') + forged, {malloryHex + ":", "  " + forged}},
      {std::string(13, ' ') + "\u4f60" + forged, {malloryHex + ":", "  \u4f60" + forged}},
      {"a\nb", {malloryHex + ": a^Jb"}},
      {"\n" + forged, {malloryHex + ": ^J" + forged.substr(0, 12), "  " + forged.substr(12)}},
      {"\x1b[1;1H\xc2\x9b" "2J", {malloryHex + ": ^[[1;1HM-^[2J"}},
      // 66 cells of key and ": ", then 78 a row after the indent.
      {text, {malloryHex + ": " + text.substr(0, 14), "  " + text.substr(14, 78), "  " + text.substr(92)}},
      {"hi", {malloryHex + ": hi"}},
  };
  Screen expected{"", connectedNotice};
  for (const auto& c : cases) {
    session->sendPacket(2, mallory, bytesOf(c.payload));
    expected.insert(expected.end(), c.rows.begin(), c.rows.end());
    EXPECT_TRUE(term->waitFor([&](const Screen& s) {
      return s.size() > expected.size() && std::equal(expected.begin(), expected.end(), s.begin()) &&
             s[expected.size()].empty();
    })) << c.payload << "\n" << term->dump();
  }
  // Six rows of history at 40 columns: the long line keeps its last four.
  term->resize(40, 8);
  EXPECT_TRUE(term->waitFor([&](const Screen& s) {
    return s == Screen{"", "  " + text.substr(12, 38), "  " + text.substr(50, 38), "  " + text.substr(88, 38),
                       "  " + text.substr(126), malloryHex.substr(0, 40), "  " + malloryHex.substr(40) + ": hi", emptyInput};
  })) << term->dump();
  quit();
}

TEST_F(ChatWindow, TheCursorStandsAfterWideAndLongInput) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.6.23", 80, 30));
  term->text("\u4f60\u597d");
  EXPECT_TRUE(waitForRow(29, "> \u4f60\u597d")) << term->dump();
  EXPECT_EQ(term->cursor(), std::make_pair(6, 29));
  // Past the row's end: the end of the input in sight, the cursor on the last column.
  const std::string typed = letters(100);
  term->text(typed);
  EXPECT_TRUE(waitForRow(29, "> " + typed.substr(23))) << term->dump();
  EXPECT_EQ(term->cursor(), std::make_pair(79, 29));
  term->keys({"Enter"});
  EXPECT_EQ(nextPayload(), bytesOf("\u4f60\u597d" + typed));
  quit();
}

// The peer ends the session: whatever it sent first is shown, then the notice,
// once and in the notice colour; a line typed afterwards stays in the input
// and goes nowhere.
struct Loss {
  const char* name;
  const char* address;
  // A reset may discard what the client has not read yet, so before one the
  // messages are seen on screen first.
  bool shownBeforeTheEnd;
  void (testing_peer::Session::*end)();
};
void PrintTo(const Loss& loss, std::ostream* out) { *out << loss.name; }

class LostConnection : public ChatWindow, public testing::WithParamInterface<Loss> {};

TEST_P(LostConnection, IsShownAfterEveryEarlierMessageAndNothingIsSentAfterIt) {
  const Loss& loss = GetParam();
  const std::string lostNotice = "Connection lost. Reconnecting\u2026 (Esc exits)";
  ASSERT_NO_FATAL_FAILURE(start(loss.address, 100, 30));
  for (const std::string text : {"one", "", "two"}) session->sendPacket(2, countingKey(), bytesOf(text));
  if (loss.shownBeforeTheEnd) {
    ASSERT_TRUE(waitForRow(3, countingKeyHex + ": two")) << term->dump();
  }
  // A half close ends what the client reads, and lets the peer see below
  // that nothing more is written.
  ((*session).*loss.end)();
  const auto ended = std::chrono::steady_clock::now();

  std::this_thread::sleep_until(ended + 1s);
  const Screen shown = term->screen();
  EXPECT_EQ(row(shown, 2), countingKeyHex + ": one") << term->dump();
  EXPECT_EQ(row(shown, 3), countingKeyHex + ": two") << term->dump();
  EXPECT_EQ(row(shown, 4), lostNotice) << term->dump();
  EXPECT_NE(term->screen(true)[4].find("\x1b[33m"), std::string::npos);

  // The character after Enter shows that Enter has been handled.
  send("after");
  term->text("!");
  EXPECT_TRUE(waitForRow(rows - 1, "> after!")) << term->dump();
  const Screen after = term->screen();
  EXPECT_EQ(std::count(after.begin(), after.end(), lostNotice), 1) << term->dump();
  EXPECT_EQ(row(after, 5), "") << term->dump();
  EXPECT_FALSE(session->receiveFrame(300ms));
  quit();
}

INSTANTIATE_TEST_SUITE_P(Losses, LostConnection,
                         testing::Values(Loss{"PeerCloses", "127.0.6.50", false, &testing_peer::Session::halfClose},
                                         Loss{"PeerResets", "127.0.6.51", true, &testing_peer::Session::reset}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
