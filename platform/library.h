#pragma once
#include <string>

// Shared libraries loaded at run time (the windowed application binds the emulator
// library this way). Symbols resolve at once, so a library that lacks one of its own
// dependencies is refused here rather than at the first call.

// The loaded library, or null with the system's reason in *why (when given).
void* LibraryOpen(const char* path, std::string* why);
// The address of `name` in `library`, or null when it has none.
void* LibrarySymbol(void* library, const char* name);
