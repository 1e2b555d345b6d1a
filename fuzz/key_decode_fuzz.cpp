// The key decoding of the chat window fed arbitrary key values: the first
// value and whatever the terminal gives after it. The result is "no key", the
// key code, the first value unchanged, or a character whose UTF-8 form is
// exactly the bytes taken, as the C library's UTF-8 decoder reads them; no more values are read than the lead byte asks
// for, and none after a read that found nothing. After an Esc the rest of the
// sequence is read up to its final byte and ignored, the keypad's Enter
// (ESC O M) excepted; Esc stands for itself only when nothing follows.
#include <algorithm>
#include <clocale>
#include <string>

#include "fuzz/check.hpp"
#include "fuzz/frame_stream.hpp"
#include "lin/key_decode.hpp"

namespace {

std::string utf8(unsigned long c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Values as the terminal library gives them: nothing, bytes, or key codes.
int keyValue(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return kNoKey;
    case 1: return in.ConsumeIntegralInRange<int>(0x100, 0x3FF);
    default: return in.ConsumeIntegral<unsigned char>();
  }
}

// A read past the end of `following` finds nothing and is not counted; a
// kNoKey within it is.
void checkEscape(const KeyEvent& key, const std::vector<int>& following, std::size_t reads) {
  FUZZ_CHECK(!key.keyCode);
  const int second = following[0];
  if (second == kNoKey) {
    FUZZ_CHECK(key.value == 27 && reads == 1);
    return;
  }
  std::size_t end = 1;  // one past the last value the sequence takes
  bool enter = false;
  if (second == '[' || second == 'O') {
    while (end < following.size() && following[end] >= 0x20 && following[end] <= 0x3F) ++end;
    enter = second == 'O' && end < following.size() && following[end] == 'M';
    ++end;
  } else if (second <= 0xFF) {
    const std::size_t wanted = (second & 0xE0) == 0xC0 ? 1 : (second & 0xF0) == 0xE0 ? 2 : (second & 0xF8) == 0xF0 ? 3 : 0;
    while (end <= wanted && end < following.size() && following[end] != kNoKey) ++end;
    if (end <= wanted && end < following.size()) ++end;  // the read that found nothing
  }
  FUZZ_CHECK(key.value == (enter ? '\n' : kNoKey));
  FUZZ_CHECK(reads == std::min(end, following.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool utf8Locale = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
  FUZZ_CHECK(utf8Locale);
  FuzzedDataProvider in(data, size);
  const int first = keyValue(in);
  std::vector<int> following;
  for (int i = 0; i < 4; ++i) following.push_back(keyValue(in));

  std::size_t reads = 0;
  const KeyEvent key = decodeKey(
      first, [&](std::chrono::milliseconds) { return reads < following.size() ? following[reads++] : kNoKey; },
      std::chrono::milliseconds(100));

  if (first == kNoKey) {
    FUZZ_CHECK(key.value == kNoKey && !key.keyCode && reads == 0);
    return 0;
  }
  if (first == 0527) {  // the keypad's Enter
    FUZZ_CHECK(key.value == '\n' && !key.keyCode && reads == 0);
    return 0;
  }
  if (first > 0xFF) {
    FUZZ_CHECK(key.value == first && key.keyCode && reads == 0);
    return 0;
  }
  if (first == 27) {
    checkEscape(key, following, reads);
    return 0;
  }
  FUZZ_CHECK(!key.keyCode);
  const std::size_t wanted = (first & 0xE0) == 0xC0 ? 1 : (first & 0xF0) == 0xE0 ? 2 : (first & 0xF8) == 0xF0 ? 3 : 0;
  if (first <= 127 || wanted == 0) {
    FUZZ_CHECK(key.value == first && reads == 0);
    return 0;
  }
  FUZZ_CHECK(reads >= 1 && reads <= wanted);
  for (std::size_t i = 0; i + 1 < reads; ++i) FUZZ_CHECK(following[i] != kNoKey);
  if (reads < wanted || following[reads - 1] == kNoKey) {
    FUZZ_CHECK(key.value == first);
    return 0;
  }
  // The sequence decodes when it is the shortest UTF-8 form of a value that
  // is not a surrogate; otherwise the first value comes back. (The C
  // library's decoder takes four-byte forms up to 0x1FFFFF, past Unicode;
  // such a line cannot be sent and stays in the input line.)
  std::string taken(1, static_cast<char>(first));
  unsigned long c = static_cast<unsigned long>(first) & (0x7Fu >> (wanted + 1));
  bool valid = true;
  for (std::size_t i = 0; i < reads; ++i) {
    const int b = following[i] & 0xFF;
    taken += static_cast<char>(b);
    valid = valid && (b & 0xC0) == 0x80;
    c = c << 6 | static_cast<unsigned long>(b & 0x3F);
  }
  valid = valid && (c < 0xD800 || c > 0xDFFF) && utf8(c) == taken;
  FUZZ_CHECK(key.value == (valid ? static_cast<int>(c) : first));
  return 0;
}
