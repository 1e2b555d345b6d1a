#include "lin/keys.hpp"

#include <curses.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "lin/chat_screen.hpp"
#include "lin/globals.hpp"
#include "lin/text.hpp"

namespace {

using namespace std::chrono_literals;

constexpr int enterKey = 10;
constexpr int ctrlH = 8;
constexpr int deleteKey = 127;
constexpr int escapeKey = 27;

// The least time the rest of an escape sequence is waited for: a sequence
// split by a slow link comes together within it.
constexpr std::chrono::milliseconds sequenceWait = 100ms;

// Each returns whether `input` changed.
bool eraseLastCharacter() {
  if (input.empty()) return false;
  input.pop_back();
  return true;
}

bool handleKeyCode(int code) {
  switch (code) {
    // Most terminals' Backspace arrives as the library's own code once keypad
    // translation is on.
    case KEY_BACKSPACE: return eraseLastCharacter();
    // The library has already resized the screen; repaint to fit it.
    case KEY_RESIZE: needRedraw = true; break;
    case KEY_PPAGE: scrollBack(); break;
    case KEY_NPAGE: scrollForward(); break;
    case KEY_END: scrollToNewest(); break;
    // Arrows, function keys and the like have no meaning here and must never
    // turn into text sent to others.
    default: break;
  }
  return false;
}

bool submitInput() {
  if (input.empty()) return false;
  // A line that cannot be encoded stays where it is, so the user can mend it;
  // after the connection is lost it stays as well.
  if (!sendLine(input)) return false;
  input.clear();
  scrollToNewest();
  return true;
}

bool handleKey(const KeyEvent& key) {
  if (key.keyCode) return handleKeyCode(key.value);
  if (key.value == enterKey) return submitInput();
  if (key.value == ctrlH || key.value == deleteKey) return eraseLastCharacter();
  if (key.value == escapeKey) {
    running = false;
    return false;
  }
  if (key.value < 32) return false;
  input.push_back(static_cast<wchar_t>(key.value));
  return true;
}

}  // namespace

KeyEvent getKey(std::chrono::milliseconds wait) {
  static_assert(kNoKey == ERR && kKeypadEnter == KEY_ENTER);
  const auto read = [](std::chrono::milliseconds within) {
    wtimeout(stdscr, static_cast<int>(within.count()));
    return wgetch(stdscr);
  };
  return decodeKey(read(wait), read, std::max(sequenceWait, std::chrono::milliseconds(get_escdelay())));
}

bool sendLine(const std::wstring& text) {
  // It would never leave, and an own line would claim it did.
  if (!client->connected()) return false;
  std::vector<unsigned char> bytes;
  try {
    bytes = wstringToUtf8(text);
  } catch (const std::range_error&) {
    return false;
  }
  client->sendBytesBroadcast(bytes);
  addMessage(text, true);
  return true;
}

void runKeyLoop() {
  bool inputShown = true;
  while (running) {
    if (needRedraw.exchange(false)) {
      redraw();
      inputShown = true;
    }
    // Keys already waiting, as in a paste, are all taken before the input row
    // is painted again: a paint per character would make a long paste crawl.
    const KeyEvent key = getKey(inputShown ? 10ms : 0ms);
    if (key.value != -1 || key.keyCode) {
      if (handleKey(key)) inputShown = false;
    } else if (!inputShown) {
      updateInputLine();
      inputShown = true;
    } else {
      std::this_thread::sleep_for(5ms);
    }
  }
}
