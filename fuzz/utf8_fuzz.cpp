// The front end's text conversion fed arbitrary bytes, and arbitrary wide
// strings: it either refuses with std::range_error (which its callers catch)
// or gives code points in range that convert back and forth unchanged; and it
// reads bytes exactly as the standard wide-string converter does.
#include <codecvt>
#include <cstring>
#include <locale>
#include <optional>
#include <stdexcept>

#include "fuzz/check.hpp"
#include "lin/text.hpp"

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::optional<std::wstring> standardReading(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return std::wstring();
  std::wstring_convert<std::codecvt_utf8<wchar_t, 0x10FFFF>, wchar_t> converter;
  const auto* first = reinterpret_cast<const char*>(bytes.data());
  try {
    return converter.from_bytes(first, first + bytes.size());
  } catch (const std::range_error&) {
    return std::nullopt;
  }
}
#pragma GCC diagnostic pop

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  const std::optional<std::wstring> expected = standardReading(bytes);
  std::wstring prefixed = L"key: ";
  try {
    appendUtf8(prefixed, bytes);
    FUZZ_CHECK(expected && prefixed == L"key: " + *expected);
  } catch (const std::range_error&) {
    FUZZ_CHECK(!expected && prefixed == L"key: ");
  }
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
