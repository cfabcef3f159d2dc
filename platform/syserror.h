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
