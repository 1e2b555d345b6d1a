// The conversions between typed or shown text and UTF-8 payloads, and the
// line a received message becomes.
#include <gtest/gtest.h>

#include <stdexcept>

#include "lin/reader.hpp"
#include "lin/text.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Text, EmptyInEmptyOut) {
  EXPECT_EQ(utf8ToWstring({}), L"");
  EXPECT_EQ(wstringToUtf8(L""), Bytes{});
}

TEST(Text, RoundTripsAcrossAllSequenceLengths) {
  const std::wstring text = L"a\u00e9\u20ac\U0001F600";
  const Bytes utf8{'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
  EXPECT_EQ(wstringToUtf8(text), utf8);
  EXPECT_EQ(utf8ToWstring(utf8), text);
  EXPECT_EQ(wstringToUtf8(L"\u00e9"), (Bytes{0xC3, 0xA9}));
}

TEST(Text, ALeadingByteOrderMarkIsAnOrdinaryCharacter) {
  EXPECT_EQ(utf8ToWstring({0xEF, 0xBB, 0xBF, 'x'}), L"\ufeffx");
}

TEST(Text, MalformedInputFails) {
  EXPECT_THROW(utf8ToWstring({0xFF}), std::range_error);
  EXPECT_THROW(utf8ToWstring({'o', 'k', 0xFF, 'o', 'k'}), std::range_error);
  EXPECT_THROW(utf8ToWstring({0xC3, 'a'}), std::range_error);       // cut short
  EXPECT_THROW(utf8ToWstring({0x80}), std::range_error);            // stray continuation
  EXPECT_THROW(utf8ToWstring({0xF4, 0x90, 0x80, 0x80}), std::range_error);  // above U+10FFFF
}

TEST(Text, AnIncompleteTailIsDroppedWithoutError) {
  EXPECT_EQ(utf8ToWstring({'a', 0xC3}), L"a");
  EXPECT_EQ(utf8ToWstring({'a', 'b', 0xE2, 0x82}), L"ab");
}

TEST(Text, AValueAboveTheLastCodePointCannotBeEncoded) {
  EXPECT_THROW(wstringToUtf8(std::wstring{L'a', static_cast<wchar_t>(0x110000)}), std::range_error);
}

RecivedMessage message(std::initializer_list<unsigned char> key, Bytes payload) {
  unsigned char full[32] = {};
  std::copy(key.begin(), key.end(), full);
  return RecivedMessage(full, std::move(payload));
}

TEST(ReceivedLine, NamesTheSenderInLowerCaseHex) {
  unsigned char counting[32];
  for (unsigned i = 0; i < 32; ++i) counting[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(receivedLine(RecivedMessage(counting, {'h', 'i'})),
            L"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f: hi");
  EXPECT_EQ(receivedLine(message({0xAB, 0x05}, {0xC3, 0xA9})), L"ab05" + std::wstring(60, L'0') + L": \u00e9");
}

TEST(ReceivedLine, UndecodableTextIsReplacedAndATruncatedTailDropped) {
  const std::wstring prefix = std::wstring(64, L'0') + L": ";
  EXPECT_EQ(receivedLine(message({}, {0xFF})), prefix + L"<invalid UTF-8>");
  EXPECT_EQ(receivedLine(message({}, {0xC3, 'a'})), prefix + L"<invalid UTF-8>");
  EXPECT_EQ(receivedLine(message({}, {'a', 0xC3})), prefix + L"a");
}

}  // namespace
