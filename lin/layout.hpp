// Chat text as the terminal shows it, cut into rows of display cells. Only
// the painting uses it; the history keeps the text as it came.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One screen row: `indent` blank cells, then `text`, which holds printable
// characters only and takes `cells` - `indent` cells.
struct ScreenRow {
  int indent = 0;
  std::wstring text;
  int cells = 0;
};

// The rows a chat line takes on a screen `columns` cells wide. Control
// characters are shown in caret notation (a newline as ^J), so that nothing
// received can move the cursor; continuation rows are indented, so that
// column 0 only ever holds the start of a line.
std::vector<ScreenRow> layoutLine(const std::wstring& line, int columns);

// A row of the history area and the history line it belongs to.
struct AreaRow {
  std::size_t line = 0;
  ScreenRow row;
};

// The history area top to bottom: the rows of the newest lines, as many as
// `areaRows` holds, the oldest line shown cut at the top when it does not
// fit whole.
std::vector<AreaRow> historyArea(const std::vector<std::wstring>& lines, int areaRows, int columns);

// The input row: "> " and as much of the end of `input` as leaves a cell
// after it for the cursor, so the text just typed stays in sight.
ScreenRow inputRow(const std::wstring& input, int columns);
