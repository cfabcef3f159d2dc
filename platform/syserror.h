#pragma once
#include <cstdint>

// Text of a system error code, as the message lines about files show it.
// At most 300 characters, trailing control characters removed, or
// "Unknown System Error #<n>" when the system has no text for the code.
// The text lives in one static buffer that the next call overwrites.
const char* SystemErrorText(unsigned long code);

// The same for the calling thread's last system error.
const char* LastSystemErrorText();

// The calling thread's last system error code.
unsigned long LastSystemError();

// The few errors callers tell apart or name themselves, each a code of the system's
// own numbering (errno values on POSIX, Win32 error codes on Windows).
enum SystemErrorKind : int {
    SYSERR_NOT_FOUND,      // no such file
    SYSERR_EXISTS,         // the name is taken
    SYSERR_DISK_FULL,      // no room left (a quota too)
    SYSERR_IS_FOLDER,      // a folder where a file was wanted
    SYSERR_INVALID,        // an invalid argument
    SYSERR_NAME_TOO_LONG,  // a name longer than the system takes
    SYSERR_NO_MEMORY,
};
// The code that stands for `kind`, for a caller that reports that error itself.
unsigned long SystemErrorCode(SystemErrorKind kind);
// True when `code` is an error of that kind.
bool SystemErrorIs(unsigned long code, SystemErrorKind kind);
// True when a stream's error number (errno after a failed fwrite or fflush) says the
// disk or the quota is full.
bool StreamErrorIsDiskFull(int error);
