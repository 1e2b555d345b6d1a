#include "keys.hpp"

#include <curses.h>

#include <chrono>
#include <cwchar>
#include <stdexcept>
#include <thread>

#include "chat_screen.hpp"
#include "globals.hpp"
#include "text.hpp"

namespace {

constexpr int enterKey = 10;
constexpr int ctrlH = 8;
constexpr int deleteKey = 127;
constexpr int escapeKey = 27;

// Bytes beyond the first of a UTF-8 sequence led by `lead`, or 0 if `lead`
// does not start one.
int continuationCount(int lead) {
  if ((lead & 0xE0) == 0xC0) return 1;
  if ((lead & 0xF0) == 0xE0) return 2;
  if ((lead & 0xF8) == 0xF0) return 3;
  return 0;
}

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
  // A line that cannot be encoded stays where it is, so the user can mend it.
  if (!sendLine(input)) return;
  input.clear();
  updateInputLine();
}

}  // namespace

KeyEvent getKey() {
  const int first = wgetch(stdscr);
  if (first == ERR) return {};
  if (first > 0xFF) return {first, true};
  if (first <= 127) return {first, false};
  const int more = continuationCount(first);
  if (more == 0) return {first, false};

  char bytes[4] = {static_cast<char>(first)};
  for (int i = 1; i <= more; ++i) {
    const int next = wgetch(stdscr);
    if (next == ERR) return {first, false};
    bytes[i] = static_cast<char>(next & 0xFF);
  }
  std::mbstate_t state{};
  wchar_t decoded = 0;
  const std::size_t used = std::mbrtowc(&decoded, bytes, static_cast<std::size_t>(more + 1), &state);
  if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) return {first, false};
  return {static_cast<int>(decoded), false};
}

bool sendLine(const std::wstring& text) {
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
