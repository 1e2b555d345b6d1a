#include "lin/names.hpp"

#include <filesystem>
#include <fstream>
#include <istream>
#include <optional>
#include <set>
#include <stdexcept>

#include "lin/chat_screen.hpp"
#include "lin/text.hpp"

namespace {

// Filled by loadNames before the reader thread starts; read-only after.
std::map<KeyBytes, std::wstring> loadedNames;

constexpr std::size_t keyDigits = 64;
// A name of this many hex digits and nothing else could pass for a key.
constexpr std::size_t keyLikeDigits = 8;
// Lines named in the notice; the rest are counted.
constexpr std::size_t listedLines = 10;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseKey(const std::string& digits, KeyBytes& key) {
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int high = hexValue(digits[2 * i]), low = hexValue(digits[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    key[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

bool isControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

bool acceptableName(const std::wstring& name) {
  if (name.empty() || name.size() > kMaxNameLength || name.front() == L' ') return false;
  for (const wchar_t c : name)
    if (isControl(c)) return false;
  bool allHex = name.size() >= keyLikeDigits;
  for (const wchar_t c : name) allHex = allHex && c < 0x80 && hexValue(static_cast<char>(c)) >= 0;
  return !allHex;
}

std::optional<std::pair<KeyBytes, std::wstring>> parseLine(const std::string& line) {
  if (line.size() < keyDigits + 2 || line[keyDigits] != ' ') return std::nullopt;
  KeyBytes key;
  if (!parseKey(line.substr(0, keyDigits), key)) return std::nullopt;
  const std::string bytes = line.substr(keyDigits + 1);
  std::wstring name;
  try {
    name = utf8ToWstring(std::vector<unsigned char>(bytes.begin(), bytes.end()));
  } catch (const std::range_error&) {
    return std::nullopt;
  }
  // A character cut off at the end is dropped by the conversion: refuse it.
  if (wstringToUtf8(name).size() != bytes.size() || !acceptableName(name)) return std::nullopt;
  return std::make_pair(key, name);
}

std::wstring refusedNotice(const std::vector<std::size_t>& lines) {
  std::wstring notice = lines.size() == 1 ? L"Ignored line " : L"Ignored lines ";
  for (std::size_t i = 0; i < lines.size() && i < listedLines; ++i)
    notice += (i > 0 ? L", " : L"") + std::to_wstring(lines[i]);
  if (lines.size() > listedLines) notice += L" and " + std::to_wstring(lines.size() - listedLines) + L" more";
  return notice + L" of names: each line is a key of 64 hex digits, a blank and a name of 1 to 32 characters, "
                  L"with no control characters, no blank in front and not hex digits alone; each key and name once.";
}

}  // namespace

NamesFile parseNames(std::istream& in) {
  NamesFile file;
  std::set<std::wstring> taken;
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    // A file written on Windows.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto entry = parseLine(line);
    if (!entry || file.names.count(entry->first) || taken.count(entry->second)) {
      file.refusedLines.push_back(number);
      continue;
    }
    taken.insert(entry->second);
    file.names.emplace(entry->first, entry->second);
  }
  return file;
}

void loadNames(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return;
  // A FIFO or a device would block the start, or never end.
  std::ifstream in;
  if (std::filesystem::is_regular_file(path, error)) in.open(path, std::ios::binary);
  if (!in) {
    addMessage(L"Ignored names: it cannot be read as a file.", false);
    return;
  }
  NamesFile file = parseNames(in);
  loadedNames = std::move(file.names);
  if (!file.refusedLines.empty()) addMessage(refusedNotice(file.refusedLines), false);
}

const std::wstring* nameOf(const KeyBytes& key) {
  const auto found = loadedNames.find(key);
  return found == loadedNames.end() ? nullptr : &found->second;
}
