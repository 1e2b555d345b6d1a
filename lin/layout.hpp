// Chat text as the terminal shows it, cut into rows of display cells. Only
// the painting uses it; the history keeps the text as it came. Everything
// here lays out only what can be shown, so that a repaint costs the same
// whether the history holds ten lines or a million, short ones or huge ones.
#pragma once

#include <cstddef>
#include <optional>
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

// Lines longer than this many characters are cut for a history area of
// `areaRows` rows: so many characters fill the area whatever they are.
std::size_t cutLength(int areaRows, int columns);

// The rows a history line takes: those of layoutLine when it is at most `cut`
// characters long; otherwise its first row (which names the sender), a row
// saying how many characters are left out, and the rows of its last `cut`
// characters.
std::vector<ScreenRow> lineRows(const std::wstring& line, int columns, std::size_t cut);

// A row of the history: the one `fromEnd` rows above the last row of `line`.
struct HistoryRow {
  std::size_t line = 0;
  int fromEnd = 0;
  bool operator==(const HistoryRow&) const = default;
};

struct AreaRow {
  HistoryRow at;
  ScreenRow row;
};

// The history as rows, for one width. Holds a reference to the lines: use it
// under the lock that guards them, and only while they stay unchanged.
class HistoryLayout {
 public:
  HistoryLayout(const std::vector<std::wstring>& lines, int columns, std::size_t cut);

  // The last row of the newest line; the history must not be empty.
  HistoryRow newest() const;
  // The row `rows` rows above (older than) `from`, or the first row of the
  // history if fewer lie above it, and how many rows that is.
  std::pair<HistoryRow, int> up(HistoryRow from, int rows) const;
  // The row `rows` rows below `from`, or the newest, and how many rows that is.
  std::pair<HistoryRow, int> down(HistoryRow from, int rows) const;
  // The history area top to bottom, `areaRows` rows at most: those that end
  // at `bottom`, or at the newest row when there is none. When fewer rows
  // lie above `bottom` than the area holds, the area shows the history's
  // first rows instead; with no `bottom`, the newest rows, the oldest line
  // shown cut at the top when it does not fit whole.
  std::vector<AreaRow> area(int areaRows, std::optional<HistoryRow> bottom) const;
  // How many lines are not wholly shown above `bottom`: the lines after it,
  // and its own line when its last rows are below.
  std::size_t linesBelow(HistoryRow bottom) const;

 private:
  std::vector<ScreenRow> rowsOf(std::size_t line) const;
  int rowCount(std::size_t line) const;
  // `row` moved onto a row that exists: the newest for a line past the end.
  HistoryRow clamp(HistoryRow row) const;

  const std::vector<std::wstring>& lines_;
  int columns_;
  std::size_t cut_;
};

// The input row: "> " and as much of the end of `input` as leaves a cell
// after it for the cursor, so the text just typed stays in sight. Only that
// end is laid out.
ScreenRow inputRow(const std::wstring& input, int columns);
