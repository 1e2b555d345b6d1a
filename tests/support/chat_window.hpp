// The chat window test fixture: the sotto binary under tmux with a known
// identity, connected to the independent test peer. Each test file that uses
// it owns its own addresses.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "tests/support/fixed_identity.hpp"
#include "tests/support/sotto_run.hpp"
#include "tests/support/test_peer.hpp"
#include "tests/support/tmux_session.hpp"

namespace chat_harness {

using namespace std::chrono_literals;
using testing_peer::Bytes;
using testing_peer::Key;
using testing_peer::TestPeer;
using tmux_harness::Screen;

inline const std::string connectedNotice = "Connected. Press Esc to exit.";
// "> " as the capture shows it, trailing blank trimmed; the cursor after it
// shows the blank is there.
inline const std::string emptyInput = ">";

inline Key countingKey() {
  Key key;
  for (unsigned i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i);
  return key;
}
inline const std::string countingKeyHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class ChatWindow : public testing::Test {
 protected:
  fixed::Identity me = fixed::twoByteNonce();
  sotto_run::SottoRun run;
  std::unique_ptr<TestPeer> peer;
  std::unique_ptr<tmux_harness::Session> term;
  std::unique_ptr<testing_peer::Session> session;
  int rows = 0;

  void SetUp() override { ASSERT_ISOLATED(run.privateTmpWorks()); }

  // Runs the binary with a known identity on a width x height terminal, lets
  // the peer take the connection, and waits for the first chat repaint, with
  // the connected notice on row `noticeRow`.
  void start(const std::string& address, int width, int height, const std::string& environment = "",
             int noticeRow = 1) {
    peer = std::make_unique<TestPeer>(address);
    run.writeConfig(address, peer->publicKey().data(), me.signPublicKey.data(), me.signSecretKey.data());
    rows = height;
    term = std::make_unique<tmux_harness::Session>(width, height, run.command(SOTTO_BINARY, environment));
    // The connection waits in the listen queue until accepted, so the
    // notice stays up meanwhile.
    ASSERT_TRUE(term->waitForText("Connecting to " + address + "...")) << term->dump();
    session = peer->accept();
    ASSERT_TRUE(session && session->keyed());
    ASSERT_TRUE(term->waitFor([&](const Screen& s) { return row(s, noticeRow) == connectedNotice && row(s, rows - 1) == emptyInput; }))
        << term->dump();
    EXPECT_EQ(term->cursor(), std::make_pair(2, rows - 1));
    // Neither the notice nor the library's handshake line, written behind
    // the terminal library's back, may survive the first repaint.
    EXPECT_FALSE(tmux_harness::contains(term->screen(), "CLIENT:")) << term->dump();
    EXPECT_FALSE(tmux_harness::contains(term->screen(), "Connecting")) << term->dump();
  }

  static std::string row(const Screen& screen, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < screen.size() ? screen[index] : std::string();
  }

  bool waitForRow(int index, const std::string& text) const { return waitForRows({{index, text}}); }

  // All rows at once: a capture may fall between the lines of one redraw,
  // when a row above is painted and a row below is still blank.
  bool waitForRows(std::initializer_list<std::pair<int, std::string>> rows) const {
    return term->waitFor([&](const Screen& s) {
      for (const auto& [index, text] : rows)
        if (row(s, index) != text) return false;
      return true;
    });
  }

  // Types a line and presses Enter.
  void send(const std::string& text) const {
    term->text(text);
    term->keys({"Enter"});
  }

  // The payload of the next frame the binary sent, checked as an own broadcast.
  std::optional<Bytes> nextPayload() const {
    auto frame = session->receiveFrame(5s);
    if (!frame || !frame->opened) return std::nullopt;
    EXPECT_EQ(frame->type, 2);
    EXPECT_EQ(frame->key, me.signPublicKey);
    return frame->payload;
  }

  // Esc: the terminal is restored, "Exiting." follows, status 0. A terminal
  // type without an alternate screen keeps the chat on it.
  void quit(bool alternateScreen = true) const {
    term->keys({"Escape"});
    EXPECT_EQ(run.waitStatus(), 0) << run.standardError();
    EXPECT_TRUE(term->waitForText("Exiting.")) << term->dump();
    EXPECT_TRUE(!alternateScreen || !tmux_harness::contains(term->screen(), connectedNotice)) << term->dump();
    EXPECT_EQ(run.standardError(), "");
  }
};

}  // namespace chat_harness
