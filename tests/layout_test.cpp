// Chat lines cut into screen rows by display cells.
#include <gtest/gtest.h>

#include <clocale>
#include <optional>

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
  const struct {
    std::wstring input, text;
    int cells;
  } cases[] = {
      {L"abcdefgh", L"> bcdefgh", 9},
      {L"\u4f60\u597d\u4f60\u597d", L"> \u597d\u4f60\u597d", 8},
      {std::wstring(1000000, L'x') + L"abc", L"> xxxxabc", 9},
  };
  for (const auto& c : cases) {
    const ScreenRow row = inputRow(c.input, 10);
    EXPECT_EQ(row.text, c.text);
    EXPECT_EQ(row.cells, c.cells);
  }
  // However many accents are heaped on one letter, a cell holds four and the
  // end stays in sight.
  const ScreenRow heaped = inputRow(L"x" + std::wstring(100000, L'\u0301') + L"ab", 10);
  EXPECT_TRUE(heaped.text.ends_with(L"\u0301ab"));
  EXPECT_EQ(heaped.cells, 9);
  EXPECT_LE(heaped.text.size(), 2 + 5 * 5 + 2u);
}

std::vector<std::wstring> shown(const std::vector<ScreenRow>& rows) {
  std::vector<std::wstring> out;
  for (const ScreenRow& row : rows) out.push_back(std::wstring(static_cast<std::size_t>(row.indent), L' ') + row.text);
  return out;
}

TEST(Layout, ALineTooLongForTheAreaKeepsItsFirstRowAndAsMuchOfItsEndAsFillsTheArea) {
  ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
  // Three rows of ten columns: at most 200 characters are laid out.
  const std::size_t cut = cutLength(3, 10);
  const std::wstring line = L"0123456789" + std::wstring(1000, L'-') + L"abcdefgh";
  EXPECT_EQ(shown(lineRows(line.substr(0, 200), 10, cut)), shown(layoutLine(line.substr(0, 200), 10)));
  const std::vector<std::wstring> rows = shown(lineRows(line, 10, cut));
  const std::vector<std::wstring> head{L"0123456789", L"  [808 cha", L"  racters ", L"  not show", L"  n]"};
  ASSERT_EQ(rows.size(), head.size() + 25);
  EXPECT_EQ(std::vector<std::wstring>(rows.begin(), rows.begin() + 5), head);
  EXPECT_EQ(rows.back(), L"  abcdefgh");
  // Characters that take no cell of their own still fill the area.
  const std::wstring accents = L"x" + std::wstring(100000, L'\u0301') + L"end";
  EXPECT_GE(lineRows(accents, 10, cut).size(), 2 + 4u);
}

TEST(Layout, TheHistoryAreaEndsAtItsBottomRowAndMovesByRows) {
  ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
  // At ten columns "c" takes three rows; the others one each.
  const std::vector<std::wstring> lines{L"a", L"b", L"cccccccccc-------yyyyyy", L"d", L"e"};
  const HistoryLayout layout(lines, 10, cutLength(4, 10));
  const auto texts = [&](int rows, std::optional<HistoryRow> bottom) {
    std::vector<std::wstring> out;
    for (const AreaRow& row : layout.area(rows, bottom)) out.push_back(row.row.text);
    return out;
  };
  using Texts = std::vector<std::wstring>;
  EXPECT_EQ(texts(3, std::nullopt), (Texts{L"yyyyy", L"d", L"e"}));
  EXPECT_EQ(texts(3, HistoryRow{2, 1}), (Texts{L"b", L"cccccccccc", L"-------y"}));
  // Fewer rows above the bottom than the area holds: the history's first rows.
  EXPECT_EQ(texts(3, HistoryRow{1, 0}), (Texts{L"a", L"b", L"cccccccccc"}));
  EXPECT_EQ(texts(9, std::nullopt).size(), 7u);

  EXPECT_EQ(layout.up(layout.newest(), 3), std::make_pair(HistoryRow{2, 1}, 3));
  EXPECT_EQ(layout.up(HistoryRow{2, 1}, 10), std::make_pair(HistoryRow{0, 0}, 3));
  EXPECT_EQ(layout.down(HistoryRow{0, 0}, 2), std::make_pair(HistoryRow{2, 2}, 2));
  EXPECT_EQ(layout.down(HistoryRow{2, 2}, 10), std::make_pair(layout.newest(), 4));
  EXPECT_EQ(layout.linesBelow(HistoryRow{2, 1}), 3u);
  EXPECT_EQ(layout.linesBelow(HistoryRow{3, 0}), 1u);
}

}  // namespace
