#pragma once
#include <cstddef>

// The keyboard and screen of the console program. With a terminal on standard input
// the terminal is kept in raw mode from ConsoleOpen to the end of the program (keys
// one by one, no echo, Ctrl+C, Ctrl+S and Ctrl+L as plain keys); its settings of
// program start come back on every exit path and while a shell runs. With pipes or
// no input at all there is no key to poll and lines are read plainly.

// Key code of every extended key (arrows, function keys) for readers other than the
// line editor.
inline constexpr int CONSOLE_KEY_EXTENDED = 0x7F;

// Extended key codes of the line editor: scan code x 256.
enum : int {
    KEY_HOME = 0x4700,
    KEY_UP = 0x4800,
    KEY_PGUP = 0x4900,
    KEY_LEFT = 0x4B00,
    KEY_RIGHT = 0x4D00,
    KEY_END = 0x4F00,
    KEY_DOWN = 0x5000,
    KEY_PGDN = 0x5100,
    KEY_INSERT = 0x5200,
    KEY_DELETE = 0x5300,
    KEY_CTRL_LEFT = 0x7300,
    KEY_CTRL_RIGHT = 0x7400,
    KEY_CTRL_END = 0x7500,
    KEY_CTRL_PGDN = 0x7600,
    KEY_CTRL_HOME = 0x7700,
    KEY_CTRL_PGUP = 0x8400,
    KEY_F1 = 0x3B00,
    KEY_SHIFT_F1 = 0x5400,
    KEY_CTRL_F1 = 0x5E00,
    KEY_ALT_F1 = 0x6800,
    KEY_UNKNOWN = 0xFF00,  // a sequence that names no key of ours
};
inline constexpr int KEY_CTRL_C = 0x03;

// Saves the terminal's settings, hooks the ending signals and enters raw mode. Called
// once at program start, before anything can touch the terminal.
void ConsoleOpen();

// True when standard input is a terminal (decided once).
bool ConsoleIsTerminal();
// Standard input's descriptor when it is a terminal at the time of the call, else -1:
// where a transfer's wait watches for the cancel key (ConsoleWatchKeysRaw).
int ConsoleTerminalFd();
// True when standard output is a terminal at the time of the call.
bool ConsoleOutputIsTerminal();

// Usable width: the terminal's columns less 10, or 70 without a terminal.
int ConsoleUsableWidth();
// True once after the terminal has changed its size.
bool ConsoleResized();

// Next key in the line editor's codes (extended keys = scan code x 256), without
// waiting (0 when none is ready) or with waiting (0 at the end of input or when the
// program is to end). Always 0 without a terminal.
int ConsoleReadKey(bool wait);
// The same with every extended key read as CONSOLE_KEY_EXTENDED.
int ConsoleGetKey(bool wait);

// Discards keys already typed (terminal only).
void ConsoleFlushKeys();

// Terminal output straight through (flushes standard output first).
void ConsoleWrite(const char* text, size_t length);
// Cursor shape: 0 or 1 normal (underline), 2 insert (block).
void ConsoleSetCursor(int shape);

// Next byte of plain input (pipes, files), -1 at its end. Shares its buffer with
// ConsoleReadLine, so single keys and lines can follow each other.
int ConsoleReadByte();

// Result of reading a plain line.
enum ConsoleLine { CONSOLE_LINE_OK, CONSOLE_LINE_END, CONSOLE_LINE_TOO_LONG, CONSOLE_LINE_NUL };
// Reads one plain line into buffer (at most size - 1 characters, line end and a CR in
// front of it removed). A longer line or one holding a NUL byte is read to its end
// and refused whole.
ConsoleLine ConsoleReadLine(char* buffer, size_t size);

// Ctrl+C seen by any reader. True when it is the second within a second: the program
// is then to end (ConsoleEndStatus turns non-zero).
bool ConsoleNoteCtrlC();
// 0 while the program runs on; otherwise the exit status it is to end with
// (130 after Ctrl+C twice or SIGINT, 143 after SIGTERM, 129 after SIGHUP).
int ConsoleEndStatus();

// A descriptor that polls readable from the first ending signal on (-1 before
// ConsoleOpen), so that a transfer's wait can watch for it beside its own.
int ConsoleEndFd();

// The terminal in its settings of program start while another program (a shell)
// runs, and back in raw mode after. Meanwhile a Ctrl+C typed on the terminal is the
// other program's; a SIGINT sent to this program still asks it to end.
void ConsoleSuspend();
void ConsoleResume();

// Restores the terminal's settings of program start (also done at exit).
void ConsoleRestore();

// The cancel key of a transfer's wait, watched on terminal `fd` (any terminal, not
// only the console program's own). Keys arrive one by one and unechoed while a wait
// watches it; the settings it had come back at exit, or at once when another
// terminal is watched or ConsoleWatchRestore is called.
void ConsoleWatchKeysRaw(int fd);
void ConsoleWatchRestore();
// Reads one key from the watched terminal; true for Esc alone, Ctrl+L or Ctrl+C (noted
// as by ConsoleNoteCtrlC). Arrow and function keys start with Esc too, but their other
// bytes follow at once: they are discarded like any other key. A terminal that has
// gone away sets *fd to -1 so that it is no longer watched.
bool ConsoleCancelKeyPressed(int* fd);
