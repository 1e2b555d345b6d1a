#include "lin/tui.hpp"

#include <curses.h>
#include <langinfo.h>

#include <clocale>
#include <cstring>

void initTUI() {
  std::setlocale(LC_ALL, "");
  // The wire carries UTF-8 and the keys are decoded as UTF-8, so a locale
  // without it (LANG=C over ssh, say) would cut typed and received text.
  // The terminal library picks its encoding from this at initscr.
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
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
