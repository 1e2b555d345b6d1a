// Sending a typed line and the reader thread, against a stand-in client.
#include <gtest/gtest.h>

#include <clocale>
#include <deque>
#include <thread>

#include "lin/chat_screen.hpp"
#include "lin/globals.hpp"
#include "lin/key_decode.hpp"
#include "lin/keys.hpp"
#include "lin/reader.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

class StandInClient : public Client {
 public:
  void setServer(std::string, const unsigned char*, bool) override {}
  void setClient(const unsigned char*, const unsigned char*) override {}
  void genKeys(unsigned char*, unsigned char*) override {}
  values connect() override { return success; }
  Failure failure() const override { return Failure::none; }
  void abandon() override {}
  void sendBytesBroadcast(const Bytes& payload) override {
    std::lock_guard lock(mutex);
    sent.push_back(payload);
  }
  void sendBytesDirect(const Bytes&, const unsigned char*) override {}
  RecivedMessage readBytes() override {
    std::lock_guard lock(mutex);
    if (waiting.empty()) return {};
    RecivedMessage m = waiting.front();
    waiting.pop_front();
    return m;
  }
  bool connected() const override { return true; }

  std::mutex mutex;
  std::vector<Bytes> sent;
  std::deque<RecivedMessage> waiting;
};

class Chat : public testing::Test {
 protected:
  StandInClient* stand = nullptr;
  void SetUp() override {
    auto owned = std::make_unique<StandInClient>();
    stand = owned.get();
    client = std::move(owned);
    history.clear();
    historyIsOwn.clear();
    running = true;
    needRedraw = false;
  }
  void TearDown() override { client.reset(); }
};

TEST_F(Chat, ASentLineGoesOutAsUtf8AndIntoTheHistoryAsOwn) {
  EXPECT_TRUE(sendLine(L"h\u00e9"));
  ASSERT_EQ(stand->sent.size(), 1u);
  EXPECT_EQ(stand->sent[0], (Bytes{'h', 0xC3, 0xA9}));
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0], L"h\u00e9");
  EXPECT_EQ(historyIsOwn, std::vector<bool>{true});
  EXPECT_TRUE(needRedraw);
}

TEST_F(Chat, ALineThatCannotBeEncodedIsNeitherSentNorShown) {
  EXPECT_FALSE(sendLine(std::wstring{L'a', static_cast<wchar_t>(0x110000)}));
  EXPECT_TRUE(stand->sent.empty());
  EXPECT_TRUE(history.empty());
  EXPECT_FALSE(needRedraw);
}

TEST_F(Chat, TheReaderAddsEachPayloadInOrderAndSkipsEmptyOnes) {
  unsigned char key[32] = {};
  key[31] = 0x7F;
  for (const Bytes& payload : {Bytes{'o', 'n', 'e'}, Bytes{}, Bytes{0xFF}, Bytes{'t', 'w', 'o'}})
    stand->waiting.emplace_back(key, payload);
  addMessage(L"notice", false);

  std::thread reader(readerThread);
  const auto until = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    {
      std::lock_guard lock(historyMutex);
      if (history.size() >= 4 || std::chrono::steady_clock::now() > until) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  running = false;
  reader.join();

  const std::wstring prefix = std::wstring(62, L'0') + L"7f: ";
  EXPECT_EQ(history, (std::vector<std::wstring>{L"notice", prefix + L"one", prefix + L"<invalid UTF-8>", prefix + L"two"}));
  EXPECT_EQ(historyIsOwn, (std::vector<bool>{false, false, false, false}));
}

}  // namespace

namespace {

// Feeds decodeKey a first value and the values after it; counts the reads.
struct Keyboard {
  std::vector<int> after;
  std::size_t reads = 0;
  KeyEvent decode(int first) {
    return decodeKey(
        first, [this](std::chrono::milliseconds) { return reads < after.size() ? after[reads++] : kNoKey; }, 100ms);
  }
};

TEST(DecodeKey, PutsUtf8TogetherAndGivesTheLeadBackWhenTheSequenceBreaks) {
  ASSERT_TRUE(std::setlocale(LC_ALL, "C.UTF-8"));
  struct Case {
    int first;
    std::vector<int> after;
    int value;
    bool keyCode;
    std::size_t reads;
  };
  const Case cases[] = {
      {kNoKey, {}, kNoKey, false, 0},
      {'a', {'b'}, 'a', false, 0},
      {0xC3, {0xA9}, 0xE9, false, 1},                  // é
      {0xF0, {0x9F, 0x98, 0x80, 'x'}, 0x1F600, false, 3},  // an emoji, and no read past it
      {0xC3, {'a'}, 0xC3, false, 1},                   // the letter is lost
      {0xE2, {0x82, kNoKey, 0xAC}, 0xE2, false, 2},   // nothing in time: stop reading
      {0xC0, {0x80}, 0xC0, false, 1},                  // overlong
      {0xED, {0xA0, 0x80}, 0xED, false, 2},            // a surrogate
      {0x80, {0x80}, 0x80, false, 0},                  // a stray continuation byte
      {0x102, {0xA9}, 0x102, true, 0},                 // the down arrow
  };
  for (const Case& c : cases) {
    Keyboard keyboard{c.after};
    const KeyEvent key = keyboard.decode(c.first);
    EXPECT_EQ(key.value, c.value) << std::hex << c.first;
    EXPECT_EQ(key.keyCode, c.keyCode) << std::hex << c.first;
    EXPECT_EQ(keyboard.reads, c.reads) << std::hex << c.first;
  }
}

}  // namespace
