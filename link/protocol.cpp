// The command protocol on USB units: packets, answers, and the generic
// operations cut into bank pieces and whole device packets.
#include "link/protocol.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "link/errors.h"
#include "platform/shutdown.h"

namespace {

uint8_t g_usbSequence = 0;
// Compare reads back into this buffer; it lives for the process.
std::unique_ptr<uint8_t[]> g_compareScratch;

constexpr uint32_t kSmallWriteMax = 16;
constexpr uint32_t kSmallReadMax = 36;
constexpr uint32_t kSmallReadStep = 6;
constexpr uint32_t kMaxPacket = 255;  // the driver reports the packet size in one byte

// A transport result at one stage; a cancel is always 4, whatever the stage.
uint32_t Staged(uint32_t base, uint32_t r) { return r == USB_RESULT_CANCELLED ? LINK_CANCELLED : base + r; }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// A range inside one bank, split at the device's packet boundaries.
struct PacketSplit {
    uint32_t alignedStart;   // offset rounded down to a packet
    uint32_t alignedLength;  // whole packets covering the range
    uint32_t head;           // bytes in a partial first packet (0: the range starts on a packet)
    uint32_t middle;         // bytes in whole packets after the head
    uint32_t tail;           // bytes in a partial last packet after the middle
};

PacketSplit Split(uint32_t offset, uint32_t n, uint32_t P) {
    PacketSplit s{};
    s.alignedStart = offset - offset % P;
    uint32_t alignedEnd = (offset + n + P - 1) / P * P;
    s.alignedLength = alignedEnd - s.alignedStart;
    s.head = offset % P ? std::min(n, P - offset % P) : 0;
    uint32_t rest = n - s.head;
    s.middle = rest - rest % P;
    s.tail = rest % P;
    return s;
}

// 0x2B reads of up to 6 bytes; the offset runs on into the next bank (31 wraps to 0).
uint32_t SmallRead(const UsbLine& line, uint8_t bank, uint32_t offset, uint8_t* buffer, uint32_t n) {
    while (n) {
        uint32_t count = std::min(n, kSmallReadStep);
        UsbPacketFields f;
        f.code = CMD_READ_SMALL;
        f.p1 = bank;
        f.w1 = static_cast<uint16_t>(offset);
        f.w3 = static_cast<uint16_t>(count);
        uint8_t data[6];
        if (uint32_t code = UsbCommand(line, f, data)) return code;
        std::memcpy(buffer, data, count);
        buffer += count;
        n -= count;
        offset += kSmallReadStep;
        if (offset >= BANK_BYTES) {
            offset -= BANK_BYTES;
            bank = bank == 31 ? 0 : static_cast<uint8_t>(bank + 1);
        }
    }
    return LINK_OK;
}

uint32_t Simple(const UsbLine& line, uint8_t code) {
    UsbPacketFields f;
    f.code = code;
    return UsbCommand(line, f, nullptr);
}

// Bytes the unit says it moved in the last bulk transfer.
uint32_t BulkCount(const UsbLine& line, uint32_t* count) {
    UsbPacketFields f;
    f.code = CMD_BULK_COUNT;
    uint8_t data[6];
    if (uint32_t code = UsbCommand(line, f, data)) return code;
    *count = Le32(data);
    return LINK_OK;
}

uint32_t ReadPiece(const UsbLine& line, uint8_t bank, uint32_t offset, uint8_t* buffer, uint32_t n) {
    if (n <= kSmallReadMax) return SmallRead(line, bank, offset, buffer, n);
    const uint32_t P = line.packetSize;
    if (P == 0 || P > kMaxPacket) return LINK_NOT_WORKING;
    PacketSplit s = Split(offset, n, P);
    if (uint32_t code = Simple(line, CMD_BULK_START)) return code;
    UsbPacketFields f;
    f.code = CMD_READ;
    f.p1 = bank;
    f.w1 = static_cast<uint16_t>(s.alignedStart);
    f.w3 = static_cast<uint16_t>(s.alignedLength);
    if (uint32_t code = UsbCommand(line, f, nullptr)) return code;
    uint8_t packet[kMaxPacket];
    if (s.head) {
        if (uint32_t r = line.bulkRead(line.port, packet, P)) return Staged(LINK_USB_READ_FIRST_BASE, r);
        std::memcpy(buffer, packet + (offset - s.alignedStart), s.head);
    }
    if (s.middle) {
        if (uint32_t r = line.bulkRead(line.port, buffer + s.head, s.middle))
            return Staged(LINK_USB_READ_MIDDLE_BASE, r);
    }
    if (s.tail) {
        if (uint32_t r = line.bulkRead(line.port, packet, P)) return Staged(LINK_USB_READ_LAST_BASE, r);
        std::memcpy(buffer + s.head + s.middle, packet, s.tail);
    }
    uint32_t count = 0;
    if (uint32_t code = BulkCount(line, &count)) return code;
    return count == s.alignedLength ? LINK_OK : LINK_USB_READ_COUNT;
}

uint32_t WritePiece(const UsbLine& line, uint8_t bank, uint32_t offset, const uint8_t* data, uint32_t n) {
    if (n <= kSmallWriteMax) {
        for (uint32_t i = 0; i < n; ++i) {
            UsbPacketFields f;
            f.code = CMD_WRITE_BYTE;
            f.p1 = data[i];
            f.p2 = bank;
            f.w2 = static_cast<uint16_t>(offset + i);
            f.w3 = 1;
            if (uint32_t code = UsbCommand(line, f, nullptr)) return code;
        }
        return LINK_OK;
    }
    const uint32_t P = line.packetSize;
    if (P == 0 || P > kMaxPacket) return LINK_NOT_WORKING;
    PacketSplit s = Split(offset, n, P);
    // The partial packets at the ends go out whole: fetch what the unit has around the range.
    uint8_t first[kMaxPacket], last[kMaxPacket];
    if (s.head) {
        if (uint32_t code = ReadPiece(line, bank, s.alignedStart, first, P)) return code;
        std::memcpy(first + (offset - s.alignedStart), data, s.head);
    }
    if (s.tail) {
        if (uint32_t code = ReadPiece(line, bank, s.alignedStart + s.alignedLength - P, last, P)) return code;
        std::memcpy(last, data + s.head + s.middle, s.tail);
    }
    if (uint32_t code = Simple(line, CMD_BULK_START)) return code;
    UsbPacketFields f;
    f.code = CMD_WRITE;
    f.p2 = bank;
    f.w2 = static_cast<uint16_t>(s.alignedStart);
    f.w3 = static_cast<uint16_t>(s.alignedLength);
    if (uint32_t code = UsbCommand(line, f, nullptr)) return code;
    if (s.head) {
        if (uint32_t r = line.bulkWrite(line.port, first, P)) return Staged(LINK_USB_WRITE_FIRST_BASE, r);
    }
    if (s.middle) {
        if (uint32_t r = line.bulkWrite(line.port, data + s.head, s.middle))
            return Staged(LINK_USB_WRITE_MIDDLE_BASE, r);
    }
    if (s.tail) {
        if (uint32_t r = line.bulkWrite(line.port, last, P)) return Staged(LINK_USB_WRITE_LAST_BASE, r);
    }
    uint32_t count = 0;
    if (uint32_t code = BulkCount(line, &count)) return code;
    return count == s.alignedLength ? LINK_OK : LINK_USB_WRITE_COUNT;
}

}  // namespace

