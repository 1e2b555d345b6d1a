#include "lin/tui.hpp"

#include <curses.h>

#include <clocale>

void initTUI() {
  std::setlocale(LC_ALL, "");
  initscr();
  cbreak();
  noecho();
  keypad(stdscr, TRUE);
  // Esc ends the chat; the default one-second wait for a following escape
  // sequence would make it feel stuck. 100 ms still takes in a whole arrow-key
  // sequence over a slow remote link.
  set_escdelay(100);
  curs_set(1);
  wtimeout(stdscr, 10);
  if (has_colors()) {
    start_color();
    init_pair(1, COLOR_GREEN, COLOR_BLACK);
    init_pair(2, COLOR_YELLOW, COLOR_BLACK);
  }
}
