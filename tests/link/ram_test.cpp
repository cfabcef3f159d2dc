#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "link/ram.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::RandomBytes;
using testsupport::SimUnits;

constexpr uint32_t kNone = 0xFFFFFFFFu;

TEST(Placement, LoadBaseAndFoldMask) {
    struct Case {
        uint32_t maxK, devSize, mode, loadBase, foldMask;
    } cases[] = {
        {1024, 0x8000, FOLD_NONE, 0x28000, 0},
        {1024, 0x8000, FOLD_SOCKET, 0, 0x28000},
        {1024, 0x8000, FOLD_FULL, 0, 0xF8000},
        {1024, 0x8000, 7, 0, 0x28000},  // above 2 counts as socket folding
        {256, 0x8000, FOLD_NONE, 0x28000, 0},
        {128, 0x8000, FOLD_NONE, 0x8000, 0},
        {128, 0x8000, FOLD_FULL, 0, 0x18000},
        {1024, 0x2000, FOLD_SOCKET, 0, 0x2E000},
        {1024, 0x100000, FOLD_FULL, 0, 0},
        {1024, 0x100000, FOLD_NONE, 0, 0},
        {1024, 1024, FOLD_NONE, 0, 0},                // no row for 1 KB: the terminator's masks
        {0x1000040, 0x8000, FOLD_SOCKET, 0, 0x8000},  // only the low 24 bits of MaxK count
    };
    for (const auto& c : cases) {
        UnitLink link;
        link.MaxK = c.maxK;
        RamPlaceLane(link, c.devSize, c.mode);
        EXPECT_EQ(link.LoadBase, c.loadBase) << c.maxK << "K dev " << std::hex << c.devSize << " mode " << c.mode;
        EXPECT_EQ(link.FoldMask, c.foldMask) << c.maxK << "K dev " << std::hex << c.devSize << " mode " << c.mode;
    }
}

TEST(FoldAddress, VisitsEveryAliasOnce) {
    for (uint32_t mask : {0u, 0x28000u, 0xF8000u, 0x2E000u, 0x80000001u}) {
        std::set<uint32_t> seen;
        uint32_t a = 0x123 & ~mask;
        do {
            EXPECT_TRUE(seen.insert(a).second) << "alias visited twice";
            a = NextFoldAddress(a, mask);
        } while ((a & mask) != 0);
        EXPECT_EQ(seen.size(), size_t{1} << __builtin_popcount(mask)) << std::hex << mask;
        for (uint32_t s : seen) EXPECT_EQ(s & ~mask, 0x123u & ~mask);
    }
}

// One lane on a simulated unit, placed for a device type and fold mode.
struct Lane {
    LaneSettings settings;
    UnitLink link;
    UnitSet set;
    Lane(uint32_t handle, uint32_t maxK, uint32_t devSize, uint32_t foldMode, uint32_t mode) {
        settings.LoadVerify = mode;
        settings.DevSize = devSize;
        settings.FoldMode = foldMode;
        link.handle = handle;
        link.MaxK = maxK;
        RamPlaceLane(link, devSize, foldMode);
        set.count = 1;
        set.DevSize = devSize;
        set.settings[0] = &settings;
        set.links[0] = &link;
    }
};

