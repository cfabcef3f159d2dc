#pragma once
// provisional: replaced by the win branch's header
#include <windows.h>
#include <cstddef>
#include "platform/console.h"

int ConsoleKeyFromEvent(bool keyDown, WORD virtualKey, char character, DWORD controlState);
int ConsoleKeyFromRecord(const KEY_EVENT_RECORD& key);
bool ConsoleWin32Open();
// The ending events as the ending signals of a terminal: Ctrl+C and Ctrl+Break that
// reach the handler (the console is not in mode 0: input from a pipe) as an interrupt
// (130), the closing of the console window as a hang-up (129), logoff and shutdown as
// a termination (143). The first asks the program to end the normal way and sets
// ConsoleWin32EndEvent; a second ends it at once, with the console's settings and no
// temporary file left behind. The console's control handler from ConsoleWin32Open on.
BOOL WINAPI ConsoleWin32OnControl(DWORD type);
bool ConsoleWin32HasKeys();
HANDLE ConsoleWin32KeyHandle();
HANDLE ConsoleWin32EndEvent();
int ConsoleWin32ReadKey(bool wait);
void ConsoleWin32FlushKeys();
bool ConsoleWin32CancelKeyPressed();
void ConsoleWin32Write(const char* text, size_t length);
void ConsoleWin32SetCursor(int shape);
int ConsoleWin32UsableWidth();
bool ConsoleWin32Resized();
bool ConsoleWin32NoteCtrlC();
int ConsoleWin32EndStatus();
void ConsoleWin32Suspend();
void ConsoleWin32Resume();
void ConsoleWin32Restore();
