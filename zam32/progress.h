#pragma once
#include <cstdint>

// One self-erasing progress line for the long image operations (load, verify, fill,
// checksum, write). It appears only on a terminal, only in interactive use and only
// once an operation has run for about a second; it shows bytes done of the total,
// the rate and the time left, and is erased before anything else is printed.

// Whether the line may be shown at all (false in batch mode).
void ProgressAllow(bool allowed);

// Starts timing an operation.
void ProgressBegin();
// Redraws the line (at most a few times a second) once the operation has run long
// enough; nothing without a terminal on standard output.
void ProgressUpdate(uint64_t done, uint64_t total);
// Erases the line if it is shown; the operation goes on (ProgressUpdate may draw again).
void ProgressErase();
// Erases the line and ends the operation.
void ProgressEnd();

// The text of the line without the terminal controls (for tests): done, total,
// bytes per second, and milliseconds since the start.
void ProgressText(char* out, unsigned size, uint64_t done, uint64_t total, uint64_t elapsedMs);