// The worked example: a 27256 on a 1 MB unit, every alias read back from the unit itself.
TEST(RamWrite, Example27256OnOneMegabyteUnit) {
    RamWriteJob job;
    struct Case {
        uint32_t foldMode;
        std::vector<uint32_t> copies;
    } cases[] = {
        {FOLD_NONE, {0x28000}},
        {FOLD_SOCKET, {0, 0x8000, 0x20000, 0x28000}},
        {FOLD_FULL, {}},
    };
    for (uint32_t i = 0; i < 32; ++i) cases[2].copies.push_back(i * 0x8000);
    const auto image = RandomBytes(0x8000, 7);
    for (const auto& c : cases) {
        SimUnits units;
        auto& unit = units.add(1024, 0);
        Lane lane(units.open(0), 1024, 0x8000, c.foldMode, LOAD_VERIFY);
        uint32_t corrected = 0, done = 0;
        ASSERT_EQ(job.Begin(lane.set, 0, 0x8000, LOAD_VERIFY), LINK_OK);
        ASSERT_EQ(job.WriteBlock(image.data(), 0x8000, &corrected, &done), LINK_OK);
        ASSERT_EQ(job.ApplyFold(), LINK_OK);
        EXPECT_EQ(done, 0x8000u);
        EXPECT_EQ(corrected, 0u);
        EXPECT_EQ(job.RunningAddress(), 0x8000u);
        std::set<uint32_t> copies(c.copies.begin(), c.copies.end());
        for (uint32_t bank = 0; bank < 32; ++bank) {
            bool expectCopy = copies.count(bank * 0x8000) != 0;
            uint32_t matches = 0;
            for (uint32_t x = 0; x < 0x8000; ++x) matches += unit.raw(bank * 0x8000 + x) == image[x];
            if (expectCopy) EXPECT_EQ(matches, 0x8000u) << "mode " << c.foldMode << " bank " << bank;
            else EXPECT_LT(matches, 0x200u) << "mode " << c.foldMode << " bank " << bank << " must stay untouched";
        }
        // Reading goes through LoadBase only, never the fold mask.
        std::vector<uint8_t> back(0x8000);
        ASSERT_EQ(RamReadBlock(lane.set, back.data(), 0, 0x8000), LINK_OK);
        EXPECT_EQ(back, image);
    }
}

TEST(RamWrite, VerifyOnlyChecksEveryAliasCopy) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(1024, 0);
    const auto image = RandomBytes(0x800, 3);
    Lane lane(units.open(0), 1024, 0x800, FOLD_SOCKET, LOAD_VERIFY);  // 2716: fold mask 0x2800 -> 4 copies
    uint32_t corrected = 0, done = 0;
    job.Begin(lane.set, 0, 0x800, LOAD_VERIFY);
    ASSERT_EQ(job.WriteBlock(image.data(), 0x800, &corrected, &done), LINK_OK);
    ASSERT_EQ(done, 0x800u);

    // Spoil one byte in the last copy only; a verify must still find it.
    uint8_t bad = static_cast<uint8_t>(image[0x123] ^ 0x5A);
    unit.write(0x2800 + 0x123, &bad, 1);
    lane.settings.LoadVerify = VERIFY_ONLY;
    job.Begin(lane.set, 0, 0x800, VERIFY_ONLY);
    const uint64_t writtenBefore = unit.bytesWritten();
    ASSERT_EQ(job.WriteBlock(image.data(), 0x800, &corrected, &done), LINK_OK);
    EXPECT_EQ(done, 0x123u);
    EXPECT_EQ(unit.bytesWritten(), writtenBefore) << "verify only writes nothing";
    uint8_t got = 0, expected = 0;
    job.LastMismatch(&got, &expected);
    EXPECT_EQ(got, bad);
    EXPECT_EQ(expected, image[0x123]);
}

TEST(RamWrite, CorrectionOfSingleBytes) {
    RamWriteJob job;
    // Writes lost at one byte: the initial write plus up to three rewrites.
    struct Case {
        uint32_t lostWrites;
        uint32_t mode;
        uint32_t done, corrected;
    } cases[] = {
        {0, LOAD_VERIFY, 0x100, 0}, {1, LOAD_VERIFY, 0x100, 1}, {3, LOAD_VERIFY, 0x100, 1},
        {4, LOAD_VERIFY, 0x40, 0},  {1, LOAD_ONLY, 0x100, 0},
    };
    for (const auto& c : cases) {
        SimUnits units;
        auto& unit = units.add(32, 0);
        unit.fillRaw(0x00);
        unit.addLostWrites(0x40, c.lostWrites);
        Lane lane(units.open(0), 32, 0x800, FOLD_NONE, c.mode);
        lane.link.LoadBase = 0;
        auto image = RandomBytes(0x100, 11);
        image[0x40] = 0xC3;
        uint32_t corrected = 0, done = 0;
        job.Begin(lane.set, 0, 0x100, c.mode);
        ASSERT_EQ(job.WriteBlock(image.data(), 0x100, &corrected, &done), LINK_OK) << c.lostWrites;
        EXPECT_EQ(done, c.done) << c.lostWrites;
        EXPECT_EQ(corrected, c.corrected) << c.lostWrites;
        if (c.done < 0x100) {
            uint8_t got = 0, expected = 0;
            job.LastMismatch(&got, &expected);
            EXPECT_EQ(expected, 0xC3);
            EXPECT_EQ(got, 0x00);
        }
    }
}

