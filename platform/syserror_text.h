#pragma once

// The system's description of `code` as SystemErrorText hands it out: without the line
// end the system puts after it, or "Unknown System Error #code" when there is none
// (null). syserror.cpp.
const char* SystemErrorTextOf(unsigned long code, const char* description);
