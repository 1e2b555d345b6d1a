// Reading the keyboard and the key loop of the chat window (main thread).
#pragma once

#include <chrono>
#include <string>

#include "lin/key_decode.hpp"

// Waits at most `wait` for a key (and 10 ms for each further UTF-8 byte, up
// to 100 ms for the rest of an escape sequence).
KeyEvent getKey(std::chrono::milliseconds wait);

// Converts text, broadcasts it and adds it to the history as an own line.
// False, with nothing sent or added, when the text cannot be put into UTF-8
// or the connection has ended.
bool sendLine(const std::wstring& text);

// Repaints on request and acts on keys until Esc clears `running`.
void runKeyLoop();
