#pragma once
#include <functional>
#include <string>

// The command processor ($COMSPEC, else $SHELL, else /bin/sh), run for one command
// line or interactively while the console program waits.
//
// It runs as a job of its own (a process group) with the terminal's settings of program
// start and, when this program holds it, the terminal's foreground: keys typed there
// (Ctrl+C, Ctrl+Z) are the job's, and an ending signal sent to the console program
// reaches every process of the job, not only the shell. Run in the background of a
// terminal, the program keeps the job in its own group for its shell to stop and go on. `handedOver` runs once the
// terminal is the job's, so what it prints is followed by keys the job will read.
//
// Returns false with errno's text in `why` when the processor could not be started;
// else `status` is its exit status (128 + signal when a signal ended it).
bool ShellRun(const char* command, const std::function<void()>& handedOver, int* status, std::string* why);
