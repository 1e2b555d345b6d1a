#include "lin/chat_screen.hpp"

#include <curses.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "lin/globals.hpp"
#include "lin/layout.hpp"

namespace {

constexpr short ownPair = 1;
constexpr short otherPair = 2;

// The bottom row of the history view while it is scrolled back; empty while
// it follows the newest line. Main thread only.
std::optional<HistoryRow> viewBottom;

// Rows of the history area: one fewer while scrolled back, for the row that
// says how many lines are below.
int areaRows(int rows) { return rows - 2 - (viewBottom ? 1 : 0); }
// A scroll moves the view by a screenful less one row, so that one row stays
// in sight as a landmark.
int pageRows(int rows) { return std::max(rows - 4, 1); }

// Every history layout of one screen cuts long lines at the same place, so
// that scrolling and painting agree on the rows.
HistoryLayout layoutFor(int rows, int columns) { return HistoryLayout(history, columns, cutLength(rows - 2, columns)); }

// The input row without refresh, shared by both paints.
void paintInputLine(int rows, int columns) {
  const ScreenRow row = inputRow(input, columns);
  wmove(stdscr, rows - 1, 0);
  wclrtoeol(stdscr);
  waddnwstr(stdscr, row.text.c_str(), -1);
  wmove(stdscr, rows - 1, std::min(row.cells, std::max(columns - 1, 0)));
}

// What one repaint shows of the history, taken under the lock.
struct Shown {
  std::vector<AreaRow> area;
  std::vector<bool> own;
  std::size_t below = 0;  // lines under a scrolled-back view
};

Shown shownHistory(int rows, int columns) {
  std::lock_guard lock(historyMutex);
  const HistoryLayout layout = layoutFor(rows, columns);
  Shown shown;
  shown.area = layout.area(areaRows(rows), viewBottom);
  if (viewBottom) {
    shown.below = layout.linesBelow(shown.area.empty() ? *viewBottom : shown.area.back().at);
    // The window grew until the newest row is in sight.
    if (shown.below == 0) {
      viewBottom.reset();
      shown.area = layout.area(areaRows(rows), viewBottom);
    }
  }
  for (const AreaRow& row : shown.area) shown.own.push_back(historyIsOwn[row.at.line]);
  return shown;
}

}  // namespace

void addMessage(std::wstring text, bool isOwn) {
  std::lock_guard lock(historyMutex);
  history.push_back(std::move(text));
  historyIsOwn.push_back(isOwn);
  needRedraw = true;
}

void redraw() {
  const int rows = getmaxy(stdscr);
  const int columns = getmaxx(stdscr);
  // Laid out under the lock, painted after it: only the rows in sight are
  // laid out, and the reader need not wait for the terminal.
  const Shown shown = shownHistory(rows, columns);
  clear();
  // Laid out here rather than left to the terminal library's wrapping, which
  // would let the next line be drawn over a long one's continuation.
  for (std::size_t i = 0; i < shown.area.size(); ++i) {
    const ScreenRow& row = shown.area[i].row;
    wmove(stdscr, static_cast<int>(1 + i), row.indent);
    wattrset(stdscr, COLOR_PAIR(shown.own[i] ? ownPair : otherPair));
    waddnwstr(stdscr, row.text.c_str(), -1);
    wattrset(stdscr, A_NORMAL);
  }
  if (viewBottom && rows - 2 >= 1) {
    const std::string below = "-- " + std::to_string(shown.below) + " more below --";
    mvwaddnstr(stdscr, rows - 2, 0, below.c_str(), std::max(columns, 0));
  }
  paintInputLine(rows, columns);
  refresh();
}

void updateInputLine() {
  paintInputLine(getmaxy(stdscr), getmaxx(stdscr));
  refresh();
}

void scrollBack() {
  const int rows = getmaxy(stdscr);
  // The view keeps a row for the count below it.
  const int area = rows - 3;
  if (area < 1) return;
  std::lock_guard lock(historyMutex);
  if (history.empty()) return;
  const HistoryLayout layout = layoutFor(rows, getmaxx(stdscr));
  HistoryRow bottom = layout.up(viewBottom.value_or(layout.newest()), pageRows(rows)).first;
  // The area stays full: its top row no higher than the history's first.
  if (const auto [top, above] = layout.up(bottom, area - 1); above < area - 1) bottom = layout.down(top, area - 1).first;
  if (bottom == layout.newest()) viewBottom.reset();
  else viewBottom = bottom;
  needRedraw = true;
}

void scrollForward() {
  if (!viewBottom) return;
  const int rows = getmaxy(stdscr);
  const int page = pageRows(rows);
  std::lock_guard lock(historyMutex);
  const HistoryLayout layout = layoutFor(rows, getmaxx(stdscr));
  const auto [bottom, moved] = layout.down(*viewBottom, page);
  if (moved < page || bottom == layout.newest()) viewBottom.reset();
  else viewBottom = bottom;
  needRedraw = true;
}

void scrollToNewest() {
  if (!viewBottom) return;
  viewBottom.reset();
  needRedraw = true;
}

void showStatus(const std::string& text) {
  clearScreen();
  moveCursor(1, 1);
  waddnstr(stdscr, text.c_str(), -1);
  refresh();
}

void forgetScreenContents() {
  // Stray text moved the terminal's cursor, and the library's relative moves
  // from where it believes the cursor is would land wrong (a clear that starts
  // with a carriage return misses row 0). So place the cursor absolutely from
  // an unknown position, push that out now, and have the next refresh rewrite
  // every cell.
  mvcur(-1, -1, 0, 0);
  std::fflush(stdout);
  clearok(curscr, TRUE);
}

void clearScreen() { wclear(stdscr); }
void moveCursor(int row, int column) { wmove(stdscr, row - 1, column - 1); }
void clearLine() { wclrtoeol(stdscr); }
