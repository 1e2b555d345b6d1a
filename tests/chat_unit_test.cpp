// Sending a typed line and the reader thread, against a stand-in client.
#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "chat_screen.hpp"
#include "globals.hpp"
#include "keys.hpp"
#include "reader.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

class StandInClient : public Client {
 public:
  void setServer(std::string, const unsigned char*, bool) override {}
  void setClient(const unsigned char*, const unsigned char*) override {}
  void genKeys(unsigned char*, unsigned char*) override {}
  values connect() override { return success; }
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
