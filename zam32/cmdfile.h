#pragma once
#include <cstddef>

// The command-file stack of "@": up to 10 nested files, each with its quiet and echo
// flags and the rest of the line that opened it, run when the file ends.

inline constexpr int COMMAND_FILES = 10;

bool CommandFileOpen();
bool CommandFileQuiet();
int CommandFileDepth();
void CloseAllCommandFiles();
// Next line from the innermost file: 1 a line (at the end of a file: the rest of the
// line that opened it), 0 no file open, -1 a line refused (too long or holding a NUL
// byte; reported).
int ReadCommandFileLine(char* buffer, size_t size);
