// Serial framing, answer checks and the retrying exchange over a scripted line
// whose far end decodes frames like a unit and answers them.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "link/protocol.h"
#include "link/serial_frame.h"
#include "tests/support/test_support.h"

namespace {

TEST(SerialFrame, Crc16ArcKnownVectors) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16Arc(check, 9), 0xBB3D);
    EXPECT_EQ(Crc16Arc(nullptr, 0), 0x0000);
    const uint8_t a[] = {'A'};
    EXPECT_EQ(Crc16Arc(a, 1), 0x30C0);
    // Running the CRC in two parts gives the same value.
    EXPECT_EQ(Crc16Arc(check + 4, 5, Crc16Arc(check, 4)), 0xBB3D);
}

TEST(SerialFrame, HeaderLayoutAndChecksum) {
    uint8_t h[8];
    SerialBuildHeader(0x05, 0x20, 0x1F, 0x7FF0, 0x0123, h);
    const uint8_t want[7] = {0x05, 0x20, 0x1F, 0xF0, 0x7F, 0x23, 0x01};
    EXPECT_EQ(0, memcmp(h, want, 7));
    uint8_t sum = 0;
    for (uint8_t b : h) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0);
    SerialBuildHeader(0, 0, 0, 0, 0, h);
    EXPECT_EQ(h[7], 0);
}

TEST(SerialFrame, AnswerHeaderVerdicts) {
    auto make = [](uint8_t b0, uint8_t b1, uint16_t len) {
        std::vector<uint8_t> h = {b0, b1, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), 0};
        h[4] = FrameChecksum(h.data(), 4);
        return h;
    };
    const uint8_t seq = 9, ok0 = static_cast<uint8_t>(~9);
    struct Case {
        const char* what;
        std::vector<uint8_t> h;
        uint16_t expected;
        SerialAnswerVerdict v;
    } cases[] = {
        {"good", make(ok0, 0x60, 5), 5, SERIAL_ANSWER_OK},
        {"bad checksum",
         [&] {
             auto h = make(ok0, 0x60, 5);
             h[4] ^= 1;
             return h;
         }(),
         5, SERIAL_ANSWER_RETRY},
        {"other command", make(static_cast<uint8_t>(~8), 0x60, 5), 5, SERIAL_ANSWER_RETRY},
        {"unexpected length", make(ok0, 0x60, 4), 5, SERIAL_ANSWER_RETRY},
        {"refused", make(ok0, 0x61, 0), 5, SERIAL_ANSWER_BAD_STATUS},
    };
    for (auto& c : cases) EXPECT_EQ(SerialCheckAnswerHeader(c.h.data(), seq, c.expected), c.v) << c.what;
}

TEST(SerialFrame, DataTimeoutGrowsWithLengthAndByteTime) {
    EXPECT_EQ(SerialDataTimeoutMs(300, 10000000 / 9600), 5312u);
    EXPECT_EQ(SerialDataTimeoutMs(0, 173), 5000u);
    EXPECT_EQ(SerialDataTimeoutMs(0x8000, 10000000 / 50), 5000u + 6553600u);
}

// The far end: collects frames, carries them out on 1 MB of RAM and queues answers.
// Faults apply to the n-th answer, write, read or resync.
enum AnswerFault { NONE, BAD_CHECKSUM, WRONG_SEQUENCE, REFUSED, BAD_CRC, NO_ANSWER, SHORT_DATA };
struct FakeSerialUnit {
    std::vector<uint8_t> ram = std::vector<uint8_t>(0x100000, 0xFF);
    std::vector<uint8_t> in;
    std::deque<uint8_t> out;
    std::vector<std::vector<uint8_t>> frames;  // headers as received
    std::map<uint32_t, AnswerFault> answerFaults;
    std::map<uint32_t, bool> writeFails, readFails;
    std::map<uint32_t, int32_t> readCounts;  // forced count (-1 cancel) for the n-th read
    bool resyncFails = false;
    uint32_t answers = 0, writes = 0, reads = 0, resyncs = 0;
    uint8_t status[5] = {3, 0xAB, 0xCD, 1, 2};

