#include "lin/reader.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "lin/chat_screen.hpp"
#include "lin/globals.hpp"
#include "lin/reconnect.hpp"
#include "lin/text.hpp"

std::wstring receivedLine(const RecivedMessage& message) {
  std::wstring text;
  try {
    text = utf8ToWstring(message.payload);
  } catch (const std::range_error&) {
    text = L"<invalid UTF-8>";
  }
  std::string prefix;
  prefix.reserve(2 * message.key.size() + 2);
  for (const unsigned char byte : message.key) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    prefix += digits;
  }
  prefix += ": ";
  return std::wstring(prefix.begin(), prefix.end()) + text;
}

void readerThread() {
  using namespace std::chrono_literals;
  while (running) {
    // Asked before the poll: the library queues its last message before it
    // reports the end, so an empty poll after that has seen them all.
    const bool wasConnected = client->connected();
    const RecivedMessage message = client->readBytes();
    if (!message.payload.empty()) {
      addMessage(receivedLine(message), false);
    } else if (!wasConnected) {
      reconnect();
    }
    std::this_thread::sleep_for(10ms);
  }
}
