// The USB command protocol over the scripted transport stand-in.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "link/protocol.h"
#include "tests/link/usb_fake.h"
#include "tests/support/test_support.h"

using usbfake::BULK_READ;
using usbfake::BULK_WRITE;
using usbfake::FakeUnit;
using usbfake::RECEIVE;
using usbfake::SEND;

namespace {

struct Cmd {
    uint8_t code, p1, p2;
    uint16_t w1, w2, w3;
};
bool operator==(const Cmd& a, const std::array<uint8_t, 10>& p) {
    return a.code == p[1] && a.p1 == p[2] && a.p2 == p[3] && a.w1 == (p[4] | p[5] << 8) && a.w2 == (p[6] | p[7] << 8) &&
           a.w3 == (p[8] | p[9] << 8);
}
void ExpectPackets(const FakeUnit& u, const std::vector<Cmd>& want) {
    ASSERT_EQ(u.packets.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(want[i] == u.packets[i]) << "packet " << i << " code " << std::hex << int(u.packets[i][1]);
}

TEST(UsbPacket, LayoutIsLittleEndianWithFieldsInPlace) {
    UsbPacketFields f;
    f.code = 0x20;
    f.p1 = 0x11;
    f.p2 = 0x22;
    f.w1 = 0x3344;
    f.w2 = 0x5566;
    f.w3 = 0x7788;
    uint8_t p[10];
    UsbBuildPacket(0x7F, f, p);
    const uint8_t want[10] = {0x7F, 0x20, 0x11, 0x22, 0x44, 0x33, 0x66, 0x55, 0x88, 0x77};
    EXPECT_EQ(0, memcmp(p, want, 10));
}

TEST(UsbSequence, RunsOneToOneHundredTwentySevenAndWrapsToOne) {
    uint8_t counter = 0;
    EXPECT_EQ(NextSequence(counter), 1);
    counter = 126;
    EXPECT_EQ(NextSequence(counter), 127);
    EXPECT_EQ(NextSequence(counter), 1);
    counter = 200;  // never sent: the next value is back in range
    EXPECT_EQ(NextSequence(counter), 1);

    // Over the wire: every packet in 1..127, answers checked against the complement,
    // and the 128th command after any command carries the same number again.
    FakeUnit u;
    UsbLine line = u.line();
    for (int i = 0; i < 300; ++i) ASSERT_EQ(UsbSetReset(line, 1), LINK_OK);
    std::set<uint8_t> seen;
    for (size_t i = 0; i < u.packets.size(); ++i) {
        uint8_t s = u.packets[i][0];
        ASSERT_GE(s, 1);
        ASSERT_LE(s, 127);
        seen.insert(s);
        if (i + 127 < u.packets.size()) { EXPECT_EQ(u.packets[i + 127][0], s); }
        if (i > 0) { EXPECT_EQ(s, u.packets[i - 1][0] == 127 ? 1 : u.packets[i - 1][0] + 1); }
    }
    EXPECT_EQ(seen.size(), 127u);
}

TEST(UsbWrite, SeventeenBytesAcrossABankGoAsSingleByteCommands) {
    FakeUnit u;
    uint8_t data[17];
    for (int i = 0; i < 17; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(UsbWrite(u.line(), 0x7FF8, data, 17), LINK_OK);
    std::vector<Cmd> want;
    for (uint16_t i = 0; i < 8; ++i) want.push_back({0x2C, data[i], 0, 0, static_cast<uint16_t>(0x7FF8 + i), 1});
    for (uint16_t i = 0; i < 9; ++i) want.push_back({0x2C, data[8 + i], 1, 0, i, 1});
    ExpectPackets(u, want);
    EXPECT_TRUE(u.bulk.empty());
    EXPECT_EQ(0, memcmp(&u.ram[0x7FF8], data, 17));
}

TEST(UsbWrite, HeadMiddleTailGoAsWholePacketsAndKeepTheNeighbours) {
    FakeUnit u;
    u.ram = testsupport::RandomBytes(0x100000, 7);
    std::vector<uint8_t> before = u.ram;
    std::vector<uint8_t> data = testsupport::RandomBytes(200, 8);
    ASSERT_EQ(UsbWrite(u.line(64), 0x10, data.data(), 200), LINK_OK);
    // 48-byte head in packet 0, two whole packets, 24-byte tail in packet 3.
    ExpectPackets(u, {{0x29, 0, 0, 0, 0, 0},
                      {0x22, 0, 0, 0, 0, 64},
                      {0x2A, 0, 0, 0, 0, 0},
                      {0x29, 0, 0, 0, 0, 0},
                      {0x22, 0, 0, 0xC0, 0, 64},
                      {0x2A, 0, 0, 0, 0, 0},
                      {0x29, 0, 0, 0, 0, 0},
                      {0x20, 0, 0, 0, 0, 256},
                      {0x2A, 0, 0, 0, 0, 0}});
    std::vector<std::pair<usbfake::Call, uint32_t>> wantBulk = {
        {BULK_READ, 64}, {BULK_READ, 64}, {BULK_WRITE, 64}, {BULK_WRITE, 128}, {BULK_WRITE, 64}};
    EXPECT_EQ(u.bulk, wantBulk);
    std::vector<uint8_t> expect = before;
    std::copy(data.begin(), data.end(), expect.begin() + 0x10);
    EXPECT_TRUE(u.ram == expect);
}

// Many ranges and packet sizes against a plain model of the unit's RAM: the
// result must be exact, bulk transfers whole packets, no piece crossing a bank.
TEST(UsbWriteRead, RandomRangesMatchAPlainModel) {
    sim::SeededRandom rnd(99);
    const uint32_t sizes[] = {8, 16, 32, 64};
    for (int round = 0; round < 300; ++round) {
        FakeUnit u;
        u.ram = testsupport::RandomBytes(0x100000, round);
        uint32_t P = sizes[rnd.below(4)];
        uint32_t address = rnd.below(0x100000 - 0x20000);
        uint32_t length = round % 3 == 0 ? rnd.below(40) : rnd.below(0x12000);
        std::vector<uint8_t> data = testsupport::RandomBytes(length, round + 1000);
        std::vector<uint8_t> expect = u.ram;
        std::copy(data.begin(), data.end(), expect.begin() + address);
        ASSERT_EQ(UsbWrite(u.line(P), address, data.data(), length), LINK_OK) << address << "+" << length;
        ASSERT_TRUE(u.ram == expect) << "write " << std::hex << address << "+" << length << " P " << P;
        for (auto& b : u.bulk) ASSERT_EQ(b.second % P, 0u);
        for (auto& p : u.packets)
            if (p[1] == 0x20) { ASSERT_LE((p[6] | p[7] << 8) + (p[8] | p[9] << 8), 0x8000); }
        std::vector<uint8_t> back(length);
        u.bulk.clear();
        ASSERT_EQ(UsbRead(u.line(P), back.data(), address, length), LINK_OK);
        ASSERT_TRUE(back == data) << "read " << std::hex << address << "+" << length << " P " << P;
        for (auto& b : u.bulk) ASSERT_EQ(b.second % P, 0u);
    }
}

TEST(UsbRead, SmallReadsRunOnIntoTheNextBank) {
    struct Case {
        uint32_t address, length;
        std::vector<Cmd> want;
    } cases[] = {
        {0x7FFE, 8, {{0x2B, 0, 0, 0x7FFE, 0, 6}, {0x2B, 1, 0, 4, 0, 2}}},
        {0xFFFFE, 8, {{0x2B, 31, 0, 0x7FFE, 0, 6}, {0x2B, 0, 0, 4, 0, 2}}},
        {0x100,
         36,
         {{0x2B, 0, 0, 0x100, 0, 6},
          {0x2B, 0, 0, 0x106, 0, 6},
          {0x2B, 0, 0, 0x10C, 0, 6},
          {0x2B, 0, 0, 0x112, 0, 6},
          {0x2B, 0, 0, 0x118, 0, 6},
          {0x2B, 0, 0, 0x11E, 0, 6}}},
        {0x100, 0, {}},
    };
    for (auto& c : cases) {
        FakeUnit u;
        u.ram = testsupport::RandomBytes(0x100000, 3);
        std::vector<uint8_t> back(c.length + 1, 0xEE);
        ASSERT_EQ(UsbRead(u.line(), back.data(), c.address, c.length), LINK_OK);
        ExpectPackets(u, c.want);
        for (uint32_t i = 0; i < c.length; ++i) EXPECT_EQ(back[i], u.ram[(c.address + i) & 0xFFFFF]) << i;
        EXPECT_EQ(back[c.length], 0xEE) << "nothing past the buffer";
    }
}

TEST(UsbRead, ThirtySevenBytesGoInOneBulkExchange) {
    FakeUnit u;
    std::vector<uint8_t> back(37);
    ASSERT_EQ(UsbRead(u.line(64), back.data(), 0x20, 37), LINK_OK);
    // 32-byte head in packet 0 and a 5-byte tail in packet 1.
    ExpectPackets(u, {{0x29, 0, 0, 0, 0, 0}, {0x22, 0, 0, 0, 0, 128}, {0x2A, 0, 0, 0, 0, 0}});
}

TEST(UsbCompare, FindsTheFirstDifferenceAcrossScratchChunks) {
    FakeUnit u;
    u.ram = testsupport::RandomBytes(0x100000, 5);
    struct Case {
        uint32_t address, length, diffAt;  // diffAt == length: all equal
    } cases[] = {
        {0x1000, 0x50000, 0x45000}, {0x1000, 0x50000, 0x50000}, {0x7FFE, 8, 7}, {0, 0x40000, 0x3FFFF}, {0x20, 0, 0}};
    for (auto& c : cases) {
        std::vector<uint8_t> data(u.ram.begin() + c.address, u.ram.begin() + c.address + c.length);
        if (c.diffAt < c.length) data[c.diffAt] ^= 0x5A;
        u.packets.clear();
        uint32_t equal = 0xBAD;
        uint8_t unitByte = 0;
        ASSERT_EQ(UsbCompare(u.line(), &equal, &unitByte, c.address, data.data(), c.length), LINK_OK);
        EXPECT_EQ(equal, c.diffAt);
        if (c.diffAt < c.length) {
            EXPECT_EQ(unitByte, u.ram[c.address + c.diffAt]);
            Cmd last{0x2B, static_cast<uint8_t>((c.address + c.diffAt) >> 15),
                     0,    static_cast<uint16_t>((c.address + c.diffAt) & 0x7FFF),
                     0,    1};
            EXPECT_TRUE(last == u.packets.back()) << "the differing byte is read again";
        }
    }
}

TEST(UsbReset, SetSendsTheLevelAndGetReadsStatusByteFour) {
    FakeUnit u;
    ASSERT_EQ(UsbSetReset(u.line(), RESET_LOW), LINK_OK);
    ExpectPackets(u, {{0x23, 0, 0, 0, 0, 0}});
    ASSERT_EQ(UsbSetReset(u.line(), RESET_HIZ), LINK_OK);
    uint32_t level = 9;
    ASSERT_EQ(UsbGetReset(u.line(), &level), LINK_OK);
    EXPECT_EQ(level, RESET_HIZ);
    EXPECT_EQ(u.packets.back()[1], 0x24);
}

TEST(UsbFold, SendsOnlyWhatTheSizesNeed) {
    struct Case {
        uint32_t s, r;
        std::vector<Cmd> want;
    } cases[] = {
        {0x8000, 0x8000, {}},
        {0x100000, 0x100000, {}},
        {0x8000, 0x100000, {{0x28, 0, 1, 0, 0, 31}}},
        {0x2000, 0x40000, {{0x27, 0, 0, 0, 0x2000, 0x6000}, {0x28, 0, 1, 0, 0, 7}}},
        {0x4000, 0x8000, {{0x27, 0, 0, 0, 0x4000, 0x4000}}},
        {0x20000, 0x100000, {{0x28, 0, 4, 0, 0, 28}}},
        {0x80000, 0x40000, {}},
    };
    for (auto& c : cases) {
        FakeUnit u;
        ASSERT_EQ(UsbSetFold(u.line(), c.s, c.r), LINK_OK);
        ExpectPackets(u, c.want);
    }
}

// Every stage of every operation maps a transport failure to its own code; a
// cancel anywhere is 4.
TEST(UsbErrors, TransportFailuresMapToStageCodes) {
    struct Case {
        const char* what;
        usbfake::Call call;
        uint32_t nth;  // which call of that kind fails
        uint32_t r;
        int op;  // 0 small write, 1 bulk write 16+64+16 at 0x30, 2 bulk read the same, 3 status
        uint32_t code;
    } cases[] = {
        {"send time-out", SEND, 0, 1, 3, 16},       {"send count", SEND, 0, 3, 3, 18},
        {"send system", SEND, 0, 6, 3, 21},         {"send cancel", SEND, 0, 2, 3, 4},
        {"answer time-out", RECEIVE, 0, 1, 0, 26},  {"answer count", RECEIVE, 0, 3, 0, 28},
        {"answer stale", RECEIVE, 0, 4, 0, 29},     {"answer system", RECEIVE, 0, 6, 0, 31},
        {"answer cancel", RECEIVE, 0, 2, 0, 4},     {"read first", BULK_READ, 0, 1, 2, 116},
        {"read middle", BULK_READ, 1, 3, 2, 128},   {"read last", BULK_READ, 2, 6, 2, 141},
        {"read cancel", BULK_READ, 1, 2, 2, 4},     {"write first", BULK_WRITE, 0, 1, 1, 216},
        {"write middle", BULK_WRITE, 1, 3, 1, 228}, {"write last", BULK_WRITE, 2, 6, 1, 241},
        {"write cancel", BULK_WRITE, 2, 2, 1, 4},   {"write's head read", BULK_READ, 0, 6, 1, 131},
    };
    for (auto& c : cases) {
        FakeUnit u;
        u.faults[{c.call, c.nth}] = c.r;
        UsbLine line = u.line(64);
        std::vector<uint8_t> buf(96, 0x42);
        uint32_t code = 0, level = 0;
        switch (c.op) {
        case 0: code = UsbWrite(line, 0x10, buf.data(), 4); break;
        case 1: code = UsbWrite(line, 0x30, buf.data(), 96); break;
        case 2: code = UsbRead(line, buf.data(), 0x30, 96); break;
        case 3: code = UsbGetReset(line, &level); break;
        }
        EXPECT_EQ(code, c.code) << c.what;
    }
}

TEST(UsbErrors, AnswerContentAndByteCounts) {
    uint8_t buf[96] = {};
    {
        FakeUnit u;
        u.tamper = [](uint8_t* a) { a[0] ^= 1; };
        EXPECT_EQ(UsbSetReset(u.line(), 1), LINK_USB_BAD_SEQUENCE);
    }
    {
        FakeUnit u;
        u.tamper = [](uint8_t* a) { a[1] = 0x61; };
        EXPECT_EQ(UsbSetReset(u.line(), 1), LINK_USB_BAD_STATUS);
    }
    for (int adjust : {-1, 1}) {
        FakeUnit u;
        u.countAdjust = adjust;
        EXPECT_EQ(UsbWrite(u.line(64), 0, buf, 64), LINK_USB_WRITE_COUNT) << adjust;
        FakeUnit v;
        v.countAdjust = adjust;
        EXPECT_EQ(UsbRead(v.line(64), buf, 0, 64), LINK_USB_READ_COUNT) << adjust;
    }
    // A failure ends the operation: nothing after the failing command is sent.
    FakeUnit u;
    u.faults[{RECEIVE, 2}] = 1;
    EXPECT_EQ(UsbWrite(u.line(), 0, buf, 10), 26u);
    EXPECT_EQ(u.packets.size(), 3u);
}

TEST(UsbErrors, SubcodeTextForStageCodes) {
    EXPECT_EQ(LinkSubcodeText(STAGE_API, 26), "DEVICE FAILURE (SUBCODE 10-26)\a\n");
    EXPECT_EQ(LinkSubcodeText(STAGE_RECORD_WRITE, 245), "DEVICE FAILURE (SUBCODE 500-245)\a\n");
    EXPECT_EQ(LinkSubcodeText(STAGE_API, 4), "[CANCELLED SUBCODE 10-4]\n");
}

}  // namespace
