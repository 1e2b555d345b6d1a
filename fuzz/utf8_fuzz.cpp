// The front end's text conversion fed arbitrary bytes, and arbitrary wide
// strings: it either refuses with std::range_error (which its callers catch)
// or gives code points in range that convert back and forth unchanged.
#include <cstring>
#include <stdexcept>

#include "fuzz/check.hpp"
#include "lin/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  try {
    const std::wstring text = utf8ToWstring(bytes);
    FUZZ_CHECK(text.size() <= bytes.size());
    for (const wchar_t c : text) FUZZ_CHECK(c >= 0 && c <= 0x10FFFF);
    const std::vector<unsigned char> back = wstringToUtf8(text);
    FUZZ_CHECK(back.size() <= bytes.size());
    FUZZ_CHECK(utf8ToWstring(back) == text);
  } catch (const std::range_error&) {
  }

  // The same bytes read as wide characters, as a typed line might hold them.
  std::wstring typed(size / sizeof(wchar_t), L'\0');
  std::memcpy(typed.data(), data, typed.size() * sizeof(wchar_t));
  try {
    const std::vector<unsigned char> encoded = wstringToUtf8(typed);
    FUZZ_CHECK(utf8ToWstring(encoded) == typed);
  } catch (const std::range_error&) {
  }
  return 0;
}
