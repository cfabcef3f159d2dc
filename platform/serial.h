#pragma once
#include <cstddef>
#include <cstdint>

// Serial ports on ttys (communications devices on Windows): opened exclusively and
// set raw 8N1 at any rate from 50 to 921600 baud, bytes written with a bounded wait,
// reads that return as soon as a byte is there, time out, or are cancelled by Esc on
// a terminal, and the purge, break and modem-line controls a line resynchronisation
// needs.
//
// A port is a small number: a file descriptor, on Windows a slot of the port table;
// -1 is none. A console is a C runtime descriptor of the terminal (-1: none). The
// error numbers are errno values, on Windows GetLastError codes.

enum SerialPortResult : uint32_t {
    SERIAL_PORT_OK = 0,
    SERIAL_PORT_MISSING = 1,   // no such file
    SERIAL_PORT_NOT_TTY = 2,   // not a terminal device
    SERIAL_PORT_BUSY = 3,      // another program holds the port
    SERIAL_PORT_BAD_RATE = 4,  // the device refused the baud rate
    SERIAL_PORT_FAILED = 5,    // any other failure (errno kept)
};

// The device of COM<n> when nothing else names one: "/dev/ttyS<n-1>", on Windows
// "\\.\COM<n>".
void SerialPortDefaultName(uint32_t com, char* name, size_t size);

// Opens `path` for reading and writing, existing only, no controlling terminal,
// exclusive (TIOCEXCL and an advisory lock), and sets the line: `baud`, 8 data bits,
// no parity, 1 stop bit, raw, no parity check, no XON/XOFF, no hardware flow control,
// no hang-up on close. Then waits `settleMs` and raises RTS, then DTR (lines a device
// does not have are skipped). On failure nothing stays open; *errorNumber gets errno.
uint32_t SerialPortOpen(const char* path, uint32_t baud, uint32_t settleMs, int* fd, int* errorNumber);
// Drops RTS, then DTR, releases the lock and closes.
void SerialPortClose(int fd);

// The rate the line is set to now (0 if it cannot be read).
uint32_t SerialPortBaud(int fd);

// Writes all bytes and waits until the driver has sent them. Waits at most
// `timeoutMs` in all; a cancel key on `consoleFd` (-1: none) or an ending signal
// cancels. 1 done, 0 failed or timed out, -1 cancelled.
int SerialPortWrite(int fd, const uint8_t* data, uint32_t length, uint32_t timeoutMs, int consoleFd);

// One read: returns as soon as at least one byte has arrived (*count = bytes), with
// *count = 0 after `timeoutMs` without a byte, or *count = -1 when a cancel key was
// pressed on `consoleFd` or an ending signal came. False when the read failed (the
// device went away, hung up).
bool SerialPortReadSome(int fd, uint8_t* buffer, uint32_t length, uint32_t timeoutMs, int consoleFd, int32_t* count);

// Discards what the driver holds in both directions.
bool SerialPortPurge(int fd);
// Break condition on (true) or off.
bool SerialPortBreak(int fd, bool on);
