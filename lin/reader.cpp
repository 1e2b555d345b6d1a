#include "lin/reader.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "lin/chat_screen.hpp"
#include "lin/globals.hpp"
#include "lin/names.hpp"
#include "lin/reconnect.hpp"
#include "lin/text.hpp"

std::wstring receivedLine(const RecivedMessage& message) {
  std::wstring line;
  if (const std::wstring* name = nameOf(message.key)) {
    line = *name;
  } else {
    for (const unsigned char byte : message.key) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", byte);
      line += {static_cast<wchar_t>(digits[0]), static_cast<wchar_t>(digits[1])};
    }
  }
  line += L": ";
  // Decoded straight into the line: a payload of many MiB is not copied
  // again on its way into the history.
  try {
    appendUtf8(line, message.payload);
  } catch (const std::range_error&) {
    line += L"<invalid UTF-8>";
  }
  return line;
}

bool showWaitingMessages() {
  bool any = false;
  while (running) {
    const RecivedMessage message = client->readBytes();
    if (message.payload.empty()) break;
    addMessage(receivedLine(message), false);
    any = true;
  }
  return any;
}

void readerThread() {
  using namespace std::chrono_literals;
  while (running) {
    // Asked before the poll: the library queues its last message before it
    // reports the end, so an empty poll after that has seen them all.
    const bool wasConnected = client->connected();
    if (!showWaitingMessages() && !wasConnected) {
      reconnect();
    }
    std::this_thread::sleep_for(10ms);
  }
}
