#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"

namespace {

using enginetest::RecordingOutput;
using enginetest::VirtualUnit;

TEST(Fill, ArgumentChecks) {
    VirtualUnit unit(0x800);
    RecordingOutput out;
    struct Case {
        uint32_t value, start, length;
        EngineArg arg;
        const char* line;
    } cases[] = {
        {0x100, 0, 0, ARG_VALUE, "INVALID FILL VALUE, 00 - FF REQUIRED\a\n"},
        {0xFF, 0x800, 0, ARG_START, "INVALID START ARGUMENT\a\n"},
        {0xFF, 0x7FF, 2, ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n"},
        {0xFF, 1, 0xFFFFFFFF, ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n"},
    };
    for (const auto& c : cases) {
        unit.request.Target = c.value;
        unit.request.Start = c.start;
        unit.request.Length = c.length;
        EXPECT_EQ(FillRange(out, unit.set), 2u) << c.line;
        ASSERT_EQ(out.lines.size(), 1u);
        EXPECT_EQ(out.lines[0].text, c.line);
        EXPECT_EQ(out.lines[0].arg, c.arg);
        if (c.value > 0xFF) continue;
        EXPECT_EQ(ChecksumRange(out, unit.set), 2u) << c.line;
        ASSERT_EQ(out.lines.size(), 1u);
        EXPECT_EQ(out.lines[0].text, c.line);
    }
    EXPECT_EQ(unit.Read(0, 0x800), std::vector<uint8_t>(0x800, 0xFF));
}

TEST(Fill, ModesAndRanges) {
    struct Case {
        uint32_t devSize, value, start, length, mode;
        std::string text;
        uint32_t first, count;  // the filled range
    } cases[] = {
        {0x100000, 0x00, 0, 0, LOAD_ONLY,
         "I:Filling 100000 bytes at offset 0 with 00\nI:Fill Completed without verification\n", 0, 0x100000},
        {0x800, 0x5A, 0x10, 0x20, LOAD_VERIFY,
         "I:Filling 20 bytes at offset 10 with 5A\nI:Fill Completed with no errors\n", 0x10, 0x20},
        {0x800, 0x5A, 0x7FF, 0, LOAD_ONLY,
         "I:Filling 1 bytes at offset 7FF with 5A\nI:Fill Completed without verification\n", 0x7FF, 1},
        {0x800, 0xFF, 0, 0, VERIFY_ONLY,
         "I:Verifying 800 bytes at offset 0 with FF\nI:Verify Completed with no errors\n", 0, 0},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(c.devSize);
        RecordingOutput out;
        unit.request.Target = c.value;
        unit.request.Start = c.start;
        unit.request.Length = c.length;
        unit.request.LoadVerify = c.mode;
        EXPECT_EQ(FillRange(out, unit.set), 0u);
        EXPECT_EQ(out.Text(), c.text);
        if (c.count == 0) continue;
        EXPECT_EQ(unit.Read(c.first, c.count), std::vector<uint8_t>(c.count, static_cast<uint8_t>(c.value)));
        if (c.first > 0) { EXPECT_EQ(unit.Read(c.first - 1, 1)[0], 0xFF); }
        if (c.first + c.count < c.devSize) { EXPECT_EQ(unit.Read(c.first + c.count, 1)[0], 0xFF); }
        // One poll per 32 KB piece.
        EXPECT_EQ(out.polls, (c.count + 0x7FFF) / 0x8000);
    }
}

TEST(Fill, VerifyFindsTheOddByte) {
    VirtualUnit unit(0x800, 0x00);
    unit.Write(0x123, {0x42});
    RecordingOutput out;
    unit.request.LoadVerify = VERIFY_ONLY;
    EXPECT_EQ(FillRange(out, unit.set), 2u);
    EXPECT_EQ(out.Text(),
              "I:Verifying 800 bytes at offset 0 with 00\n"
              "E:COMPARE ERROR IN EMULATOR RAM AT LOCATION 00123\a\n"
              "A:EXPECTED 00, GOT 42\n"
              "I:Verify Incomplete: 123 bytes were verified\n");
    // In the second piece: the address counts from the start of the range.
    VirtualUnit big(0x20000, 0x00);
    big.Write(0x9001, {0x42});
    big.request.LoadVerify = VERIFY_ONLY;
    big.request.Start = 0x1000;
    EXPECT_EQ(FillRange(out, big.set), 2u);
    EXPECT_EQ(out.lines[1].text, "COMPARE ERROR IN EMULATOR RAM AT LOCATION 09001\a\n");
    EXPECT_EQ(out.lines[3].text, "Verify Incomplete: 8001 bytes were verified\n");
}

TEST(Fill, CancelBetweenPieces) {
    VirtualUnit unit(0x20000);
    RecordingOutput out;
    out.cancelAtPoll = 2;
    unit.request.Target = 0;
    EXPECT_EQ(FillRange(out, unit.set), 2u);
    EXPECT_EQ(out.lines.back().text, "Fill Incomplete: 8000 bytes filled with #0 corrected RAM write error(s)\n");
    EXPECT_EQ(unit.Read(0x7FFF, 2), (std::vector<uint8_t>{0x00, 0xFF}));
}

TEST(Checksum, SumsAndHalves) {
    struct Case {
        uint32_t devSize, start, length;
        std::string text;
        uint32_t sum;
    } cases[] = {
        {0x10000, 0, 0, "I:Computing Checksum of 00000 - 0FFFF\nA:CHECKSUM = 00FF-0000\n", 0x00FF0000},
        {0x100000, 0, 0, "I:Computing Checksum of 00000 - FFFFF\nA:CHECKSUM = 0FF0-0000\n", 0x0FF00000},
        {0x800, 0x7FF, 0, "I:Computing Checksum of 007FF - 007FF\nA:CHECKSUM = 0000-00FF\n", 0xFF},
        {0x800, 0x10, 0x10, "I:Computing Checksum of 00010 - 0001F\nA:CHECKSUM = 0000-0FF0\n", 0xFF0},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(c.devSize);
        RecordingOutput out;
        unit.request.Start = c.start;
        unit.request.Length = c.length;
        EXPECT_EQ(ChecksumRange(out, unit.set), 0u);
        EXPECT_EQ(out.Text(), c.text);
        EXPECT_EQ(unit.request.Target, c.sum);
        EXPECT_EQ(out.results, std::vector<uint32_t>{c.sum});
        EXPECT_EQ(out.polls, ((c.length ? c.length : c.devSize - c.start) + 0x7FFF) / 0x8000);
    }
}

TEST(Checksum, WrapsModulo32Bits) {
    // Sum of a ramp: exact value, not just the low half.
    VirtualUnit unit(0x100000);
    std::vector<uint8_t> ramp(0x100000);
    uint32_t want = 0;
    for (uint32_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
        want += ramp[i];
    }
    unit.Write(0, ramp);
    RecordingOutput out;
    EXPECT_EQ(ChecksumRange(out, unit.set), 0u);
    EXPECT_EQ(unit.request.Target, want);
}

TEST(Checksum, CancelEndsSilently) {
    VirtualUnit unit(0x20000);
    RecordingOutput out;
    out.cancelAtPoll = 2;
    unit.request.Target = 0x1234;
    EXPECT_EQ(ChecksumRange(out, unit.set), 2u);
    EXPECT_EQ(out.Text(), "I:Computing Checksum of 00000 - 1FFFF\n");
    EXPECT_EQ(unit.request.Target, 0x1234u);
    EXPECT_TRUE(out.results.empty());
}

}  // namespace
