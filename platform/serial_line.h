#pragma once
#include <cstdint>

#ifndef _WIN32
// Line settings through termios2 (any rate with BOTHER); kept apart because the
// kernel's termios2 header cannot live beside <termios.h>.

// Raw 8N1 at `baud`, no flow control of any kind, reads block for one byte.
// False (errno set) when the settings cannot be applied; *rateRefused when they
// were applied but the device kept another rate.
bool SerialLineSetup(int fd, uint32_t baud, bool* rateRefused);
uint32_t SerialLineBaud(int fd);
#else
// Line settings through the device control block of a communications handle.

// The driver's buffer size asked for in each direction.
inline constexpr uint32_t SERIAL_DRIVER_BUFFER = 32868;

// `baud`, 8N1, binary, no parity check, no output flow control on CTS or DSR, DTR
// by hand, no XON/XOFF, RTS in handshake mode, no abort on error. False
// (GetLastError set) when the settings cannot be applied; *rateRefused when the
// device will not run at that rate.
bool SerialLineSetup(void* handle, uint32_t baud, bool* rateRefused);
uint32_t SerialLineBaud(void* handle);
#endif
