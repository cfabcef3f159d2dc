#pragma once
#include <cstdint>

// Line settings through termios2 (any rate with BOTHER); kept apart because the
// kernel's termios2 header cannot live beside <termios.h>.

// Raw 8N1 at `baud`, no flow control of any kind, reads block for one byte.
// False (errno set) when the settings cannot be applied; *rateRefused when they
// were applied but the device kept another rate.
bool SerialLineSetup(int fd, uint32_t baud, bool* rateRefused);
uint32_t SerialLineBaud(int fd);
