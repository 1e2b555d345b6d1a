#include "lin/layout.hpp"

#include <algorithm>
#include <cwchar>
#include <string_view>

namespace {

constexpr int continuationIndent = 2;
constexpr int tabStop = 8;
constexpr wchar_t replacement = L'\uFFFD';
constexpr wchar_t noBreakSpace = L'\u00A0';
const std::wstring prompt = L"> ";

// Zero-width characters one cell carries with its spacing character: as many
// as a cell of the terminal library holds. Any further one starts a cell of
// its own, so that every few characters take at least a cell.
constexpr std::size_t maxZeroWidth = 4;
constexpr std::size_t charactersPerCell = maxZeroWidth + 1;

// A spacing character with the zero-width characters that follow it: the
// smallest piece a row can be cut between. `end` is the position in the laid
// out text just after it.
struct Glyph {
  std::wstring text;
  int cells = 0;
  std::size_t end = 0;
};

// Direction overrides, embeddings and isolates: a terminal that orders text
// by direction would rearrange the rest of the row for them.
bool reordersRow(wchar_t c) { return (c >= L'\u202A' && c <= L'\u202E') || (c >= L'\u2066' && c <= L'\u2069'); }

// The text as the terminal is to show it. A terminal acts on control
// characters (C0, DEL and C1) instead of showing them, so they are written in
// caret notation as `cat -v` does (^J, ^?, M-^E). A tab becomes blanks up to
// the next multiple of 8 cells from the start of the text. Characters the
// locale cannot show, or that reorder the row, become U+FFFD. Widths are the
// locale's wcwidth, as the terminal library counts them.
std::vector<Glyph> visibleForm(std::wstring_view text) {
  std::vector<Glyph> glyphs;
  int cells = 0;
  std::size_t at = 0;
  const auto add = [&](wchar_t c, int width) {
    glyphs.push_back({std::wstring(1, c), width, at + 1});
    cells += width;
  };
  const auto caret = [&](wchar_t c) {
    add(L'^', 1);
    add(static_cast<wchar_t>((c & 0x7F) ^ 0x40), 1);
  };
  for (; at < text.size(); ++at) {
    const wchar_t c = text[at];
    if (c == L'\t') {
      do add(L' ', 1);
      while (cells % tabStop != 0);
    } else if (c < 0x20 || c == 0x7F) {
      caret(c);
    } else if (c >= 0x80 && c < 0xA0) {
      add(L'M', 1);
      add(L'-', 1);
      caret(c);
    } else if (const int width = reordersRow(c) ? -1 : ::wcwidth(c); width < 0) {
      add(replacement, 1);
    } else if (width > 0) {
      add(c, width);
    } else {
      // Zero-width characters go with the character before them; one with
      // nothing before it gets a blank to sit on, as it would otherwise land
      // on whatever the terminal shows before this line.
      if (glyphs.empty() || glyphs.back().text.size() > maxZeroWidth) add(noBreakSpace, 1);
      glyphs.back().text += c;
      glyphs.back().end = at + 1;
    }
  }
  return glyphs;
}

void append(ScreenRow& row, const Glyph& glyph) {
  row.text += glyph.text;
  row.cells += glyph.cells;
}

struct LaidOut {
  std::vector<ScreenRow> rows;
  std::size_t end = 0;  // position in the text just after the last glyph placed
};

// Rows of `text`, at most `maxRows`; with `continued` the first row is
// indented too, as the text does not start the line.
LaidOut layoutRows(std::wstring_view text, int columns, bool continued, std::size_t maxRows = std::wstring::npos) {
  columns = std::max(columns, 1);
  // A screen too narrow for the indent and a double-width character after it
  // goes without the indent.
  const int indent = columns >= continuationIndent + 2 ? continuationIndent : 0;
  LaidOut out;
  out.rows.push_back(continued ? ScreenRow{indent, {}, indent} : ScreenRow{});
  for (const Glyph& glyph : visibleForm(text)) {
    ScreenRow* row = &out.rows.back();
    // A double-width character that does not fit at the end of a row moves
    // whole to the next one.
    if (row->cells + glyph.cells > columns && row->cells > row->indent) {
      if (out.rows.size() == maxRows) break;
      out.rows.push_back({indent, {}, indent});
      row = &out.rows.back();
    }
    // Only a double-width character on a one-column screen gets here.
    if (row->cells + glyph.cells > columns) append(*row, {std::wstring(1, replacement), 1});
    else append(*row, glyph);
    out.end = glyph.end;
  }
  return out;
}

}  // namespace

std::vector<ScreenRow> layoutLine(const std::wstring& line, int columns) {
  return layoutRows(line, columns, false).rows;
}

std::size_t cutLength(int areaRows, int columns) {
  // Every charactersPerCell characters take a cell at least, and a row holds
  // at most `columns` cells: one row to spare.
  return charactersPerCell * static_cast<std::size_t>(std::max(areaRows, 1) + 1) *
         static_cast<std::size_t>(std::max(columns, 1));
}

