// Chat lines cut into screen rows by display cells.
#include <gtest/gtest.h>

#include <clocale>

#include "layout.hpp"

namespace {

// Each row as the screen shows it: the indent as blanks, then the text.
std::vector<std::wstring> shown(const std::vector<ScreenRow>& rows) {
  std::vector<std::wstring> out;
  for (const ScreenRow& row : rows) out.push_back(std::wstring(static_cast<std::size_t>(row.indent), L' ') + row.text);
  return out;
}

class Layout : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8")); }
};

TEST_F(Layout, LinesWrapByCellsIndentedAndShowEveryControlCharacter) {
  struct Case {
    std::wstring line;
    int columns;
    std::vector<std::wstring> rows;
    std::vector<int> cells;
  };
  const Case cases[] = {
      {L"", 80, {L""}, {0}},
      {L"abcdefghij", 10, {L"abcdefghij"}, {10}},
      {L"abcdefghijk", 4, {L"abcd", L"  ef", L"  gh", L"  ij", L"  k"}, {4, 4, 4, 4, 3}},
      // Double-width: one cell short of the end, it moves whole.
      {L"abc\u4f60\u597d", 4, {L"abc", L"  \u4f60", L"  \u597d"}, {3, 4, 4}},
      // A combining accent stays with its letter; with none before it, it gets a blank.
      {L"abcde\u0301", 4, {L"abcd", L"  e\u0301"}, {4, 3}},
      {L"\u0301a", 80, {L"\u00a0\u0301a"}, {2}},
      {L"a\nb\r\b\x1b\x7f\x85\x9f", 80, {L"a^Jb^M^H^[^?M-^EM-^_"}, {20}},
      // A control character's caret form wraps like any other text.
      {L"abc\n", 4, {L"abc^", L"  J"}, {4, 3}},
      {L"a\tb\t\tc", 80, {L"a       b               c"}, {25}},
      // Unassigned, a line separator, a direction override.
      {L"\U000E0080\u2028\u202ex", 80, {L"\ufffd\ufffd\ufffdx"}, {4}},
      // Too narrow for the indent or for a double-width character.
      {L"abcd", 3, {L"abc", L"d"}, {3, 1}},
      {L"\u4f60a", 1, {L"\ufffd", L"a"}, {1, 1}},
  };
  for (const Case& c : cases) {
    const std::vector<ScreenRow> rows = layoutLine(c.line, c.columns);
    EXPECT_EQ(shown(rows), c.rows) << testing::PrintToString(c.line);
    std::vector<int> cells;
    for (const ScreenRow& row : rows) cells.push_back(row.cells);
    EXPECT_EQ(cells, c.cells) << testing::PrintToString(c.line);
  }
}

TEST_F(Layout, TheAreaShowsTheNewestRowsAndCutsTheOldestLineAtTheTop) {
  const std::vector<std::wstring> lines{L"one", L"abcdefgh", L"two"};
  struct Case {
    int areaRows;
    std::vector<std::size_t> line;
    std::vector<std::wstring> rows;
  };
  const Case cases[] = {
      {9, {0, 1, 1, 2}, {L"one", L"abcde", L"  fgh", L"two"}},
      {3, {1, 1, 2}, {L"abcde", L"  fgh", L"two"}},
      {2, {1, 2}, {L"  fgh", L"two"}},
      {0, {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::size_t> line;
    std::vector<ScreenRow> rows;
    for (const AreaRow& r : historyArea(lines, c.areaRows, 5)) {
      line.push_back(r.line);
      rows.push_back(r.row);
    }
    EXPECT_EQ(line, c.line) << c.areaRows;
    EXPECT_EQ(shown(rows), c.rows) << c.areaRows;
  }
}

TEST_F(Layout, TheInputRowKeepsTheEndOfTheInputAndACellForTheCursor) {
  struct Case {
    std::wstring input;
    int columns;
    std::wstring row;
    int cells;
  };
  const Case cases[] = {
      {L"", 10, L"> ", 2},
      {L"abcdefg", 10, L"> abcdefg", 9},
      {L"abcdefgh", 10, L"> bcdefgh", 9},
      {L"\u4f60\u597d", 10, L"> \u4f60\u597d", 6},
      {L"abcd\u4f60\u597d\u4f60", 10, L"> d\u4f60\u597d\u4f60", 9},
      {L"\u4f60\u597d\u4f60\u597d", 10, L"> \u597d\u4f60\u597d", 8},
      {L"ab\x85", 10, L"> abM-^E", 8},
  };
  for (const Case& c : cases) {
    const ScreenRow row = inputRow(c.input, c.columns);
    EXPECT_EQ(row.text, c.row) << testing::PrintToString(c.input);
    EXPECT_EQ(row.cells, c.cells) << testing::PrintToString(c.input);
  }
}

}  // namespace