uint8_t NextSequence(uint8_t& counter) {
    counter = (counter >= 127 || counter == 0) ? 1 : static_cast<uint8_t>(counter + 1);
    return counter;
}

void UsbBuildPacket(uint8_t sequence, const UsbPacketFields& f, uint8_t packet[USB_PACKET_BYTES]) {
    packet[0] = sequence;
    packet[1] = f.code;
    packet[2] = f.p1;
    packet[3] = f.p2;
    packet[4] = static_cast<uint8_t>(f.w1);
    packet[5] = static_cast<uint8_t>(f.w1 >> 8);
    packet[6] = static_cast<uint8_t>(f.w2);
    packet[7] = static_cast<uint8_t>(f.w2 >> 8);
    packet[8] = static_cast<uint8_t>(f.w3);
    packet[9] = static_cast<uint8_t>(f.w3 >> 8);
}

uint32_t UsbCommand(const UsbLine& line, const UsbPacketFields& f, uint8_t* data) {
    const uint8_t sequence = NextSequence(g_usbSequence);
    uint8_t packet[USB_PACKET_BYTES];
    UsbBuildPacket(sequence, f, packet);
    if (uint32_t r = line.send(line.port, packet)) return Staged(LINK_USB_SEND_BASE, r);
    const uint8_t expected = static_cast<uint8_t>(~sequence);
    uint8_t answer[USB_ANSWER_BYTES] = {};
    if (uint32_t r = line.receive(line.port, answer, expected)) return Staged(LINK_USB_ANSWER_BASE, r);
    if (answer[0] != expected) return LINK_USB_BAD_SEQUENCE;
    if (answer[1] != ANSWER_ACCEPTED) return LINK_USB_BAD_STATUS;
    if (data) std::memcpy(data, answer + 2, 6);
    return LINK_OK;
}

