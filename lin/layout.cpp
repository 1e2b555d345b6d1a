#include "lin/layout.hpp"

#include <algorithm>
#include <cwchar>

namespace {

constexpr int continuationIndent = 2;
constexpr int tabStop = 8;
constexpr wchar_t replacement = L'\uFFFD';
constexpr wchar_t noBreakSpace = L'\u00A0';
const std::wstring prompt = L"> ";

// A spacing character with the zero-width characters that follow it: the
// smallest piece a row can be cut between.
struct Glyph {
  std::wstring text;
  int cells = 0;
};

// Direction overrides, embeddings and isolates: a terminal that orders text
// by direction would rearrange the rest of the row for them.
bool reordersRow(wchar_t c) { return (c >= L'\u202A' && c <= L'\u202E') || (c >= L'\u2066' && c <= L'\u2069'); }

// The line as the terminal is to show it. A terminal acts on control
// characters (C0, DEL and C1) instead of showing them, so they are written in
// caret notation as `cat -v` does (^J, ^?, M-^E). A tab becomes blanks up to
// the next multiple of 8 cells from the start of the line. Characters the
// locale cannot show, or that reorder the row, become U+FFFD. Widths are the
// locale's wcwidth, as the terminal library counts them.
std::vector<Glyph> visibleForm(const std::wstring& line) {
  std::vector<Glyph> glyphs;
  int cells = 0;
  const auto add = [&](wchar_t c, int width) {
    glyphs.push_back({std::wstring(1, c), width});
    cells += width;
  };
  const auto caret = [&](wchar_t c) {
    add(L'^', 1);
    add(static_cast<wchar_t>((c & 0x7F) ^ 0x40), 1);
  };
  for (const wchar_t c : line) {
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
      if (glyphs.empty()) add(noBreakSpace, 1);
      glyphs.back().text += c;
    }
  }
  return glyphs;
}

void append(ScreenRow& row, const Glyph& glyph) {
  row.text += glyph.text;
  row.cells += glyph.cells;
}

}  // namespace

std::vector<ScreenRow> layoutLine(const std::wstring& line, int columns) {
  columns = std::max(columns, 1);
  // A screen too narrow for the indent and a double-width character after it
  // goes without the indent.
  const int indent = columns >= continuationIndent + 2 ? continuationIndent : 0;
  std::vector<ScreenRow> rows(1);
  for (const Glyph& glyph : visibleForm(line)) {
    ScreenRow* row = &rows.back();
    // A double-width character that does not fit at the end of a row moves
    // whole to the next one.
    if (row->cells + glyph.cells > columns && row->cells > row->indent) {
      rows.push_back({indent, {}, indent});
      row = &rows.back();
    }
    // Only a double-width character on a one-column screen gets here.
    if (row->cells + glyph.cells > columns) append(*row, {std::wstring(1, replacement), 1});
    else append(*row, glyph);
  }
  return rows;
}

std::vector<AreaRow> historyArea(const std::vector<std::wstring>& lines, int areaRows, int columns) {
  std::vector<AreaRow> area;
  const auto wanted = static_cast<std::size_t>(std::max(areaRows, 0));
  // Newest first, and only as far back as can be seen: the history grows for
  // the life of the process.
  for (std::size_t i = lines.size(); i > 0 && area.size() < wanted; --i) {
    std::vector<ScreenRow> rows = layoutLine(lines[i - 1], columns);
    for (auto row = rows.rbegin(); row != rows.rend() && area.size() < wanted; ++row)
      area.push_back({i - 1, std::move(*row)});
  }
  std::reverse(area.begin(), area.end());
  return area;
}

ScreenRow inputRow(const std::wstring& input, int columns) {
  const std::vector<Glyph> glyphs = visibleForm(input);
  const int room = columns - static_cast<int>(prompt.size()) - 1;
  int cells = 0;
  auto first = glyphs.end();
  while (first != glyphs.begin() && cells + std::prev(first)->cells <= room) cells += (--first)->cells;
  ScreenRow row{0, prompt, static_cast<int>(prompt.size())};
  std::for_each(first, glyphs.end(), [&](const Glyph& glyph) { append(row, glyph); });
  return row;
}