TEST(RamWrite, StuckBitIsUncorrectable) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(64, 0);
    unit.addStuckBits({0x1010, 0x01, 0x00});
    Lane lane(units.open(0), 64, 0x2000, FOLD_NONE, LOAD_VERIFY);
    lane.link.LoadBase = 0;
    std::vector<uint8_t> image(0x20, 0xFF);
    uint32_t corrected = 0, done = 0;
    job.Begin(lane.set, 0x1000, 0x20, LOAD_VERIFY);
    ASSERT_EQ(job.WriteBlock(image.data(), 0x20, &corrected, &done), LINK_OK);
    EXPECT_EQ(done, 0x10u);
    EXPECT_EQ(job.RunningAddress(), 0x1010u);
    uint8_t got = 0, expected = 0;
    job.LastMismatch(&got, &expected);
    EXPECT_EQ(got, 0xFE);
    EXPECT_EQ(expected, 0xFF);
}

TEST(RamWrite, RewriteLimitGives1005EvenWhenEveryByteWouldBeCorrected) {
    RamWriteJob job;
    struct Case {
        uint32_t badBytes, code;
    } cases[] = {{100, LINK_OK}, {101, LINK_TOO_MANY_REWRITES}};
    for (const auto& c : cases) {
        SimUnits units;
        auto& unit = units.add(32, 0);
        for (uint32_t i = 0; i < c.badBytes; ++i) unit.addLostWrites(i * 2, 1);
        Lane lane(units.open(0), 32, 0x800, FOLD_NONE, LOAD_VERIFY);
        lane.link.LoadBase = 0;
        std::vector<uint8_t> image(0x400, 0x00);
        uint32_t corrected = 0, done = 0;
        job.Begin(lane.set, 0, 0x400, LOAD_VERIFY);
        EXPECT_EQ(job.WriteBlock(image.data(), 0x400, &corrected, &done), c.code) << c.badBytes;
        EXPECT_EQ(corrected, c.code ? 101u : 100u);
    }
}

TEST(RamWrite, LinkErrorEndsTheWriteAtOnce) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(32, 0);
    Lane lane(units.open(0), 32, 0x800, FOLD_NONE, LOAD_VERIFY);
    unit.setDead(true);
    std::vector<uint8_t> image(0x10, 1);
    uint32_t corrected = 0, done = 0;
    job.Begin(lane.set, 0, 0x10, LOAD_VERIFY);
    EXPECT_EQ(job.WriteBlock(image.data(), 0x10, &corrected, &done), LINK_USB_ANSWER_BASE + USB_RESULT_TIMEOUT);
    EXPECT_EQ(job.RunningAddress(), 0u);
}

