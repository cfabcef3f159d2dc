#pragma once
#include <cstddef>

// The keyboard and screen of the console program. With a terminal on standard input
// keys can be polled without waiting (raw mode); with pipes or no input at all there
// is no key to poll and lines are read plainly.

// Key code of every extended key (arrows, function keys) for readers other than the
// line editor.
inline constexpr int CONSOLE_KEY_EXTENDED = 0x7F;

// True when standard input is a terminal (decided once).
bool ConsoleIsTerminal();

// Usable width: the terminal's columns less 10, or 70 without a terminal.
int ConsoleUsableWidth();

// Next key without waiting (wait = false: 0 when none is ready) or with waiting.
// Extended keys read as CONSOLE_KEY_EXTENDED. Always 0 without a terminal.
// Puts the terminal into raw mode for as long as the program runs; line reading
// switches back to the terminal's own line editing.
int ConsoleGetKey(bool wait);

// Discards keys already typed (terminal only).
void ConsoleFlushKeys();

// Reads one line into buffer (at most size - 1 characters, line end removed).
// On a terminal the terminal's own line editing applies. False at end of input.
bool ConsoleReadLine(char* buffer, size_t size);

// Restores the terminal's settings of program start (also done at exit).
void ConsoleRestore();
