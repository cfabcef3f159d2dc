#pragma once
#include <cstdint>

// The command protocol of USB and serial units: command codes, the USB command
// packets and answers, and the generic operations carried out with them on a USB
// unit. The operations run over a small line interface so that they do not depend
// on where the packets go (the driver, or a scripted stand-in in tests).

// Command codes (the same value means the same command on both transports).
enum : uint8_t {
    CMD_WRITE = 0x20,        // bank, offset, length; bulk data (USB) or payload (serial) follows
    CMD_COMPARE = 0x21,      // serial only
    CMD_READ = 0x22,         // bank, offset, length
    CMD_SET_RESET = 0x23,    // level
    CMD_STATUS = 0x24,       // unit status
    CMD_FOLD_DEVICE = 0x27,  // device size s <= 0x4000, 0x8000 - s
    CMD_FOLD_BANKS = 0x28,   // first bank, bank count
    CMD_BULK_START = 0x29,   // USB: before every bulk transfer
    CMD_BULK_COUNT = 0x2A,   // USB: bytes moved by the preceding bulk transfer
    CMD_READ_SMALL = 0x2B,   // USB: bank, offset, count 1..6
    CMD_WRITE_BYTE = 0x2C,   // USB: data byte, bank, offset, count 1
};

inline constexpr uint8_t ANSWER_ACCEPTED = 0x60;
inline constexpr uint32_t USB_PACKET_BYTES = 10;
inline constexpr uint32_t USB_ANSWER_BYTES = 8;
inline constexpr uint32_t BANK_BYTES = 0x8000;
inline constexpr uint32_t USB_COMPARE_CHUNK = 0x40000;

// Cuts a RAM range at 32 KB bank boundaries (the units address bank and offset):
// piece(bank, offset, position in the range, bytes) for each piece, in order; the
// first non-zero result ends it and is returned.
template <class Piece>
uint32_t ForEachBankPiece(uint32_t address, uint32_t length, Piece piece) {
    uint8_t bank = static_cast<uint8_t>(address / BANK_BYTES);
    uint32_t offset = address % BANK_BYTES;
    for (uint32_t done = 0; done < length; offset = 0, ++bank) {
        uint32_t n = length - done < BANK_BYTES - offset ? length - done : BANK_BYTES - offset;
        if (uint32_t code = piece(bank, offset, done, n)) return code;
        done += n;
    }
    return 0;
}

// The fold commands a unit needs for a device of deviceSize bytes in ramSize bytes of RAM,
// the same on every transport: a device of 16 KB or less first fills the rest of its bank
// with copies (CMD_FOLD_DEVICE), then the banks the device spans are copied over the
// banks above them (CMD_FOLD_BANKS). A device as large as the RAM needs neither.
struct FoldSteps {
    bool inBank = false;
    uint32_t deviceBytes = 0;  // CMD_FOLD_DEVICE: the device's size and the bytes after it in its bank
    uint32_t restOfBank = 0;
    bool overBanks = false;
    uint32_t banks = 0;  // CMD_FOLD_BANKS: the banks that hold the device and how many follow
    uint32_t copies = 0;
};
FoldSteps PlanFold(uint32_t deviceSize, uint32_t ramSize);

// Status bytes (answer to 0x24).
enum : int { STATUS_LEVEL = 0, STATUS_ID_HIGH = 1, STATUS_ID_LOW = 2, STATUS_UNIT = 3, STATUS_RESET = 4 };

// Next value of a transport's sequence counter: 1, 2, ..., 127, 1, ...
uint8_t NextSequence(uint8_t& counter);

// The fields of one USB command packet; fields a command does not use stay 0.
struct UsbPacketFields {
    uint8_t code = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    uint16_t w1 = 0;
    uint16_t w2 = 0;
    uint16_t w3 = 0;
};
void UsbBuildPacket(uint8_t sequence, const UsbPacketFields& f, uint8_t packet[USB_PACKET_BYTES]);

// What the protocol needs of the USB transport. Each call returns a raw transport
// result (USB_RESULT_* in link/errors.h).
struct UsbLine {
    void* port = nullptr;
    uint32_t (*send)(void* port, const uint8_t* packet) = nullptr;  // 10 bytes
    // Fetches the 8-byte answer whose byte 0 should be `expected`.
    uint32_t (*receive)(void* port, uint8_t* answer, uint8_t expected) = nullptr;
    uint32_t (*bulkWrite)(void* port, const uint8_t* data, uint32_t length) = nullptr;
    uint32_t (*bulkRead)(void* port, uint8_t* buffer, uint32_t length) = nullptr;
    uint32_t packetSize = 64;  // bytes per data packet of the unit's pipes
};

// Sends one command with the next USB sequence number and checks its answer;
// `data` (may be null) gets the 6 answer data bytes. Returns a link error code.
uint32_t UsbCommand(const UsbLine& line, const UsbPacketFields& f, uint8_t* data);

// The generic operations on a USB unit; results are link error codes.
uint32_t UsbWrite(const UsbLine& line, uint32_t address, const uint8_t* data, uint32_t length);
uint32_t UsbRead(const UsbLine& line, uint8_t* buffer, uint32_t address, uint32_t length);
uint32_t UsbCompare(const UsbLine& line, uint32_t* equal, uint8_t* unitByte, uint32_t address, const uint8_t* data,
                    uint32_t length);
uint32_t UsbSetReset(const UsbLine& line, uint32_t level);
uint32_t UsbGetReset(const UsbLine& line, uint32_t* level);
uint32_t UsbSetFold(const UsbLine& line, uint32_t deviceSize, uint32_t ramSize);

// Frees the USB compare buffer (kept for the process's life otherwise), for a library
// that is being unloaded.
void UsbCompareRelease();
