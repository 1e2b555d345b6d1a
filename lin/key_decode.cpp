#include "lin/key_decode.hpp"

#include <algorithm>
#include <cwchar>

namespace {

constexpr int kEnter = 10;
constexpr int kEscape = 27;

// Longer than any key a terminal sends (mouse reports included), so that a
// stray ESC [ followed by a paste swallows only so much of it.
constexpr int kMaxSequenceLength = 32;

// Bytes beyond the first of a UTF-8 sequence led by `lead`, or 0 if `lead`
// does not start one.
int continuationCount(int lead) {
  if ((lead & 0xE0) == 0xC0) return 1;
  if ((lead & 0xF0) == 0xE0) return 2;
  if ((lead & 0xF8) == 0xF0) return 3;
  return 0;
}

// Reads the rest of a sequence after ESC [ or ESC O: parameter and
// intermediate bytes up to the final byte, which it returns; kNoKey when the
// sequence breaks off or its end does not come within `wait`.
int finalByte(const NextValue& next, std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + wait;
  for (int i = 0; i < kMaxSequenceLength; ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    const int value = next(std::max(left, std::chrono::milliseconds(0)));
    if (value < 0x20 || value > 0x7E) return kNoKey;
    if (value >= 0x40) return value;
  }
  return kNoKey;
}

// What follows an Esc that the terminal library did not make into a key
// code. The library has already waited its escape delay for it, so anything
// here came with the Esc.
KeyEvent decodeEscape(const NextValue& next, std::chrono::milliseconds sequenceWait) {
  const int second = next(kFollowingWait);
  if (second == kNoKey) return {kEscape, false};
  if (second == '[') {
    finalByte(next, sequenceWait);
    return {};
  }
  // SS3: "screen" and its kin leave the keypad's Enter, ESC O M, undescribed.
  if (second == 'O') return finalByte(next, sequenceWait) == 'M' ? KeyEvent{kEnter, false} : KeyEvent{};
  // Alt with a key; with a multi-byte character, the whole of it.
  for (int more = second <= 0xFF ? continuationCount(second) : 0; more > 0 && next(kFollowingWait) != kNoKey; --more) {
  }
  return {};
}

}  // namespace

KeyEvent decodeKey(int first, const NextValue& next, std::chrono::milliseconds sequenceWait) {
  if (first == kNoKey) return {};
  if (first == kKeypadEnter) return {kEnter, false};
  if (first > 0xFF) return {first, true};
  if (first == kEscape) return decodeEscape(next, sequenceWait);
  if (first <= 127) return {first, false};
  const int more = continuationCount(first);
  if (more == 0) return {first, false};

  char bytes[4] = {static_cast<char>(first)};
  for (int i = 1; i <= more; ++i) {
    const int value = next(kFollowingWait);
    if (value == kNoKey) return {first, false};
    bytes[i] = static_cast<char>(value & 0xFF);
  }
  std::mbstate_t state{};
  wchar_t decoded = 0;
  const std::size_t used = std::mbrtowc(&decoded, bytes, static_cast<std::size_t>(more + 1), &state);
  if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) return {first, false};
  return {static_cast<int>(decoded), false};
}
