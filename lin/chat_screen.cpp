#include "lin/chat_screen.hpp"

#include <curses.h>

#include <algorithm>
#include <cstdio>

#include "lin/globals.hpp"
#include "lin/layout.hpp"

namespace {

constexpr short ownPair = 1;
constexpr short otherPair = 2;

// The input row without refresh, shared by both paints.
void paintInputLine(int rows, int columns) {
  const ScreenRow row = inputRow(input, columns);
  wmove(stdscr, rows - 1, 0);
  wclrtoeol(stdscr);
  waddnwstr(stdscr, row.text.c_str(), -1);
  wmove(stdscr, rows - 1, std::min(row.cells, std::max(columns - 1, 0)));
}

}  // namespace

void addMessage(const std::wstring& text, bool isOwn) {
  std::lock_guard lock(historyMutex);
  history.push_back(text);
  historyIsOwn.push_back(isOwn);
  needRedraw = true;
}

void redraw() {
  std::lock_guard lock(historyMutex);
  const int rows = getmaxy(stdscr);
  const int columns = getmaxx(stdscr);
  clear();
  // Laid out here rather than left to the terminal library's wrapping, which
  // would let the next line be drawn over a long one's continuation.
  const std::vector<AreaRow> area = historyArea(history, rows - 2, columns);
  for (std::size_t i = 0; i < area.size(); ++i) {
    const ScreenRow& row = area[i].row;
    wmove(stdscr, static_cast<int>(1 + i), row.indent);
    wattrset(stdscr, COLOR_PAIR(historyIsOwn[area[i].line] ? ownPair : otherPair));
    waddnwstr(stdscr, row.text.c_str(), -1);
    wattrset(stdscr, A_NORMAL);
  }
  paintInputLine(rows, columns);
  refresh();
}

void updateInputLine() {
  paintInputLine(getmaxy(stdscr), getmaxx(stdscr));
  refresh();
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