uint32_t UsbWrite(const UsbLine& line, uint32_t address, const uint8_t* data, uint32_t length) {
    return ForEachBankPiece(address, length, [&](uint8_t bank, uint32_t offset, uint32_t done, uint32_t n) {
        return WritePiece(line, bank, offset, data + done, n);
    });
}

uint32_t UsbRead(const UsbLine& line, uint8_t* buffer, uint32_t address, uint32_t length) {
    uint8_t bank = static_cast<uint8_t>(address / BANK_BYTES);
    uint32_t offset = address % BANK_BYTES;
    if (length <= kSmallReadMax) return SmallRead(line, bank, offset, buffer, length);
    return ForEachBankPiece(address, length, [&](uint8_t b, uint32_t o, uint32_t done, uint32_t n) {
        return ReadPiece(line, b, o, buffer + done, n);
    });
}

uint32_t UsbCompare(const UsbLine& line, uint32_t* equal, uint8_t* unitByte, uint32_t address, const uint8_t* data,
                    uint32_t length) {
    uint32_t equalDummy = 0;
    uint8_t byteDummy = 0;
    if (equal == nullptr) equal = &equalDummy;
    if (unitByte == nullptr) unitByte = &byteDummy;
    if (length && g_compareScratch == nullptr) {
        g_compareScratch.reset(new (std::nothrow) uint8_t[USB_COMPARE_CHUNK]);
        if (g_compareScratch == nullptr) return LINK_NOT_AVAILABLE;
        ShutdownRegister(UsbCompareRelease);
    }
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min(length - done, USB_COMPARE_CHUNK);
        if (uint32_t code = UsbRead(line, g_compareScratch.get(), address + done, n)) return code;
        uint32_t i = 0;
        while (i < n && g_compareScratch[i] == data[done + i]) ++i;
        if (i < n) {
            *equal = done + i;
            return UsbRead(line, unitByte, address + done + i, 1);
        }
        done += n;
    }
    *equal = length;
    return LINK_OK;
}

uint32_t UsbSetReset(const UsbLine& line, uint32_t level) {
    UsbPacketFields f;
    f.code = CMD_SET_RESET;
    f.p1 = static_cast<uint8_t>(level);
    return UsbCommand(line, f, nullptr);
}

uint32_t UsbGetReset(const UsbLine& line, uint32_t* level) {
    UsbPacketFields f;
    f.code = CMD_STATUS;
    uint8_t status[6] = {};
    if (uint32_t code = UsbCommand(line, f, status)) return code;
    *level = status[STATUS_RESET];
    return LINK_OK;
}

FoldSteps PlanFold(uint32_t deviceSize, uint32_t ramSize) {
    FoldSteps steps;
    if (deviceSize == ramSize) return steps;
    if (deviceSize <= 0x4000) {
        steps.inBank = true;
        steps.deviceBytes = deviceSize;
        steps.restOfBank = BANK_BYTES - deviceSize;
    }
    const uint32_t b = deviceSize > BANK_BYTES ? deviceSize / BANK_BYTES : 1;
    const uint32_t m = ramSize / BANK_BYTES;
    if (m > b) {
        steps.overBanks = true;
        steps.banks = b;
        steps.copies = m - b;
    }
    return steps;
}

uint32_t UsbSetFold(const UsbLine& line, uint32_t deviceSize, uint32_t ramSize) {
    const FoldSteps steps = PlanFold(deviceSize, ramSize);
    if (steps.inBank) {
        UsbPacketFields f;
        f.code = CMD_FOLD_DEVICE;
        f.w2 = static_cast<uint16_t>(steps.deviceBytes);
        f.w3 = static_cast<uint16_t>(steps.restOfBank);
        if (uint32_t code = UsbCommand(line, f, nullptr)) return code;
    }
    if (steps.overBanks) {
        UsbPacketFields f;
        f.code = CMD_FOLD_BANKS;
        f.p2 = static_cast<uint8_t>(steps.banks);
        f.w3 = static_cast<uint16_t>(steps.copies);
        return UsbCommand(line, f, nullptr);
    }
    return LINK_OK;
}

void UsbCompareRelease() { g_compareScratch.reset(); }
