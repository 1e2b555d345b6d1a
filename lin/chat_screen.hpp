// The chat window on the terminal library's standard screen:
//   row 0         blank
//   rows 1..R-2   the newest history lines, oldest at the top, each on as
//                 many rows as it needs
//   row R-1       "> " and the line being typed
// Painting is for the main thread only; addMessage may be called from any.
#pragma once

#include <string>

// Appends a chat line under historyMutex and asks the key loop to repaint.
void addMessage(const std::wstring& text, bool isOwn);

// Repaints the whole screen from the history and input.
void redraw();

// Repaints the input line and cursor only.
void updateInputLine();

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
