#include "lin/chat_screen.hpp"

#include <curses.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cwchar>

#include "lin/globals.hpp"

namespace {

constexpr short ownPair = 1;
constexpr short otherPair = 2;

// The input row without refresh, shared by both paints.
void paintInputLine(int rows, int columns) {
  wmove(stdscr, rows - 1, 0);
  wclrtoeol(stdscr);
  waddnstr(stdscr, "> ", -1);
  waddnwstr(stdscr, input.c_str(), -1);
  // Counted in characters, not cells: double-width text leaves it short.
  const auto column = std::min<std::size_t>(input.size() + 2, static_cast<std::size_t>(std::max(columns - 1, 0)));
  wmove(stdscr, rows - 1, static_cast<int>(column));
}

// A chat line as the terminal library draws it, except that a carriage return
// or a backspace is shown as ^M or ^H, as the library shows other control
// characters: moving back, received text could paint another key over its
// sender's and pass itself off as someone else's. Stops where the library
// gives up (past the bottom-right corner), as a single write would.
void paintLine(const std::wstring& text) {
  const wchar_t* rest = text.c_str();
  const wchar_t* const end = rest + std::wcslen(rest);
  while (rest < end) {
    const wchar_t* const stop = std::find_if(rest, end, [](wchar_t c) { return c == L'\r' || c == L'\b'; });
    const auto run = static_cast<int>(std::min<std::ptrdiff_t>(stop - rest, INT_MAX));
    if (run > 0 && waddnwstr(stdscr, rest, run) == ERR) return;
    rest += run;
    if (rest == stop && stop != end) {
      if (waddstr(stdscr, unctrl(static_cast<chtype>(*stop))) == ERR) return;
      ++rest;
    }
  }
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
  const std::size_t count = history.size();
  const std::size_t area = rows > 2 ? static_cast<std::size_t>(rows - 2) : 0;
  const std::size_t first = count > area ? count - area : 0;
  for (std::size_t i = first; i < count; ++i) {
    wattrset(stdscr, COLOR_PAIR(historyIsOwn[i] ? ownPair : otherPair));
    wmove(stdscr, static_cast<int>(1 + i - first), 0);
    paintLine(history[i]);
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
