// The chat window on the terminal library's standard screen:
//   row 0         blank
//   rows 1..R-2   the newest history lines, oldest at the top, each on as
//                 many rows as it needs; scrolled back, rows 1..R-3 show
//                 older rows and row R-2 how many lines are below them
//   row R-1       "> " and the line being typed
// Painting and scrolling are for the main thread only; addMessage may be
// called from any.
#pragma once

#include <string>

// Appends a chat line under historyMutex and asks the key loop to repaint.
void addMessage(std::wstring text, bool isOwn);

// Repaints the whole screen from the history and input.
void redraw();

// Repaints the input line and cursor only.
void updateInputLine();

// Page Up and Page Down: the history view moves a screenful less one row,
// never above the first row nor below the newest. Lines that arrive while it
// is scrolled back do not move it.
void scrollBack();
void scrollForward();
// Back to following the newest line.
void scrollToNewest();

// A one-line notice on an otherwise empty screen, for the time before the
// chat window exists.
void showStatus(const std::string& text);

// Makes the next repaint rewrite every cell, whatever reached the terminal
// behind the terminal library's back.
void forgetScreenContents();

// Thin wrappers over the standard screen; moveCursor is 1-based.
void clearScreen();
void moveCursor(int row, int column);
void clearLine();
