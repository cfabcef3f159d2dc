#pragma once
#include <windows.h>

// Windows: the wait objects behind the numbers that console.h and devio.h hand out to
// a transfer's waits, where POSIX hands out descriptors. A number below
// WAIT_TOKEN_FIRST is a C runtime descriptor (standard input's console handle); from
// WAIT_TOKEN_FIRST on it names a registered handle (an event).
inline constexpr int WAIT_TOKEN_FIRST = 0x4000;

// The handle behind `token`; null for -1 or a number that names nothing.
HANDLE WaitObjectOf(int token);
// Registers `handle` (kept by the caller) and gives its number, -1 when the table is full.
int WaitTokenFor(HANDLE handle);
// Forgets the number (the handle stays the caller's).
void WaitTokenRelease(int token);
