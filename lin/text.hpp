// Conversion between the front end's wide strings (one code point per
// element) and the UTF-8 bytes that travel as payloads.
#pragma once

#include <string>
#include <vector>

// Throws std::range_error on malformed UTF-8. An incomplete sequence at the
// very end is not an error: it is dropped.
std::wstring utf8ToWstring(const std::vector<unsigned char>& bytes);

// utf8ToWstring's characters appended to text, which takes no more room than
// they need when they are ASCII. Throws as utf8ToWstring does, leaving text
// as it was.
void appendUtf8(std::wstring& text, const std::vector<unsigned char>& bytes);

// Throws std::range_error for a value that is not a code point (above U+10FFFF).
std::vector<unsigned char> wstringToUtf8(const std::wstring& text);
