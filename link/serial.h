#pragma once
#include <cstdint>
#include <string>

#include "link/serial_frame.h"
#include "link/transport.h"

// The host side of the serial link: one unit per COM port, reached through the
// device named by $ZAMCOMn (else /dev/ttyS(n-1), on Windows \\.\COMn) at the rate
// of ZAMBPS (else 57600), with the command frames of link/serial_frame over it.
// Receive waits time out per gap between bytes and, when there is a terminal, are
// cancelled by Esc.

inline constexpr uint32_t SERIAL_RECORD_COUNT = 10;
inline constexpr uint32_t SERIAL_DEFAULT_BAUD = 57600;
inline constexpr uint32_t SERIAL_MIN_BAUD = 50;
inline constexpr uint32_t SERIAL_MAX_BAUD = 921600;
inline constexpr uint32_t SERIAL_MAX_COM = 98;

struct SerialRecord {
    uint32_t baud = SERIAL_DEFAULT_BAUD;
    uint32_t byteTime = 10000000 / SERIAL_DEFAULT_BAUD;
    int port = -1;  // none: the record is free
    uint32_t com = 0;
    uint8_t status[5] = {};  // Level, identity high, identity low, unit number, reset level
    uint32_t users = 0;      // link handles opened on this port
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
};

// ZAMBPS: decimal, 0x/0X hexadecimal or leading-0 octal, leading blanks and a sign
// allowed, nothing after, 50..921600. False for anything else.
bool SerialParseBaud(const char* text, uint32_t* baud);
// The device behind "COM<n>".
std::string SerialPortPath(uint32_t com);

// Why an open of a port failed before its status command was sent.
struct SerialOpenFailure {
    uint32_t com = 0;
    std::string path;     // the device tried
    uint32_t result = 0;  // SerialPortResult of the device's open, 0 when it opened
    int errorNumber = 0;
    uint32_t baud = 0;
    bool badBaud = false;  // ZAMBPS was refused (code 5); nothing was opened
    std::string zambps;    // ZAMBPS as shown: control characters as '?', at most 64
};

// Open (COM 1..98): the record of that port, shared by every link handle on it.
// Link codes: 1 number 0 or above 98, 3 no free record, 5 bad ZAMBPS, 2 the port
// cannot be opened or set, else the status command's code. *failure is filled
// afresh by every call.
uint32_t SerialOpen(uint32_t com, SerialRecord** record, SerialOpenFailure* failure);
// One user fewer; the port is closed with the last.
void SerialClose(SerialRecord* record);

// A line for the user on why an open failed; the kind driver's open hands it back
// as LinkOpenResult::failure. For a refused ZAMBPS (code 5) it names the value and
// the rule: "ZAMBPS '4000000' is not a rate between 50 and 921600\n"; for a port that
// could not be opened or set (code 2) it names the device:
// "COM1 (/dev/ttyUSB0): in use by another program\n". Else empty.
std::string SerialOpenFailureText(const SerialOpenFailure& failure);

// The frame layer's view of an open record.
SerialLine SerialLineOf(SerialRecord* record);
// Purge, break, quiet, purge with the configured pause.
bool SerialResync(SerialRecord* record);

// The serial kind's driver for the link layer.
const KindDriver* SerialKindDriver();
const SerialRecord* SerialRecords();

// Wait settings. Programs keep the defaults; tests shorten them: every receive and
// write wait is divided by `waitDivisor`, so a test reaches a time-out quickly.
struct SerialTimings {
    uint32_t settleMs = 200;       // after setting the line, before raising RTS and DTR
    uint32_t resyncPauseMs = 300;  // break length and the quiet after it
    uint32_t waitDivisor = 1;
};
void SerialSetTimings(const SerialTimings& timings);
SerialTimings SerialGetTimings();
// The longest receive wait the protocol asked for since the last call (before the
// divisor), for checking the gap rule.
uint32_t SerialTakeLongestWaitMs();

// Where the cancel key comes from: by default standard input when it is a terminal,
// else nowhere. Tests hand in a pseudo-terminal (or -1 for none).
void SerialSetConsole(int fd);
