// Names the user gives to keys: the optional file `names` beside
// client.conf, one "KEY NAME" per line. A received line from a named key
// starts with the name instead of the key's 64 hex digits.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

inline constexpr const char* kNamesFileName = "names";
inline constexpr std::size_t kMaxNameLength = 32;

using KeyBytes = std::array<unsigned char, 32>;

struct NamesFile {
  std::map<KeyBytes, std::wstring> names;
  std::vector<std::size_t> refusedLines;  // counted from 1
};

// Reads "KEY NAME" lines: 64 hex digits, one blank, and a name of 1 to 32
// characters (UTF-8). Blank lines and lines starting with '#' are skipped. A
// line is refused when its name holds a control character, starts with a
// blank (it would pass for the continuation of the line above), could pass
// for a key (eight or more hex digits and nothing else), or when its key or
// its name was named before.
NamesFile parseNames(std::istream& in);

// Loads the file at `path` into the names that nameOf gives. Without the file
// there are no names and nothing is said; otherwise one notice in the history
// lists the lines refused, if any. Called once, before the reader thread
// starts: the names are only read after that, so they need no lock.
void loadNames(const std::string& path = kNamesFileName);

// The name of key, or null.
const std::wstring* nameOf(const KeyBytes& key);
