#include "lin/key_decode.hpp"

#include <cwchar>

namespace {

// Bytes beyond the first of a UTF-8 sequence led by `lead`, or 0 if `lead`
// does not start one.
int continuationCount(int lead) {
  if ((lead & 0xE0) == 0xC0) return 1;
  if ((lead & 0xF0) == 0xE0) return 2;
  if ((lead & 0xF8) == 0xF0) return 3;
  return 0;
}

}  // namespace

KeyEvent decodeKey(int first, const std::function<int()>& next) {
  if (first == kNoKey) return {};
  if (first > 0xFF) return {first, true};
  if (first <= 127) return {first, false};
  const int more = continuationCount(first);
  if (more == 0) return {first, false};

  char bytes[4] = {static_cast<char>(first)};
  for (int i = 1; i <= more; ++i) {
    const int value = next();
    if (value == kNoKey) return {first, false};
    bytes[i] = static_cast<char>(value & 0xFF);
  }
  std::mbstate_t state{};
  wchar_t decoded = 0;
  const std::size_t used = std::mbrtowc(&decoded, bytes, static_cast<std::size_t>(more + 1), &state);
  if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) return {first, false};
  return {static_cast<int>(decoded), false};
}