// Lanes: byte x lives in lane x mod count at lane address x / count.
TEST(Lanes, SpreadAndGatherWithAbsentLanes) {
    RamWriteJob job;
    struct Case {
        uint32_t count;
        uint32_t absentMask;
        uint32_t start, length;
    } cases[] = {
        {1, 0, 0x10, 0x300}, {2, 0, 1, 0x301},    {2, 2, 0, 0x200},  {3, 0, 5, 0x2FF},
        {3, 1, 2, 0x100},    {4, 0, 0x7, 0x1001}, {4, 0xA, 3, 0x40}, {4, 0, 0, 0x9000},  // pieces of 0x8000
    };
    for (const auto& c : cases) {
        SimUnits units;
        LaneSettings settings[4];
        UnitLink links[4];
        UnitSet set;
        set.count = c.count;
        set.DevSize = 0x10000;
        std::vector<sim::UnitModel*> models(4, nullptr);
        for (uint32_t i = 0; i < c.count; ++i) {
            settings[i].LoadVerify = LOAD_VERIFY;
            settings[i].DevSize = 0x10000;
            set.settings[i] = &settings[i];
            if (c.absentMask & (1u << i)) continue;
            models[i] = &units.add(64, static_cast<uint8_t>(i));
            links[i].handle = units.open(static_cast<uint8_t>(i));
            links[i].MaxK = 64;
            RamPlaceLane(links[i], 0x10000, FOLD_NONE);
            set.links[i] = &links[i];
        }
        const auto image = RandomBytes(c.length, c.start * 31 + c.count);
        uint32_t corrected = 0, done = 0;
        job.Begin(set, c.start, c.length, LOAD_VERIFY);
        ASSERT_EQ(job.WriteBlock(image.data(), c.length, &corrected, &done), LINK_OK);
        EXPECT_EQ(done, c.length);
        for (uint32_t x = 0; x < c.length; ++x) {
            uint32_t a = c.start + x;
            sim::UnitModel* m = models[a % c.count];
            if (m) { ASSERT_EQ(m->raw(a / c.count), image[x]) << "lanes " << c.count << " image address " << a; }
        }
        std::vector<uint8_t> back(c.length);
        ASSERT_EQ(RamReadBlock(set, back.data(), c.start, c.length), LINK_OK);
        for (uint32_t x = 0; x < c.length; ++x) {
            uint32_t lane = (c.start + x) % c.count;
            ASSERT_EQ(back[x], (c.absentMask & (1u << lane)) ? 0xFF : image[x]) << "lanes " << c.count << " x " << x;
        }
    }
}

TEST(Lanes, FailureInOneLaneReportsStreamPosition) {
    RamWriteJob job;
    SimUnits units;
    LaneSettings settings[2];
    UnitLink links[2];
    UnitSet set;
    set.count = 2;
    set.DevSize = 0x800;
    for (uint32_t i = 0; i < 2; ++i) {
        settings[i] = {LOAD_VERIFY, 0x800, FOLD_NONE};
        units.add(32, static_cast<uint8_t>(i));
        links[i].handle = units.open(static_cast<uint8_t>(i));
        set.settings[i] = &settings[i];
        set.links[i] = &links[i];
    }
    // Lane 1 lane address 0x10 holds image address 0x21; starting at image address 1,
    // lane 1 takes stream offsets 0, 2, 4, ... so the bad byte is stream offset 0x20.
    units.add(32, 1).addStuckBits({0x10, 0xFF, 0x00});
    links[1].handle = units.open(1);
    std::vector<uint8_t> image(0x40, 0xEE);
    uint32_t corrected = 0, done = 0;
    job.Begin(set, 1, 0x40, LOAD_VERIFY);
    ASSERT_EQ(job.WriteBlock(image.data(), 0x40, &corrected, &done), LINK_OK);
    EXPECT_EQ(done, 0x20u);
    EXPECT_EQ(1 + done, 0x21u);
}

