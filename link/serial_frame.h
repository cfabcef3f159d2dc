#pragma once
#include <cstddef>
#include <cstdint>

// Framing of the command protocol on serial units: checksummed 8-byte headers,
// CRC-16/ARC protected payloads, 5-byte answer headers, and the exchange of one
// command with its retries over a small line interface.

inline constexpr uint32_t SERIAL_HEADER_BYTES = 8;
inline constexpr uint32_t SERIAL_ANSWER_HEADER_BYTES = 5;
inline constexpr uint32_t SERIAL_ATTEMPTS = 3;
inline constexpr uint32_t SERIAL_WAIT_MS = 5000;

// CRC-16/ARC: polynomial 0x8005 reflected, initial 0, no final XOR ("123456789" -> 0xBB3D).
uint16_t Crc16Arc(const uint8_t* data, size_t length, uint16_t crc = 0);
// (0 - sum of the bytes) mod 256: with it appended the bytes sum to 0.
uint8_t FrameChecksum(const uint8_t* data, size_t length);

void SerialBuildHeader(uint8_t sequence, uint8_t code, uint8_t bank, uint16_t offset, uint16_t payloadLength,
                       uint8_t header[SERIAL_HEADER_BYTES]);

// The answer header against what the command expects.
enum SerialAnswerVerdict : uint32_t {
    SERIAL_ANSWER_OK = 0,
    SERIAL_ANSWER_RETRY = 1,       // bad checksum, another command's answer or an unexpected length
    SERIAL_ANSWER_BAD_STATUS = 2,  // the unit refused the command (byte 1 not 0x60)
};
SerialAnswerVerdict SerialCheckAnswerHeader(const uint8_t header[SERIAL_ANSWER_HEADER_BYTES], uint8_t sequence,
                                            uint16_t expectedLength);

// Receive time-out for `length` answer data bytes: (length * byteTime + 500) / 1000 + 5000 ms,
// byteTime being 10000000 / baud rate.
uint32_t SerialDataTimeoutMs(uint32_t length, uint32_t byteTime);

// What the exchange needs of the serial transport.
struct SerialLine {
    void* port = nullptr;
    uint32_t byteTime = 10000000 / 57600;
    bool (*write)(void* port, const uint8_t* data, uint32_t length) = nullptr;
    // After a failed write: true when it was cancelled by the user (may be null: never).
    bool (*writeCancelled)(void* port) = nullptr;
    // Reads exactly `length` bytes, `timeoutMs` being the longest pause between bytes:
    // *count = length, 0 (timed out) or -1 (cancelled by the user). false: the call failed.
    bool (*read)(void* port, uint8_t* buffer, uint32_t length, uint32_t timeoutMs, int32_t* count) = nullptr;
    // Purge, break, quiet, purge. false: it failed.
    bool (*resync)(void* port) = nullptr;
};

// One command: up to 3 attempts, the line resynchronised before each retry.
// `answer` receives `answerLength` data bytes. Returns a link error code (4, 7..15).
uint32_t SerialCommand(const SerialLine& line, uint8_t code, uint8_t bank, uint16_t offset, const uint8_t* payload,
                       uint16_t payloadLength, uint8_t* answer, uint16_t answerLength);

// The generic operations on a serial unit over the exchange; link error codes.
uint32_t SerialWrite(const SerialLine& line, uint32_t address, const uint8_t* data, uint32_t length);
uint32_t SerialRead(const SerialLine& line, uint8_t* buffer, uint32_t address, uint32_t length);
uint32_t SerialCompare(const SerialLine& line, uint32_t* equal, uint8_t* unitByte, uint32_t address,
                       const uint8_t* data, uint32_t length);
uint32_t SerialSetReset(const SerialLine& line, uint32_t level);
uint32_t SerialGetReset(const SerialLine& line, uint32_t* level);
// Status command: 5 bytes (Level, identity high, identity low, unit, reset level).
uint32_t SerialStatus(const SerialLine& line, uint8_t status[5]);
uint32_t SerialSetFold(const SerialLine& line, uint32_t deviceSize, uint32_t ramSize);
