// Reading the keyboard and the key loop of the chat window (main thread).
#pragma once

#include <string>

// One key read: a character (a byte value, or a code point put together from
// a UTF-8 sequence), one of the terminal library's key codes, or nothing.
struct KeyEvent {
  int value = -1;        // -1: no key within the read wait
  bool keyCode = false;  // value is a KEY_* code, never text
};

// Waits at most 10 ms for a key (and 10 ms for each further UTF-8 byte).
KeyEvent getKey();

// Converts text, broadcasts it and adds it to the history as an own line.
// False, with nothing sent or added, when the text cannot be put into UTF-8.
bool sendLine(const std::wstring& text);

// Repaints on request and acts on keys until Esc clears `running`.
void runKeyLoop();