class HardwareFold : public ::testing::Test {
protected:
    // A unit of the given level, full folding of a device, direct write of `length` bytes.
    uint32_t Run(uint8_t level, uint32_t devSize, uint32_t foldMode, uint32_t mode, uint32_t length, bool buffered) {
        SimUnits units;
        auto& unit = units.add(1024, 0, level);
        Lane lane(units.open(0), 1024, devSize, foldMode, mode);
        const auto image = RandomBytes(length, 5);
        if (mode == VERIFY_ONLY)  // something right to verify, in every alias
            for (uint32_t a = 0; a < 0x100000; a += devSize) unit.write(a, image.data(), length);
        uint32_t corrected = 0, done = 0, fail = kNone;
        const uint64_t before = unit.bytesWritten();
        RamWriteJob job;
        if (buffered) {
            job.BeginBuffered(lane.set, mode);
            EXPECT_EQ(job.BufferedWrite(0, image.data(), length, &corrected, &fail), LINK_OK);
            EXPECT_EQ(job.End(&corrected, &fail), LINK_OK);
            EXPECT_EQ(fail, kNone);
        } else {
            job.Begin(lane.set, 0, length, mode);
            EXPECT_EQ(job.WriteBlock(image.data(), length, &corrected, &done), LINK_OK);
            EXPECT_EQ(job.ApplyFold(), LINK_OK);
            EXPECT_EQ(done, length);
        }
        hostBytes = unit.bytesWritten() - before;
        if (mode != VERIFY_ONLY && foldMode == FOLD_FULL) {
            // Whoever made the copies, every alias holds the image.
            for (uint32_t bank = 0; bank < 0x100000 / devSize; ++bank)
                for (uint32_t x = 0; x < length; x += 97)
                    EXPECT_EQ(unit.raw(bank * devSize + x), image[x]) << "bank " << bank;
        }
        return units.setFoldCalls();
    }
    uint64_t hostBytes = 0;
};

TEST_F(HardwareFold, ChoiceOfWhoWritesTheCopies) {
    struct Case {
        const char* what;
        uint8_t level;
        uint32_t devSize, foldMode, mode, length;
        bool buffered;
        uint32_t folds;
    } cases[] = {
        {"level 3, full fold, whole device", 3, 0x8000, FOLD_FULL, LOAD_VERIFY, 0x8000, false, 1},
        {"level 3, short patch on 32 KB device", 3, 0x8000, FOLD_FULL, LOAD_VERIFY, 0x4000, false, 0},
        {"level 3, patch just over half", 3, 0x8000, FOLD_FULL, LOAD_VERIFY, 0x4001, false, 1},
        {"level 3, small device any length", 3, 0x2000, FOLD_FULL, LOAD_ONLY, 0x10, false, 1},
        {"level 3, buffered has no length rule", 3, 0x8000, FOLD_FULL, LOAD_VERIFY, 0x100, true, 1},
        {"level 3, socket folding", 3, 0x8000, FOLD_SOCKET, LOAD_VERIFY, 0x8000, false, 0},
        {"level 0, full fold", 0, 0x8000, FOLD_FULL, LOAD_VERIFY, 0x8000, false, 0},
    };
    for (const auto& c : cases) {
        uint32_t folds = Run(c.level, c.devSize, c.foldMode, c.mode, c.length, c.buffered);
        EXPECT_EQ(folds, c.folds) << c.what;
        if (c.folds) { EXPECT_EQ(hostBytes, c.length) << c.what << ": the host writes one copy"; }
    }
}

TEST_F(HardwareFold, VerifyOnlyNeverFolds) {
    EXPECT_EQ(Run(3, 0x8000, FOLD_FULL, VERIFY_ONLY, 0x8000, false), 0u);
    EXPECT_EQ(hostBytes, 0u);
}

