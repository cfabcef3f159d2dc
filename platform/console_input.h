#pragma once

// What the console's plain lines and its Ctrl+C count share on every system
// (console_input.cpp); each console implementation supplies the bytes.

// Next byte of plain input, -1 at its end (the system's console file).
int ConsoleNextInputByte();
// True once Ctrl+C has come twice within a second (ConsoleNoteCtrlC).
bool ConsoleCtrlCQuit();
