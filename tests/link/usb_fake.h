#pragma once
// A scripted stand-in for the USB transport: it carries out the unit's side of
// the command protocol on 1 MB of RAM, logs every packet and bulk transfer, and
// fails chosen calls with chosen raw transport results.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "link/protocol.h"

namespace usbfake {

enum Call { SEND, RECEIVE, BULK_WRITE, BULK_READ };

struct FakeUnit {
    std::vector<uint8_t> ram = std::vector<uint8_t>(0x100000, 0xFF);
    std::vector<std::array<uint8_t, 10>> packets;
    std::vector<std::pair<Call, uint32_t>> bulk;  // direction and length of each bulk transfer
    uint8_t status[6] = {0, 0x12, 0x34, 0, 2, 0};
    int32_t countAdjust = 0;  // added to the byte count that 0x2A reports
    // (call kind, n-th call of that kind counted from 0) -> raw result to fail with
    std::map<std::pair<Call, uint32_t>, uint32_t> faults;
    std::function<void(uint8_t* answer)> tamper;  // changes every answer after it is built

    uint32_t calls[4] = {};
    uint8_t answer[8] = {};
    uint32_t bulkAddress = 0, moved = 0;

    UsbLine line(uint32_t packetSize = 64) {
        UsbLine l;
        l.port = this;
        l.packetSize = packetSize;
        l.send = [](void* p, const uint8_t* packet) { return static_cast<FakeUnit*>(p)->Send(packet); };
        l.receive = [](void* p, uint8_t* a, uint8_t e) { return static_cast<FakeUnit*>(p)->Receive(a, e); };
        l.bulkWrite = [](void* p, const uint8_t* d, uint32_t n) { return static_cast<FakeUnit*>(p)->BulkWrite(d, n); };
        l.bulkRead = [](void* p, uint8_t* b, uint32_t n) { return static_cast<FakeUnit*>(p)->BulkRead(b, n); };
        return l;
    }

    uint32_t Fault(Call c) {
        auto it = faults.find({c, calls[c]++});
        return it == faults.end() ? 0 : it->second;
    }
    static uint16_t W(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

    uint32_t Send(const uint8_t* p) {
        if (uint32_t r = Fault(SEND)) return r;
        std::array<uint8_t, 10> a;
        std::memcpy(a.data(), p, 10);
        packets.push_back(a);
        std::memset(answer, 0, 8);
        answer[0] = static_cast<uint8_t>(~p[0]);
        answer[1] = 0x60;
        uint32_t bank = p[3] * 0x8000u;
        switch (p[1]) {
        case 0x2C: ram[(p[3] * 0x8000u + W(p + 6)) & 0xFFFFF] = p[2]; break;
        case 0x2B:
            for (uint32_t i = 0; i < W(p + 8) && i < 6; ++i)
                answer[2 + i] = ram[(p[2] * 0x8000u + W(p + 4) + i) & 0xFFFFF];
            break;
        case 0x29: moved = 0; break;
        case 0x20: bulkAddress = bank + W(p + 6); break;
        case 0x22: bulkAddress = p[2] * 0x8000u + W(p + 4); break;
        case 0x2A: {
            uint32_t c = moved + static_cast<uint32_t>(countAdjust);
            for (int i = 0; i < 4; ++i) answer[2 + i] = static_cast<uint8_t>(c >> (8 * i));
            break;
        }
        case 0x23: status[4] = p[2]; break;
        case 0x24: std::memcpy(answer + 2, status, 6); break;
        default: break;
        }
        if (tamper) tamper(answer);
        return 0;
    }
    uint32_t Receive(uint8_t* a, uint8_t) {
        if (uint32_t r = Fault(RECEIVE)) return r;
        std::memcpy(a, answer, 8);
        return 0;
    }
    uint32_t BulkWrite(const uint8_t* d, uint32_t n) {
        if (uint32_t r = Fault(BULK_WRITE)) return r;
        bulk.push_back({BULK_WRITE, n});
        for (uint32_t i = 0; i < n; ++i) ram[(bulkAddress + i) & 0xFFFFF] = d[i];
        bulkAddress += n;
        moved += n;
        return 0;
    }
    uint32_t BulkRead(uint8_t* b, uint32_t n) {
        if (uint32_t r = Fault(BULK_READ)) return r;
        bulk.push_back({BULK_READ, n});
        for (uint32_t i = 0; i < n; ++i) b[i] = ram[(bulkAddress + i) & 0xFFFFF];
        bulkAddress += n;
        moved += n;
        return 0;
    }

    // Command codes in the order they were sent.
    std::vector<uint8_t> codes() const {
        std::vector<uint8_t> v;
        for (auto& p : packets) v.push_back(p[1]);
        return v;
    }
};

}  // namespace usbfake
