#pragma once
#include <cstddef>

// The command-file stack as the command loop sees it. The "@" command that fills it
// arrives with the command files; until then the stack is always empty.

bool CommandFileOpen();
bool CommandFileQuiet();
void CloseAllCommandFiles();
// Next line from the innermost file (false: no file open).
bool ReadCommandFileLine(char* buffer, size_t size);
