#pragma once
#include <cstddef>

// The one-line editor of the terminal: cursor keys, insert/overtype, a 200-entry
// history with prefix search and function-key texts.

inline constexpr int HISTORY_SIZE = 200;

enum EditResult { EDIT_LINE, EDIT_END };

// Prints the prompt and edits a line into buffer (size bytes); the line is added to
// the history. EDIT_END at the end of input or when the program is to end.
EditResult EditLine(const char* prompt, char* buffer, size_t size);

// History add: an empty line or one equal to the newest entry is not kept.
void HistoryAdd(const char* line);