std::vector<ScreenRow> lineRows(const std::wstring& line, int columns, std::size_t cut) {
  // The head is laid out from a piece that surely fills its first row.
  const std::size_t headPiece = charactersPerCell * static_cast<std::size_t>(std::max(columns, 1) + 1);
  if (line.size() <= cut + headPiece) return layoutLine(line, columns);
  const std::wstring_view text(line);
  LaidOut head = layoutRows(text.substr(0, headPiece), columns, false, 1);
  const std::size_t leftOut = line.size() - cut - head.end;
  std::vector<ScreenRow> rows = std::move(head.rows);
  for (ScreenRow& row : layoutRows(L"[" + std::to_wstring(leftOut) + L" characters not shown]", columns, true).rows)
    rows.push_back(std::move(row));
  for (ScreenRow& row : layoutRows(text.substr(line.size() - cut), columns, true).rows) rows.push_back(std::move(row));
  return rows;
}

HistoryLayout::HistoryLayout(const std::vector<std::wstring>& lines, int columns, std::size_t cut)
    : lines_(lines), columns_(columns), cut_(cut) {}

std::vector<ScreenRow> HistoryLayout::rowsOf(std::size_t line) const { return lineRows(lines_[line], columns_, cut_); }

int HistoryLayout::rowCount(std::size_t line) const { return static_cast<int>(rowsOf(line).size()); }

HistoryRow HistoryLayout::newest() const { return {lines_.size() - 1, 0}; }

HistoryRow HistoryLayout::clamp(HistoryRow row) const {
  if (row.line >= lines_.size()) return newest();
  row.fromEnd = std::clamp(row.fromEnd, 0, rowCount(row.line) - 1);
  return row;
}

std::pair<HistoryRow, int> HistoryLayout::up(HistoryRow from, int rows) const {
  HistoryRow at = clamp(from);
  int moved = 0;
  for (int above = rowCount(at.line) - 1 - at.fromEnd;; above = rowCount(at.line) - 1) {
    const int step = std::min(above, rows - moved);
    at.fromEnd += step;
    moved += step;
    if (moved == rows || at.line == 0) break;
    at = {at.line - 1, 0};
    ++moved;
  }
  return {at, moved};
}

std::pair<HistoryRow, int> HistoryLayout::down(HistoryRow from, int rows) const {
  HistoryRow at = clamp(from);
  int moved = 0;
  for (;;) {
    const int step = std::min(at.fromEnd, rows - moved);
    at.fromEnd -= step;
    moved += step;
    if (moved == rows || at.line + 1 == lines_.size()) break;
    at = {at.line + 1, rowCount(at.line + 1) - 1};
    ++moved;
  }
  return {at, moved};
}

std::vector<AreaRow> HistoryLayout::area(int areaRows, std::optional<HistoryRow> bottom) const {
  std::vector<AreaRow> area;
  const auto wanted = static_cast<std::size_t>(std::max(areaRows, 0));
  if (lines_.empty() || wanted == 0) return area;
  const HistoryRow last = bottom ? clamp(*bottom) : newest();
  // Upwards from the bottom, and only as far as can be seen.
  for (std::size_t i = last.line + 1; i > 0 && area.size() < wanted; --i) {
    std::vector<ScreenRow> rows = rowsOf(i - 1);
    const int count = static_cast<int>(rows.size());
    for (int fromEnd = i - 1 == last.line ? last.fromEnd : 0; fromEnd < count && area.size() < wanted; ++fromEnd)
      area.push_back({{i - 1, fromEnd}, std::move(rows[static_cast<std::size_t>(count - 1 - fromEnd)])});
  }
  std::reverse(area.begin(), area.end());
  if (!bottom || area.size() == wanted) return area;
  // The window grew while scrolled back: the area stays full.
  area.clear();
  for (std::size_t i = 0; i < lines_.size() && area.size() < wanted; ++i) {
    std::vector<ScreenRow> rows = rowsOf(i);
    const int count = static_cast<int>(rows.size());
    for (int r = 0; r < count && area.size() < wanted; ++r)
      area.push_back({{i, count - 1 - r}, std::move(rows[static_cast<std::size_t>(r)])});
  }
  return area;
}

std::size_t HistoryLayout::linesBelow(HistoryRow bottom) const {
  const HistoryRow at = clamp(bottom);
  return lines_.size() - 1 - at.line + (at.fromEnd > 0 ? 1 : 0);
}

ScreenRow inputRow(const std::wstring& input, int columns) {
  const int room = columns - static_cast<int>(prompt.size()) - 1;
  // Only the end can be shown, and so many characters fill the row whatever
  // they are.
  std::wstring_view end(input);
  end.remove_prefix(end.size() - std::min(end.size(), charactersPerCell * static_cast<std::size_t>(std::max(room, 0) + 2)));
  const std::vector<Glyph> glyphs = visibleForm(end);
  int cells = 0;
  auto first = glyphs.end();
  while (first != glyphs.begin() && cells + std::prev(first)->cells <= room) cells += (--first)->cells;
  ScreenRow row{0, prompt, static_cast<int>(prompt.size())};
  std::for_each(first, glyphs.end(), [&](const Glyph& glyph) { append(row, glyph); });
  return row;
}
