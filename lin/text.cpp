#include "lin/text.hpp"

#include <codecvt>
#include <locale>

// The standard UTF-8 facet is deprecated, but its exact accept/reject rules
// (partial tail dropped, BOM kept as a character) are what the chat shows, so
// it stays; only this file is excused from the warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {
using Converter = std::wstring_convert<std::codecvt_utf8<wchar_t, 0x10FFFF>, wchar_t>;
}

std::wstring utf8ToWstring(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return {};
  Converter converter;
  const auto* first = reinterpret_cast<const char*>(bytes.data());
  return converter.from_bytes(first, first + bytes.size());
}

std::vector<unsigned char> wstringToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  Converter converter;
  const std::string bytes = converter.to_bytes(text);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

#pragma GCC diagnostic pop
