// Serial framing of the command protocol and the exchange of one command.
#include "link/serial_frame.h"

#include <algorithm>

#include "link/errors.h"
#include "link/protocol.h"

namespace {

uint8_t g_serialSequence = 0;

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One receive of exactly n bytes: 0 done, 4 cancelled, `failure` when the call failed,
// or 1 when the bytes did not all arrive (the attempt is retried).
constexpr uint32_t kMissing = 1;
uint32_t Receive(const SerialLine& line, uint8_t* buffer, uint32_t n, uint32_t timeoutMs, uint32_t failure) {
    int32_t count = 0;
    if (!line.read(line.port, buffer, n, timeoutMs, &count)) return failure;
    if (count < 0) return LINK_CANCELLED;
    return static_cast<uint32_t>(count) == n ? LINK_OK : kMissing;
}

// A failed send: cancelled (4), or the stage's failure code.
uint32_t WriteFailure(const SerialLine& line, uint32_t failure) {
    return line.writeCancelled != nullptr && line.writeCancelled(line.port) ? LINK_CANCELLED : failure;
}

}  // namespace

uint16_t Crc16Arc(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

uint8_t FrameChecksum(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(0 - sum);
}

void SerialBuildHeader(uint8_t sequence, uint8_t code, uint8_t bank, uint16_t offset, uint16_t payloadLength,
                       uint8_t header[SERIAL_HEADER_BYTES]) {
    header[0] = sequence;
    header[1] = code;
    header[2] = bank;
    PutLe16(header + 3, offset);
    PutLe16(header + 5, payloadLength);
    header[7] = FrameChecksum(header, 7);
}

SerialAnswerVerdict SerialCheckAnswerHeader(const uint8_t header[SERIAL_ANSWER_HEADER_BYTES], uint8_t sequence,
                                            uint16_t expectedLength) {
    if (FrameChecksum(header, 4) != header[4]) return SERIAL_ANSWER_RETRY;
    if (header[0] != static_cast<uint8_t>(~sequence)) return SERIAL_ANSWER_RETRY;
    // A refusal is final even when it carries no data.
    if (header[1] != ANSWER_ACCEPTED) return SERIAL_ANSWER_BAD_STATUS;
    if (Le16(header + 2) != expectedLength) return SERIAL_ANSWER_RETRY;
    return SERIAL_ANSWER_OK;
}

uint32_t SerialDataTimeoutMs(uint32_t length, uint32_t byteTime) {
    return static_cast<uint32_t>((static_cast<uint64_t>(length) * byteTime + 500) / 1000) + SERIAL_WAIT_MS;
}

uint32_t SerialCommand(const SerialLine& line, uint8_t code, uint8_t bank, uint16_t offset, const uint8_t* payload,
                       uint16_t payloadLength, uint8_t* answer, uint16_t answerLength) {
    const uint8_t sequence = NextSequence(g_serialSequence);
    uint8_t header[SERIAL_HEADER_BYTES];
    SerialBuildHeader(sequence, code, bank, offset, payloadLength, header);
    uint8_t payloadCrc[2];
    PutLe16(payloadCrc, Crc16Arc(payload, payloadLength));

    for (uint32_t attempt = 0; attempt < SERIAL_ATTEMPTS; ++attempt) {
        if (attempt > 0 && !line.resync(line.port)) return LINK_SER_RESYNC;
        if (!line.write(line.port, header, SERIAL_HEADER_BYTES)) return WriteFailure(line, LINK_SER_SEND_HEADER);
        if (payloadLength) {
            if (!line.write(line.port, payload, payloadLength)) return WriteFailure(line, LINK_SER_SEND_PAYLOAD);
            if (!line.write(line.port, payloadCrc, 2)) return WriteFailure(line, LINK_SER_SEND_CRC);
        }
        uint8_t answerHeader[SERIAL_ANSWER_HEADER_BYTES];
        uint32_t r = Receive(line, answerHeader, SERIAL_ANSWER_HEADER_BYTES, SERIAL_WAIT_MS, LINK_SER_RECV_HEADER);
        if (r == kMissing) continue;
        if (r) return r;
        SerialAnswerVerdict verdict = SerialCheckAnswerHeader(answerHeader, sequence, answerLength);
        if (verdict == SERIAL_ANSWER_BAD_STATUS) return LINK_SER_BAD_STATUS;
        if (verdict == SERIAL_ANSWER_RETRY) continue;
        if (answerLength) {
            r = Receive(line, answer, answerLength, SerialDataTimeoutMs(answerLength, line.byteTime),
                        LINK_SER_RECV_DATA);
            if (r == kMissing) continue;
            if (r) return r;
            uint8_t crc[2];
            r = Receive(line, crc, 2, SERIAL_WAIT_MS, LINK_SER_RECV_CRC);
            if (r == kMissing) continue;
            if (r) return r;
            if (Le16(crc) != Crc16Arc(answer, answerLength)) continue;
        }
        return LINK_OK;
    }
    return LINK_SER_ATTEMPTS;
}

uint32_t SerialWrite(const SerialLine& line, uint32_t address, const uint8_t* data, uint32_t length) {
    return ForEachBankPiece(address, length, [&](uint8_t bank, uint32_t offset, uint32_t done, uint32_t n) {
        return SerialCommand(line, CMD_WRITE, bank, static_cast<uint16_t>(offset), data + done,
                             static_cast<uint16_t>(n), nullptr, 0);
    });
}

uint32_t SerialRead(const SerialLine& line, uint8_t* buffer, uint32_t address, uint32_t length) {
    return ForEachBankPiece(address, length, [&](uint8_t bank, uint32_t offset, uint32_t done, uint32_t n) {
        uint8_t want[2];
        PutLe16(want, static_cast<uint16_t>(n));
        return SerialCommand(line, CMD_READ, bank, static_cast<uint16_t>(offset), want, 2, buffer + done,
                             static_cast<uint16_t>(n));
    });
}

uint32_t SerialCompare(const SerialLine& line, uint32_t* equal, uint8_t* unitByte, uint32_t address,
                       const uint8_t* data, uint32_t length) {
    uint32_t equalDummy = 0;
    uint8_t byteDummy = 0;
    if (equal == nullptr) equal = &equalDummy;
    if (unitByte == nullptr) unitByte = &byteDummy;
    uint8_t bank = static_cast<uint8_t>(address / BANK_BYTES);
    uint32_t offset = address % BANK_BYTES;
    uint32_t done = 0;
    while (done < length) {
        uint32_t n = std::min(length - done, BANK_BYTES - offset);
        uint8_t index[2];
        if (uint32_t code = SerialCommand(line, CMD_COMPARE, bank, static_cast<uint16_t>(offset), data + done,
                                          static_cast<uint16_t>(n), index, 2))
            return code;
        uint16_t first = Le16(index);
        // 0xFFFF: all equal. An index past the piece cannot be a difference inside it.
        if (first != 0xFFFF && first < n) {
            *equal = done + first;
            return SerialRead(line, unitByte, address + done + first, 1);
        }
        done += n;
        offset = 0;
        ++bank;
    }
    *equal = length;
    return LINK_OK;
}

uint32_t SerialSetReset(const SerialLine& line, uint32_t level) {
    uint8_t payload = static_cast<uint8_t>(level);
    return SerialCommand(line, CMD_SET_RESET, 0, 0, &payload, 1, nullptr, 0);
}

uint32_t SerialStatus(const SerialLine& line, uint8_t status[5]) {
    return SerialCommand(line, CMD_STATUS, 0, 0, nullptr, 0, status, 5);
}

uint32_t SerialGetReset(const SerialLine& line, uint32_t* level) {
    uint8_t status[5];
    if (uint32_t code = SerialStatus(line, status)) return code;
    *level = status[STATUS_RESET];
    return LINK_OK;
}

uint32_t SerialSetFold(const SerialLine& line, uint32_t deviceSize, uint32_t ramSize) {
    const FoldSteps steps = PlanFold(deviceSize, ramSize);
    if (steps.inBank) {
        uint8_t payload[4] = {0, 0, 0, 0};
        PutLe16(payload + 2, static_cast<uint16_t>(steps.restOfBank));
        if (uint32_t code = SerialCommand(line, CMD_FOLD_DEVICE, 0, static_cast<uint16_t>(steps.deviceBytes), payload,
                                          4, nullptr, 0))
            return code;
    }
    if (steps.overBanks) {
        uint8_t payload[2] = {0, static_cast<uint8_t>(steps.copies)};
        return SerialCommand(line, CMD_FOLD_BANKS, static_cast<uint8_t>(steps.banks), 0, payload, 2, nullptr, 0);
    }
    return LINK_OK;
}
