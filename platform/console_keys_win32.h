#pragma once
#include <windows.h>

// The Win32 console proper, for console_win32.cpp when standard input is a console:
// key events from "CONIN$" in console mode 0, the screen of "CONOUT$" and the console
// control handler. console_keys_win32.cpp implements the WinConsole* calls; without it
// every run reads plain lines, as with pipes.

// Opens "CONIN$" and "CONOUT$", saves their modes and sets the input's mode to 0 (keys
// one by one, no echo, Ctrl+C as a key), and installs the control handler. Called once
// from ConsoleOpen. False when standard input is no console (nothing is changed then).
bool WinConsoleOpen();
// True when standard input is a console (decided once, before or without WinConsoleOpen).
bool WinConsolePresent();
// The console input, to wait on beside a transfer's event; null without a console.
HANDLE WinConsoleInput();

// Next key in the line editor's codes of console.h (extended keys = scan code x 256),
// decoded from the key events; 0 when none is ready (!wait), or, when waiting, once
// ConsoleEndStatus() is non-zero. Ctrl+C comes as KEY_CTRL_C.
int WinConsoleReadKey(bool wait);
// Discards the input events already there.
void WinConsoleFlushKeys();
// Reads the input events now there (without waiting); true when one of them was Esc,
// Ctrl+L or Ctrl+C (the latter noted with ConsoleNoteCtrlC).
bool WinConsoleCancelKeyPressed();

// Columns of the screen buffer, 0 when unknown.
int WinConsoleColumns();
// True once after the screen buffer changed its size (a resize event was read).
bool WinConsoleResized();
// Cursor shape: 0 or 1 normal (underline), 2 insert (block).
void WinConsoleSetCursor(int shape);

// The console's modes and cursor of program start while another program (a shell)
// runs, and back to ours after; Restore at exit.
void WinConsoleSuspend();
void WinConsoleResume();
void WinConsoleRestore();

// ---- provided by console_win32.cpp, for the control handler ----

// An ending event of the console (Ctrl+C while processed input is on, Ctrl+Break, the
// window closed, log-off, shut-down), as a signal's number would say it on POSIX:
// 130 for Ctrl+C and Ctrl+Break, 129 for a close, 143 for log-off and shut-down. The
// first asks the program to end the normal way (ConsoleEndStatus, ConsoleEndFd); a
// second one ends it at once, with no temporary file left and the console restored.
void ConsoleEndRequested(int status);
// True while another program (a shell) runs in the console: its Ctrl+C is its own.
bool ConsoleHandedOver();
