// Putting one key together from the values the terminal library reads: a
// byte, one of its key codes, or a UTF-8 sequence whose lead byte comes first.
// No terminal calls here: the caller hands in the values.
#pragma once

#include <functional>

// One key read: a character (a byte value, or a code point put together from
// a UTF-8 sequence), one of the terminal library's key codes, or nothing.
struct KeyEvent {
  int value = -1;        // -1: no key within the read wait
  bool keyCode = false;  // value is a KEY_* code, never text
};

// The terminal library's "no key" value.
inline constexpr int kNoKey = -1;

// first is the value just read; next reads the value after it (kNoKey when
// none comes in time) and is called once per further byte of a UTF-8
// sequence, never more. A sequence that breaks off or does not decode under
// the current locale gives first back as it is.
KeyEvent decodeKey(int first, const std::function<int()>& next);
