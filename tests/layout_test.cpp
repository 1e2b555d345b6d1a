// Chat lines cut into screen rows by display cells.
#include <gtest/gtest.h>

#include <clocale>

#include "lin/layout.hpp"

namespace {

TEST(Layout, LinesWrapByCellsIndentedAndShowEveryControlCharacter) {
  ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
  const struct {
    std::wstring line;
    int columns;
    std::vector<std::wstring> rows;  // the indent shown as blanks
  } cases[] = {
      {L"abcdefghijk", 4, {L"abcd", L"  ef", L"  gh", L"  ij", L"  k"}},
      // Double-width: one cell short of the end, it moves whole.
      {L"abc\u4f60\u597d", 4, {L"abc", L"  \u4f60", L"  \u597d"}},
      // A combining accent stays with its letter; with none before it, it gets a blank.
      {L"abcde\u0301", 4, {L"abcd", L"  e\u0301"}},
      {L"\u0301a", 80, {L"\u00a0\u0301a"}},
      {L"a\nb\r\b\x1b\x7f\x85\x9f", 80, {L"a^Jb^M^H^[^?M-^EM-^_"}},
      {L"abc\n", 4, {L"abc^", L"  J"}},
      {L"a\tb\t\tc", 80, {L"a       b               c"}},
      // Unassigned, a line separator, a direction override.
      {L"\U000E0080\u2028\u202ex", 80, {L"\ufffd\ufffd\ufffdx"}},
      // Too narrow for the indent, or for a double-width character.
      {L"abcd", 3, {L"abc", L"d"}},
      {L"\u4f60a", 1, {L"\ufffd", L"a"}},
  };
  for (const auto& c : cases) {
    std::vector<std::wstring> rows;
    for (const ScreenRow& row : layoutLine(c.line, c.columns))
      rows.push_back(std::wstring(static_cast<std::size_t>(row.indent), L' ') + row.text);
    EXPECT_EQ(rows, c.rows) << testing::PrintToString(c.line);
  }
}

TEST(Layout, TheInputRowKeepsTheEndOfTheInputAndACellForTheCursor) {
  ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
  // Ten columns: the prompt, at most seven cells of input, the cursor.
  const ScreenRow ascii = inputRow(L"abcdefgh", 10), wide = inputRow(L"\u4f60\u597d\u4f60\u597d", 10);
  EXPECT_EQ(ascii.text, L"> bcdefgh");
  EXPECT_EQ(ascii.cells, 9);
  EXPECT_EQ(wide.text, L"> \u597d\u4f60\u597d");
  EXPECT_EQ(wide.cells, 8);
}

}  // namespace
