// Putting one key together from the values the terminal library reads: a
// byte, one of its key codes, a UTF-8 sequence whose lead byte comes first,
// or an escape sequence the terminal description does not know.
// No terminal calls here: the caller hands in the values.
#pragma once

#include <functional>

// One key read: a character (a byte value, or a code point put together from
// a UTF-8 sequence), one of the terminal library's key codes, or nothing.
struct KeyEvent {
  int value = -1;        // -1: no key within the read wait, or one to ignore
  bool keyCode = false;  // value is a KEY_* code, never text
};

// The terminal library's "no key" value.
inline constexpr int kNoKey = -1;
// The library's code for the keypad's Enter (KEY_ENTER).
inline constexpr int kKeypadEnter = 0527;

// first is the value just read; next reads the value after it (kNoKey when
// none comes in time).
// - A UTF-8 lead byte: next is called once per further byte, never more. A
//   sequence that breaks off or does not decode under the current locale
//   gives first back as it is.
// - Esc: next is called at once. Nothing after it is a lone Esc, given back
//   as it is. Anything after it is a key the terminal description does not
//   know (a CSI or SS3 sequence, or Alt with a key), read to its end and
//   ignored; the keypad's Enter among them (ESC O M) is Enter.
// - The keypad's Enter key code is Enter.
KeyEvent decodeKey(int first, const std::function<int()>& next);
