#include "lin/keys.hpp"

#include <curses.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "lin/chat_screen.hpp"
#include "lin/globals.hpp"
#include "lin/text.hpp"

namespace {

constexpr int enterKey = 10;
constexpr int ctrlH = 8;
constexpr int deleteKey = 127;
constexpr int escapeKey = 27;

void eraseLastCharacter() {
  if (input.empty()) return;
  input.pop_back();
  updateInputLine();
}

void handleKeyCode(int code) {
  // Most terminals' Backspace arrives as the library's own code once keypad
  // translation is on.
  if (code == KEY_BACKSPACE) eraseLastCharacter();
  // The library has already resized the screen; repaint to fit it.
  else if (code == KEY_RESIZE) needRedraw = true;
  // Arrows, function keys and the like have no meaning here and must never
  // turn into text sent to others.
}

void submitInput() {
  if (input.empty()) return;
  // A line that cannot be encoded stays where it is, so the user can mend it;
  // after the connection is lost it stays as well.
  if (!sendLine(input)) return;
  input.clear();
  updateInputLine();
}

}  // namespace

KeyEvent getKey() {
  static_assert(kNoKey == ERR && kKeypadEnter == KEY_ENTER);
  return decodeKey(wgetch(stdscr), [] { return wgetch(stdscr); });
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
  using namespace std::chrono_literals;
  while (running) {
    if (needRedraw.exchange(false)) redraw();
    const KeyEvent key = getKey();
    if (key.value == -1 && !key.keyCode) {
      std::this_thread::sleep_for(5ms);
    } else if (key.keyCode) {
      handleKeyCode(key.value);
    } else if (key.value == enterKey) {
      submitInput();
    } else if (key.value == ctrlH || key.value == deleteKey) {
      eraseLastCharacter();
    } else if (key.value == escapeKey) {
      running = false;
      break;
    } else if (key.value >= 32) {
      input.push_back(static_cast<wchar_t>(key.value));
      updateInputLine();
    }
  }
}
