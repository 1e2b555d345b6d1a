#include "lin/text.hpp"

#include <codecvt>
#include <cwchar>
#include <locale>
#include <stdexcept>

// The standard UTF-8 facet is deprecated, but its exact accept/reject rules
// (partial tail dropped, BOM kept as a character) are what the chat shows, so
// it stays; only this file is excused from the warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {
using Facet = std::codecvt_utf8<wchar_t, 0x10FFFF>;
using Converter = std::wstring_convert<Facet, wchar_t>;
}  // namespace

void appendUtf8(std::wstring& text, const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return;
  // The facet driven by hand rather than through the converter, which sets
  // aside five wide characters per byte: 320 MiB for a 16 MiB line. A
  // character takes at least one byte, so one slot per byte is always enough.
  const Facet facet;
  std::mbstate_t state{};
  const std::size_t at = text.size();
  text.resize(at + bytes.size());
  const auto* first = reinterpret_cast<const char*>(bytes.data());
  const char* read = first;
  wchar_t* written = text.data() + at;
  const auto result = facet.in(state, first, first + bytes.size(), read, text.data() + at, text.data() + text.size(),
                               written);
  if (result == std::codecvt_base::error) {
    text.resize(at);
    throw std::range_error("malformed UTF-8");
  }
  // `partial`: the bytes end inside a character, which is dropped.
  text.resize(static_cast<std::size_t>(written - text.data()));
}

std::wstring utf8ToWstring(const std::vector<unsigned char>& bytes) {
  std::wstring text;
  appendUtf8(text, bytes);
  return text;
}

std::vector<unsigned char> wstringToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  Converter converter;
  const std::string bytes = converter.to_bytes(text);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

#pragma GCC diagnostic pop
