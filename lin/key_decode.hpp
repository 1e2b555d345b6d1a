// Putting one key together from the values the terminal library reads: a
// byte, one of its key codes, a UTF-8 sequence whose lead byte comes first,
// or an escape sequence the terminal description does not know.
// No terminal calls here: the caller hands in the values.
#pragma once

#include <chrono>
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

// Reads the next value, waiting at most the given time; kNoKey when none
// comes in time.
using NextValue = std::function<int(std::chrono::milliseconds)>;

// How long each further byte of a UTF-8 sequence, and the value after an Esc,
// are waited for.
inline constexpr std::chrono::milliseconds kFollowingWait{10};

// first is the value just read; next reads the values after it.
// - A UTF-8 lead byte: next is called once per further byte, never more. A
//   sequence that breaks off or does not decode under the current locale
//   gives first back as it is.
// - Esc: next is called at once. Nothing after it is a lone Esc, given back
//   as it is. Anything after it is a key the terminal description does not
//   know (a CSI or SS3 sequence, or Alt with a key), read to its end and
//   ignored; the keypad's Enter among them (ESC O M) is Enter. Once ESC [ or
//   ESC O has come, the rest is waited for up to `sequenceWait` in all, so
//   that a sequence split between two reads of the terminal never turns into
//   typed text.
// - The keypad's Enter key code is Enter.
KeyEvent decodeKey(int first, const NextValue& next, std::chrono::milliseconds sequenceWait);