    SerialLine line() {
        SerialLine l;
        l.port = this;
        l.byteTime = 10000000 / 57600;
        l.write = [](void* p, const uint8_t* d, uint32_t n) { return static_cast<FakeSerialUnit*>(p)->Write(d, n); };
        l.read = [](void* p, uint8_t* b, uint32_t n, uint32_t t, int32_t* c) {
            return static_cast<FakeSerialUnit*>(p)->Read(b, n, t, c);
        };
        l.resync = [](void* p) {
            auto* u = static_cast<FakeSerialUnit*>(p);
            ++u->resyncs;
            u->in.clear();
            u->out.clear();
            return !u->resyncFails;
        };
        return l;
    }
    bool Write(const uint8_t* d, uint32_t n) {
        if (writeFails[writes++]) return false;
        in.insert(in.end(), d, d + n);
        if (in.size() < 8) return true;
        uint16_t len = static_cast<uint16_t>(in[5] | in[6] << 8);
        if (in.size() < 8u + (len ? len + 2u : 0u)) return true;
        Frame();
        in.clear();
        return true;
    }
    bool Read(uint8_t* b, uint32_t n, uint32_t, int32_t* count) {
        uint32_t index = reads++;
        if (readFails[index]) return false;
        if (readCounts.count(index)) {
            *count = readCounts[index];
            return true;
        }
        if (out.size() < n) {
            out.clear();
            *count = 0;
            return true;
        }
        for (uint32_t i = 0; i < n; ++i) b[i] = out[i];
        out.erase(out.begin(), out.begin() + n);
        *count = static_cast<int32_t>(n);
        return true;
    }
    void Frame() {
        frames.emplace_back(in.begin(), in.begin() + 8);
        const uint8_t* h = in.data();
        const uint8_t* payload = h + 8;
        uint16_t len = static_cast<uint16_t>(h[5] | h[6] << 8);
        uint32_t address = h[2] * 0x8000u + (h[3] | h[4] << 8);
        std::vector<uint8_t> data;
        switch (h[1]) {
        case 0x20: std::copy(payload, payload + len, ram.begin() + (address & 0xFFFFF)); break;
        case 0x21: {
            uint16_t idx = 0xFFFF;
            for (uint16_t i = 0; i < len; ++i)
                if (ram[(address + i) & 0xFFFFF] != payload[i]) {
                    idx = i;
                    break;
                }
            data = {static_cast<uint8_t>(idx), static_cast<uint8_t>(idx >> 8)};
            break;
        }
        case 0x22: {
            uint16_t n = static_cast<uint16_t>(payload[0] | payload[1] << 8);
            for (uint16_t i = 0; i < n; ++i) data.push_back(ram[(address + i) & 0xFFFFF]);
            break;
        }
        case 0x23: status[4] = payload[0]; break;
        case 0x24: data.assign(status, status + 5); break;
        default: break;
        }
        AnswerFault f = answerFaults.count(answers) ? answerFaults[answers] : NONE;
        ++answers;
        if (f == NO_ANSWER) return;
        uint8_t a[5] = {static_cast<uint8_t>(~h[0]), 0x60, static_cast<uint8_t>(data.size()),
                        static_cast<uint8_t>(data.size() >> 8), 0};
        if (f == WRONG_SEQUENCE) a[0] ^= 1;
        if (f == REFUSED) a[1] = 0x45;
        a[4] = FrameChecksum(a, 4);
        if (f == BAD_CHECKSUM) a[4] ^= 0x10;
        out.insert(out.end(), a, a + 5);
        if (data.empty()) return;
        if (f == SHORT_DATA) data.pop_back();
        uint16_t crc = Crc16Arc(data.data(), data.size());
        if (f == BAD_CRC) crc ^= 1;
        out.insert(out.end(), data.begin(), data.end());
        out.push_back(static_cast<uint8_t>(crc));
        out.push_back(static_cast<uint8_t>(crc >> 8));
    }
};

TEST(SerialExchange, FramesCarryPayloadAndCrc) {
    FakeSerialUnit u;
    std::vector<uint8_t> data = testsupport::RandomBytes(0x9000, 4);
    ASSERT_EQ(SerialWrite(u.line(), 0x7000, data.data(), 0x9000), LINK_OK);
    ASSERT_EQ(u.frames.size(), 2u) << "one frame per bank piece";
    EXPECT_EQ(u.frames[0][2], 0);
    EXPECT_EQ(u.frames[0][5] | u.frames[0][6] << 8, 0x1000);
    EXPECT_EQ(u.frames[1][2], 1);
    EXPECT_EQ(u.frames[1][3] | u.frames[1][4] << 8, 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), u.ram.begin() + 0x7000));

    std::vector<uint8_t> back(0x9000);
    ASSERT_EQ(SerialRead(u.line(), back.data(), 0x7000, 0x9000), LINK_OK);
    EXPECT_TRUE(back == data);

    uint32_t equal = 0;
    uint8_t unitByte = 0;
    ASSERT_EQ(SerialCompare(u.line(), &equal, &unitByte, 0x7000, data.data(), 0x9000), LINK_OK);
    EXPECT_EQ(equal, 0x9000u);
    data[0x8800] ^= 0xFF;
    ASSERT_EQ(SerialCompare(u.line(), &equal, &unitByte, 0x7000, data.data(), 0x9000), LINK_OK);
    EXPECT_EQ(equal, 0x8800u);
    EXPECT_EQ(unitByte, u.ram[0x7000 + 0x8800]);

    ASSERT_EQ(SerialSetReset(u.line(), RESET_LOW), LINK_OK);
    uint32_t level = 9;
    ASSERT_EQ(SerialGetReset(u.line(), &level), LINK_OK);
    EXPECT_EQ(level, RESET_LOW);
}

