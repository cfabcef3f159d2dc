#pragma once

// Process-wide odds and ends of a program's start and end: the standard descriptors,
// broken pipes, and the one temporary file that must not outlive the process.

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, so that no file
// opened later takes one of them and passes for standard input or output.
void ProcessOpenMissingStandardStreams();

// A write to a pipe without a reader fails with EPIPE instead of ending the process.
void ProcessIgnoreBrokenPipe();

// The temporary file being written (a replace or a create in the making); removed by
// ProcessRemoveTemporary and at exit. One at a time; null or empty clears it.
void ProcessSetTemporary(const char* path);
// Forgets `path` if it is the registered temporary (it was renamed or removed).
void ProcessClearTemporary(const char* path);
// Removes the registered temporary now. Safe inside a signal handler.
void ProcessRemoveTemporary();
