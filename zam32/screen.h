#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Output and reporting of the console program: plain printing, Inform, ReportError
// with the echo text, the line buffer with its guard byte, and the small keyboard
// services the commands use.

inline constexpr size_t LINE_SIZE = 1000;

// The input line buffer; the byte in front of it is always 0 so that an error
// report scanning back from a position stops at the line start.
char* LineBuffer();

// Plain printing: always shown.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintText(const char* text);
void PrintBytes(const char* text, size_t length);

// An information line, hidden while the innermost command file is quiet.
void Inform(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Shows the echo text (if any), then "COMMAND ERROR NEAR" with the token around
// `position` (if not null), then the message.
void ReportError(const char* format, const char* position, ...) __attribute__((format(printf, 1, 3)));

// The pending copy of the current line with its origin; shown only with an error.
void SetEchoText(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ClearEchoText();
const char* EchoText();

// Output captured into a string instead of standard output (tests); null restores.
void CaptureOutput(std::string* sink);

// Usable screen width, taken once when the console is opened.
void OpenConsoleScreen();
int UsableWidth();

// Ctrl+S pauses, Ctrl+L, Esc and Ctrl+C cancel (true); any other key is dropped. Also
// true once the program is to end (a second Ctrl+C, SIGINT, SIGTERM).
bool PollStopCancel();

// Prints the prompt and waits for one of the allowed (upper-case) letters confirmed
// with Enter. Without a terminal the answer is the first letter of the next input
// line that is allowed; at the end of input `atEnd` is the answer.
char ChoicePrompt(const char* prompt, const char* allowed, char atEnd);

// Reads one line from the keyboard (line editor) or standard input after printing
// the prompt. Without a terminal the line is echoed after the prompt so that a
// transcript reads like a session. 1: a line; 0: end of input (or the program is
// to end); -1: a line too long or holding a NUL byte, refused and reported.
int ReadConsoleLine(const char* prompt, char* buffer, size_t size);

// The refusal of an input line that does not fit the line buffer or holds a NUL byte
// (`source` says where it came from).
void ReportLineRefused(const char* source, bool tooLong);