TEST(BufferedWrite, RecordsGatherIntoRuns) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(64, 0);
    Lane lane(units.open(0), 64, 0x10000, FOLD_NONE, LOAD_VERIFY);
    lane.link.LoadBase = 0;
    std::vector<uint8_t> rec(0x100, 0x11);
    uint32_t corrected = 0, fail = kNone;
    job.BeginBuffered(lane.set, LOAD_VERIFY);
    ASSERT_EQ(job.BufferedWrite(0x100, rec.data(), 0x100, &corrected, &fail), LINK_OK);
    ASSERT_EQ(job.BufferedWrite(0x200, rec.data(), 0x100, &corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.bytesWritten(), 0u) << "abutting records stay in the buffer";
    // Relative to the run at 0x100, a record ending at 0x8100 does not fit: flush first.
    ASSERT_EQ(job.BufferedWrite(0x8080, rec.data(), 0x80, &corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.bytesWritten(), 0x200u);
    EXPECT_EQ(unit.raw(0x100), 0x11);
    EXPECT_EQ(unit.raw(0x2FF), 0x11);
    // A record below the run's start also flushes.
    ASSERT_EQ(job.BufferedWrite(0x10, rec.data(), 0x10, &corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.bytesWritten(), 0x280u);
    ASSERT_EQ(job.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(fail, kNone);
    EXPECT_EQ(unit.bytesWritten(), 0x290u);
}

TEST(BufferedWrite, RunFromZeroFlushesAtTheEdge) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(64, 0);
    Lane lane(units.open(0), 64, 0x10000, FOLD_NONE, LOAD_ONLY);
    lane.link.LoadBase = 0;
    std::vector<uint8_t> rec(0x7F80, 0x22), tail(0x80, 0x33);
    uint32_t corrected = 0, fail = kNone;
    job.BeginBuffered(lane.set, LOAD_ONLY);
    ASSERT_EQ(job.BufferedWrite(0, rec.data(), 0x7F80, &corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.bytesWritten(), 0u);
    ASSERT_EQ(job.BufferedWrite(0x7F80, tail.data(), 0x80, &corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.bytesWritten(), 0x7F80u);
    ASSERT_EQ(job.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.raw(0x7FFF), 0x33);
}

TEST(BufferedWrite, OverlappingRecordsKeepTheLaterBytes) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(32, 0);
    Lane lane(units.open(0), 32, 0x800, FOLD_NONE, LOAD_VERIFY);
    lane.link.LoadBase = 0;
    std::vector<uint8_t> a(0x20, 0xAA), b(0x10, 0xBB);
    uint32_t corrected = 0, fail = kNone;
    job.BeginBuffered(lane.set, LOAD_VERIFY);
    ASSERT_EQ(job.BufferedWrite(0x40, a.data(), 0x20, &corrected, &fail), LINK_OK);
    ASSERT_EQ(job.BufferedWrite(0x48, b.data(), 0x10, &corrected, &fail), LINK_OK);
    ASSERT_EQ(job.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(unit.raw(0x47), 0xAA);
    EXPECT_EQ(unit.raw(0x48), 0xBB);
    EXPECT_EQ(unit.raw(0x57), 0xBB);
    EXPECT_EQ(unit.raw(0x58), 0xAA);
    EXPECT_EQ(unit.bytesWritten(), 0x20u);
}

TEST(BufferedWrite, FailureAddressIsImageAddressOfBadByte) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(32, 0);
    unit.addStuckBits({0x2000 + 0x105 /*LoadBase of a 2732 on 32 KB*/, 0x80, 0x80});
    Lane lane(units.open(0), 32, 0x1000, FOLD_NONE, LOAD_VERIFY);
    ASSERT_EQ(lane.link.LoadBase, 0x2000u);
    std::vector<uint8_t> rec(0x20, 0x00);
    uint32_t corrected = 0, fail = kNone;
    job.BeginBuffered(lane.set, LOAD_VERIFY);
    ASSERT_EQ(job.BufferedWrite(0x100, rec.data(), 0x20, &corrected, &fail), LINK_OK);
    ASSERT_EQ(job.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(fail, 0x105u);
}

TEST(BufferedWrite, BlocksLongerThanARunAreSplit) {
    RamWriteJob job;
    SimUnits units;
    auto& unit = units.add(256, 0);
    Lane lane(units.open(0), 256, 0x40000, FOLD_NONE, LOAD_VERIFY);
    const auto image = RandomBytes(0x12345, 9);
    uint32_t corrected = 0, fail = kNone;
    job.BeginBuffered(lane.set, LOAD_VERIFY);
    ASSERT_EQ(job.BufferedWrite(0x10, image.data(), 0x12345, &corrected, &fail), LINK_OK);
    ASSERT_EQ(job.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(fail, kNone);
    for (uint32_t x = 0; x < image.size(); ++x) ASSERT_EQ(unit.raw(0x10 + x), image[x]) << x;
}

// Two units, each with its own lane; every job is begun before either writes, so a job
// that took its units, mode, buffer or address from anywhere but itself shows.
class InterleavedJobs : public ::testing::Test {
protected:
    static std::vector<uint8_t> Raw(const sim::UnitModel& unit, uint32_t address, uint32_t length) {
        std::vector<uint8_t> bytes(length);
        for (uint32_t x = 0; x < length; ++x) bytes[x] = unit.raw(address + x);
        return bytes;
    }
    InterleavedJobs()
        : unitA(units.add(32, 0)),
          unitB(units.add(32, 1)),
          laneA(units.open(0), 32, 0x800, FOLD_NONE, LOAD_VERIFY),
          laneB(units.open(1), 32, 0x800, FOLD_NONE, VERIFY_ONLY) {
        laneA.link.LoadBase = 0;
        laneB.link.LoadBase = 0;
        unitA.fillRaw(0x00);
        unitB.fillRaw(0x00);
    }
    SimUnits units;
    sim::UnitModel& unitA;
    sim::UnitModel& unitB;
    Lane laneA, laneB;
};

TEST_F(InterleavedJobs, DirectWritesKeepTheirUnitsModesAndAddresses) {
    const std::vector<uint8_t> image(0x20, 0x5C);
    unitB.write(0x10, image.data(), 4);  // B verifies four right bytes, then the unit's 0x00
    RamWriteJob a, b;
    ASSERT_EQ(a.Begin(laneA.set, 0, 0x20, LOAD_VERIFY), LINK_OK);
    ASSERT_EQ(b.Begin(laneB.set, 0x10, 0x20, VERIFY_ONLY), LINK_OK);
    const uint64_t writtenToB = unitB.bytesWritten();
    uint32_t corrected = 0, doneA = 0, doneB = 0;
    ASSERT_EQ(a.WriteBlock(image.data(), 0x20, &corrected, &doneA), LINK_OK);
    ASSERT_EQ(b.WriteBlock(image.data(), 0x20, &corrected, &doneB), LINK_OK);
    EXPECT_EQ(doneA, 0x20u);
    EXPECT_EQ(doneB, 4u);
    EXPECT_EQ(Raw(unitA, 0, 0x20), image);
    EXPECT_EQ(unitB.bytesWritten(), writtenToB) << "B only verifies";
    EXPECT_EQ(unitB.raw(0x14), 0x00);
    EXPECT_EQ(a.RunningAddress(), 0x20u);
    EXPECT_EQ(b.RunningAddress(), 0x14u);
    uint8_t got = 0xEE, expected = 0xEE;
    a.LastMismatch(&got, &expected);
    EXPECT_EQ(got, 0) << "A had no mismatch; B's is not A's";
    EXPECT_EQ(expected, 0);
    b.LastMismatch(&got, &expected);
    EXPECT_EQ(got, 0x00);
    EXPECT_EQ(expected, 0x5C);
}

TEST_F(InterleavedJobs, BufferedRunsStayWithTheirJob) {
    laneB.settings.LoadVerify = LOAD_ONLY;
    const std::vector<uint8_t> recA(0x40, 0xA1), recB(0x30, 0xB2);
    RamWriteJob a, b;
    a.BeginBuffered(laneA.set, LOAD_VERIFY);
    b.BeginBuffered(laneB.set, LOAD_ONLY);
    uint32_t corrected = 0, fail = kNone;
    ASSERT_EQ(a.BufferedWrite(0x100, recA.data(), 0x40, &corrected, &fail), LINK_OK);
    ASSERT_EQ(b.BufferedWrite(0x200, recB.data(), 0x30, &corrected, &fail), LINK_OK);
    // Abutting A's run: it stays in A's buffer however B's run lies.
    ASSERT_EQ(a.BufferedWrite(0x140, recA.data(), 0x10, &corrected, &fail), LINK_OK);
    EXPECT_EQ(unitA.bytesWritten(), 0u);
    EXPECT_EQ(unitB.bytesWritten(), 0u);
    ASSERT_EQ(a.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(fail, kNone);
    EXPECT_EQ(unitA.bytesWritten(), 0x50u);
    EXPECT_EQ(unitB.bytesWritten(), 0u) << "B's run waits for B's end";
    ASSERT_EQ(b.End(&corrected, &fail), LINK_OK);
    EXPECT_EQ(fail, kNone);
    EXPECT_EQ(unitB.bytesWritten(), 0x30u);
    EXPECT_EQ(Raw(unitA, 0x100, 0x50), std::vector<uint8_t>(0x50, 0xA1));
    EXPECT_EQ(Raw(unitB, 0x200, 0x30), recB);
    EXPECT_EQ(unitA.raw(0x200), 0x00);
    EXPECT_EQ(unitB.raw(0x100), 0x00);
}

TEST(UnitTest, SizingFindsTheRam) {
    for (uint32_t kb : {32u, 64u, 128u, 256u, 512u, 1024u}) {
        for (uint8_t level : {uint8_t{0}, uint8_t{3}}) {
            SimUnits units;
            auto& unit = units.add(kb, 0, level);
            const auto content = RandomBytes(kb * 1024, kb);
            unit.write(0, content.data(), kb * 1024);
            uint32_t maxK = 0;
            ASSERT_EQ(RamTestUnit(units.open(0), &maxK), LINK_OK);
            EXPECT_EQ(maxK, kb) << "level " << int(level);
            for (uint32_t a = 0; a < kb * 1024; ++a)
                ASSERT_EQ(unit.raw(a), content[a]) << "sizing must restore what it changed, at " << a;
        }
    }
}

TEST(UnitTest, BadRamAndOddCounts) {
    struct Case {
        const char* what;
        uint8_t level;
        sim::StuckBits stuck;
        uint32_t maxK;
    } cases[] = {
        {"stuck bit in a pattern block", 0, {0x6789, 0x01, 0x00}, 0},
        {"stuck bit ignored on level 3 (no pattern test)", 3, {0x6789, 0x01, 0x00}, 1024},
        {"count of 3", 0, {0x1234 + 3 * 0x8000, 0xFF, 0x77}, 0},
        {"count of 1", 0, {0x1234 + 1 * 0x8000, 0xFF, 0x77}, 32},
    };
    for (const auto& c : cases) {
        SimUnits units;
        units.add(1024, 0, c.level).addStuckBits(c.stuck);
        uint32_t maxK = 99;
        EXPECT_EQ(RamTestUnit(units.open(0), &maxK), LINK_OK) << c.what;
        EXPECT_EQ(maxK, c.maxK) << c.what;
    }
}

TEST(UnitTest, LinkErrorsEndTheTest) {
    SimUnits units;
    auto& unit = units.add(256, 1);
    const uint32_t h = units.open(1);
    unit.setDead(true);  // stops answering after the open
    uint32_t maxK = 5;
    EXPECT_EQ(RamTestUnit(h, &maxK), LINK_USB_ANSWER_BASE + USB_RESULT_TIMEOUT);
    EXPECT_EQ(maxK, 0u);
    // A virtual unit of 32 KB fails the read at the second pattern offset.
    uint32_t v = 0;
    ASSERT_EQ(ZAMInit(&v, SELECT_VIRTUAL, 0, 0x8000, 0), LINK_OK);
    EXPECT_EQ(RamTestUnit(v, &maxK), LINK_INVALID);
    ZAMClose(v);
}

}  // namespace