TEST(SerialExchange, FoldPayloads) {
    FakeSerialUnit u;
    ASSERT_EQ(SerialSetFold(u.line(), 0x2000, 0x40000), LINK_OK);
    ASSERT_EQ(u.frames.size(), 2u);
    EXPECT_EQ(u.frames[0][1], 0x27);
    EXPECT_EQ(u.frames[0][3] | u.frames[0][4] << 8, 0x2000);
    EXPECT_EQ(u.frames[1][1], 0x28);
    EXPECT_EQ(u.frames[1][2], 1);
    FakeSerialUnit v;
    ASSERT_EQ(SerialSetFold(v.line(), 0x8000, 0x8000), LINK_OK);
    EXPECT_TRUE(v.frames.empty());
}

TEST(SerialExchange, RetriesAndFailures) {
    struct Case {
        const char* what;
        std::map<uint32_t, AnswerFault> answers;
        std::map<uint32_t, bool> writeFails, readFails;
        std::map<uint32_t, int32_t> readCounts;
        bool resyncFails;
        uint32_t code;
        uint32_t resyncs;
    } cases[] = {
        {"bad checksum retried", {{0, BAD_CHECKSUM}}, {}, {}, {}, false, LINK_OK, 1},
        {"three bad checksums", {{0, BAD_CHECKSUM}, {1, BAD_CHECKSUM}, {2, BAD_CHECKSUM}}, {}, {}, {}, false, 7, 2},
        {"wrong sequence retried", {{0, WRONG_SEQUENCE}, {1, WRONG_SEQUENCE}}, {}, {}, {}, false, LINK_OK, 2},
        {"no answer retried", {{0, NO_ANSWER}}, {}, {}, {}, false, LINK_OK, 1},
        {"bad data crc retried", {{0, BAD_CRC}}, {}, {}, {}, false, LINK_OK, 1},
        {"short data retried", {{0, SHORT_DATA}, {1, SHORT_DATA}}, {}, {}, {}, false, LINK_OK, 2},
        {"refused", {{0, REFUSED}}, {}, {}, {}, false, 12, 0},
        {"header write", {}, {{0, true}}, {}, {}, false, 8, 0},
        {"header read call", {}, {}, {{0, true}}, {}, false, 11, 0},
        {"data read call", {}, {}, {{1, true}}, {}, false, 13, 0},
        {"crc read call", {}, {}, {{2, true}}, {}, false, 14, 0},
        {"cancel on header", {}, {}, {}, {{0, -1}}, false, 4, 0},
        {"cancel on data", {}, {}, {}, {{1, -1}}, false, 4, 0},
        {"resync fails", {{0, BAD_CHECKSUM}}, {}, {}, {}, true, 15, 1},
    };
    for (auto& c : cases) {
        FakeSerialUnit u;
        u.answerFaults = c.answers;
        u.writeFails = c.writeFails;
        u.readFails = c.readFails;
        u.readCounts = c.readCounts;
        u.resyncFails = c.resyncFails;
        uint8_t status[5] = {};
        EXPECT_EQ(SerialStatus(u.line(), status), c.code) << c.what;
        EXPECT_EQ(u.resyncs, c.resyncs) << c.what;
        if (c.code == LINK_OK) { EXPECT_EQ(0, memcmp(status, u.status, 5)) << c.what; }
        // Every attempt resends the same frame.
        for (auto& f : u.frames) EXPECT_EQ(f, u.frames[0]) << c.what;
    }
    // Payload and CRC write failures.
    uint8_t byte = 1;
    for (uint32_t n : {1u, 2u}) {
        FakeSerialUnit u;
        u.writeFails[n] = true;
        EXPECT_EQ(SerialWrite(u.line(), 0, &byte, 1), n == 1 ? 9u : 10u);
    }
}

}  // namespace
