#pragma once
#include <cstdint>
#include <string>

#include "link/protocol.h"
#include "link/transport.h"
#include "platform/devio.h"

// The host side of the USB link: finds the unit with a given unit number among
// the driver's devices "\\.\QORPELMO0".."9" and carries command packets, answers
// and bulk data over the driver's controls and reads and writes. Every wait is
// overlapped and, when there is a terminal, cancelled by Esc.

inline constexpr uint32_t USB_RECORD_COUNT = 10;
inline constexpr uint32_t USB_DEVICE_COUNT = 10;

// Raw transport results beyond those in link/errors.h.
inline constexpr uint32_t USB_RESULT_NO_UNIT = 5;   // no such unit
inline constexpr uint32_t USB_RESULT_NO_EVENT = 7;  // the I/O event could not be created

struct UsbRecord {
    DevHandle device = DEV_INVALID_HANDLE_VALUE;  // none: the record is free
    uint16_t inPacket = 0;
    uint16_t outPacket = 0;
    uint8_t status[6] = {};  // Level, identity high, identity low, unit number, reset level, spare
    uint32_t deviceNumber = 0;
    uint32_t users = 0;  // link handles opened on this unit
};

// Open (unit 0..3): the record of that unit, shared by every link handle on it.
// Link codes: 5 unit above 3 or no device answers as that unit, 3 no free record,
// 2 any other failure. On failure *failure (may be null) gets lines for the user on
// why: for a unit not found, what each device that is there answered or why it
// could not be opened. The kind driver's open hands them back as LinkOpenResult::failure.
uint32_t UsbOpen(uint32_t unit, UsbRecord** record, std::string* failure = nullptr);
// One user fewer; the device is closed when no record and no user holds it any more.
void UsbClose(UsbRecord* record);

// Raw transport results (USB_RESULT_*).
uint32_t UsbSendCommand(UsbRecord* record, const uint8_t packet[USB_PACKET_BYTES]);
uint32_t UsbReceiveAnswer(UsbRecord* record, uint8_t answer[USB_ANSWER_BYTES], uint8_t expected);
uint32_t UsbBulkWrite(UsbRecord* record, const uint8_t* data, uint32_t length);
uint32_t UsbBulkRead(UsbRecord* record, uint8_t* buffer, uint32_t length);

// The protocol's view of an open record.
UsbLine UsbLineOf(UsbRecord* record);

// The USB kind's driver for the link layer.
const KindDriver* UsbKindDriver();

// The record table and the process-wide count of answer polls, for inspection.
const UsbRecord* UsbRecords();
uint32_t UsbPollCount();

// Wait limits. Programs keep the defaults; tests shorten them to reach time-outs quickly.
struct UsbTimings {
    uint32_t waitMs = 5000;       // command, packet-size and bulk waits
    uint32_t answerWaitMs = 100;  // one answer poll
    uint32_t pollLimitMs = 5000;  // sleeping between answer polls
    uint32_t staleMs = 20;        // an answer to another command is believed after this
};
void UsbSetTimings(const UsbTimings& timings);
UsbTimings UsbGetTimings();

// Where the cancel key comes from. By default standard input when it is a terminal,
// else nowhere. Tests hand in a pseudo-terminal (or -1 for none); takes effect at once.
void UsbSetConsole(int fd);

// Gives back what the USB transport keeps for the process's life (the shared I/O
// event, the terminal mode of the cancel key), for a library that is being unloaded.
// Every USB record must be closed first (ZAMCloseAll).
void UsbShutdown();
