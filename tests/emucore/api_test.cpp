// The library through dlopen/dlsym: exports, current-unit state, the operation
// frame, result-text bounds and the view snapshot.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "tests/emucore/guarded.h"
#include "tests/engine/elf_fixture.h"
#include "tests/emucore/hex_text.h"
#include "tests/emucore/library.h"
#include "tests/support/test_support.h"

using emutest::GuardedBuffer;
using emutest::HexEnd;
using emutest::HexRecord;
using emutest::LibraryTest;
using testsupport::RunCommand;

namespace {

TEST(EmucoreExports, ExactlyTheTwelveFunctionsAreExported) {
    std::string out;
    ASSERT_EQ(RunCommand("nm -D --defined-only '" + emutest::LibraryPath() + "'", &out), 0) << out;
    std::set<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (name.empty()) continue;
        EXPECT_EQ(type, "T") << name;
        names.insert(name);
    }
    const std::set<std::string> expected{"VXAInit",  "VXAFind",     "VXAOpen",       "VXASetReset",
                                         "VXAQTest", "VXALoad",     "VXAFill",       "VXAWrite",
                                         "VXACksum", "VXAViewOpen", "VXAViewFormat", "VXAViewClose"};
    EXPECT_EQ(names, expected);
}

// ---- Session exports ----

using EmucoreSession = LibraryTest;

TEST_F(EmucoreSession, VirtualOpenReturnsDeviceSizeAndQTestItsKilobytes) {
    struct Case {
        int32_t type, size, maxK;
    };
    // Types outside 0..10 count as type 0.
    for (Case c : {Case{3, 8192, 8}, Case{11, 1024, 1}, Case{0, 1024, 1}, Case{10, 1048576, 1024}, Case{-1, 1024, 1},
                   Case{6, 65536, 64}}) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(api.Open(VXA_VIRTUAL_UNIT, c.type), c.size);
        EXPECT_EQ(api.QTest(0, 0, 0), c.maxK);
        EXPECT_EQ(api.QTest(1, 0, 2), c.maxK);  // the reset flag does not matter for a virtual unit
    }
}

TEST_F(EmucoreSession, FindFallsBackToTheVirtualUnitWithoutUsbUnits) {
    EXPECT_EQ(api.Find(), VXA_VIRTUAL_UNIT);
    // Finding opens nothing for the caller.
    EXPECT_EQ(api.QTest(0, 0, 0), -1);
}

TEST_F(EmucoreSession, CallsBeforeAnOpenReturnMinusOneAndLeaveTheTextAlone) {
    GuardedBuffer text(VXA_TEXT_SIZE);
    uint32_t sum = 0xDEADBEEF;
    EXPECT_EQ(api.SetReset(0, 0, 0), -1);
    EXPECT_EQ(api.QTest(0, 0, 0), -1);
    EXPECT_EQ(api.Load(text.data(), "x.hex", 0, 0, 0, 1, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(api.Fill(text.data(), 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(api.Write(text.data(), "x.bin", 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, "", 0, 0, 0, 0), -1);
    EXPECT_EQ(api.Cksum(text.data(), &sum, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_TRUE(text.Untouched());
    EXPECT_TRUE(text.GuardsIntact());
    EXPECT_EQ(sum, 0xDEADBEEFu);
}

TEST_F(EmucoreSession, OperationsBeforeQTestReturnMinusOneAndLeaveTheTextAlone) {
    ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, 3), 8192);
    GuardedBuffer text(VXA_TEXT_SIZE);
    uint32_t sum = 7;
    EXPECT_EQ(api.Load(text.data(), "x.hex", 0, 0, 0, 1, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(api.Fill(text.data(), 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(api.Write(text.data(), "x.bin", 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, "", 0, 0, 0, 0), -1);
    EXPECT_EQ(api.Cksum(text.data(), &sum, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_TRUE(text.Untouched());
    EXPECT_EQ(sum, 7u);
    // Reset and sizing need only an open unit.
    EXPECT_EQ(api.SetReset(1, 0, 1), 0);
    EXPECT_EQ(api.QTest(0, 0, 0), 8);
}

TEST_F(EmucoreSession, ReopeningClearsTheSizeUntilTheNextQTest) {
    OpenVirtual(3);
    ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, 4), 16384);
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.Fill(text.data(), 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(api.QTest(0, 0, 0), 16);
    EXPECT_EQ(api.Fill(text.data(), 0, 0, 0, 0, 0, 0, 0, 0), 0);
}

TEST_F(EmucoreSession, AFailedOpenLeavesNoUnitOpen) {
    OpenVirtual(3);
    // No USB unit answers here, whatever the transport's reason.
    EXPECT_LT(api.Open(0, 3), 0);
    EXPECT_EQ(api.QTest(0, 0, 0), -1);
    EXPECT_EQ(api.SetReset(0, 0, 0), -1);
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.Fill(text.data(), 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_TRUE(text.Untouched());
}

TEST_F(EmucoreSession, ResetPulseWaitsTheGivenTime) {
    OpenVirtual(0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(api.SetReset(0, 100, 2), 0);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 100);
}

// ---- The operation frame on a virtual unit ----

class EmucoreOperations : public LibraryTest {
protected:
    std::string WriteHex(const std::string& name, const std::string& text) {
        const std::string path = dir_.file(name);
        testsupport::WriteText(path, text);
        return path;
    }
    // Byte at a device address, read through the view snapshot.
    std::string ViewLine(int32_t address, int32_t count, int32_t perLine) {
        GuardedBuffer text(VXA_TEXT_SIZE);
        EXPECT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0) << text.Text();
        std::vector<char> out(static_cast<size_t>(14 + 4 * perLine) * 4 + 1);
        EXPECT_EQ(api.ViewFormat(out.data(), address, count, perLine), 0);
        api.ViewClose();
        return out.data();
    }
};

// Makes a file whose full path has exactly `length` characters.
std::string PathOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (length - path.size() > 200) {
        path += "/" + std::string(150, 'd');
        std::filesystem::create_directory(path);
    }
    path += "/" + std::string(length - path.size() - 1, 'f');
    EXPECT_EQ(path.size(), length);
    return path;
}

TEST_F(EmucoreOperations, FileNamesOf300CharactersAreRefused) {
    OpenVirtual(3);
    const std::string image = HexRecord(0, 0, {1, 2, 3, 4}) + HexEnd();
    const std::string name299 = PathOfLength(dir_.path(), 299);
    testsupport::WriteText(name299, image);
    const std::string name300 = name299 + "x";
    testsupport::WriteText(name300, image);

    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.Load(text.data(), name299.c_str(), 0, 0, 0, 1, 1, 0, 0, 0, 0), 0) << text.Text();
    EXPECT_NE(text.Text().find("Load/Verify Completed with no errors (4 Bytes Loaded)"), std::string::npos)
        << text.Text();
    EXPECT_EQ(api.Load(text.data(), name300.c_str(), 0, 0, 0, 1, 1, 0, 0, 0, 0), 1);
    EXPECT_EQ(text.Text(), "File Name is Too Long");
    EXPECT_TRUE(text.GuardsIntact());
}

TEST_F(EmucoreOperations, VerifyModesAboveTwoRunAsLoadOnly) {
    OpenVirtual(3);
    const std::string file = WriteHex("v.hex", HexRecord(0, 0x20, {9, 8, 7}) + HexEnd());
    struct Case {
        int32_t v;
        const char* completion;
    };
    for (Case c : {Case{0, "Load Completed without verification (3 Bytes Loaded)"},
                   Case{1, "Load/Verify Completed with no errors (3 Bytes Loaded)"},
                   Case{2, "Verify Completed with no errors (3 Bytes Checked)"},
                   Case{7, "Load Completed without verification (3 Bytes Loaded)"},
                   Case{-1, "Load Completed without verification (3 Bytes Loaded)"}}) {
        SCOPED_TRACE(c.v);
        GuardedBuffer text(VXA_TEXT_SIZE);
        EXPECT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, c.v, 7, 0, 0, 0), 0);
        EXPECT_NE(text.Text().find(c.completion), std::string::npos) << text.Text();
    }
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.Fill(text.data(), 0x33, 0, 0x10, 7, 7, 0, 0, 0), 0);
    EXPECT_NE(text.Text().find("Fill Completed without verification"), std::string::npos) << text.Text();
}

TEST_F(EmucoreOperations, EngineFailuresReturnOneWithTheEngineText) {
    OpenVirtual(3);
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.Load(text.data(), dir_.file("missing.hex").c_str(), 0, 0, 0, 1, 0, 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text().rfind("CAN'T OPEN LOAD FILE (", 0), 0u) << text.Text();
    EXPECT_EQ(api.Fill(text.data(), 0x100, 0, 0, 0, 0, 1, 0, 2), 1);
    EXPECT_EQ(text.Text(), "INVALID FILL VALUE, 00 - FF REQUIRED");
    uint32_t sum = 5;
    EXPECT_EQ(api.Cksum(text.data(), &sum, 8192, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(text.Text(), "INVALID START ARGUMENT");
    EXPECT_EQ(sum, 5u);
    // A null name is an empty one.
    EXPECT_EQ(api.Load(text.data(), nullptr, 0, 0, 0, 1, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(text.Text(), "LOAD FILE NAME IS REQUIRED FOR THIS UNIT");
}

TEST_F(EmucoreOperations, ChecksumIsStoredThroughTheOutPointer) {
    OpenVirtual(4);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0xFF, 0, 0, 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(api.Fill(text.data(), 0x01, 0x3FFF, 0, 0, 0, 1, 1, 2), 0);
    uint32_t sum = 0;
    EXPECT_EQ(api.Cksum(text.data(), &sum, 0, 0, 0, 1, 0, 2), 0);
    EXPECT_EQ(sum, 0x3FFFu * 0xFF + 1);
    EXPECT_EQ(text.Text(), "Computing Checksum of 00000 - 03FFF\rCHECKSUM = 003F-BF02");
    // Without a place for the result the operation still runs.
    EXPECT_EQ(api.Cksum(text.data(), nullptr, 0x3FFF, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(text.Text(), "Computing Checksum of 03FFF - 03FFF\rCHECKSUM = 0000-0001");
}

// More than 1000 characters of engine text: 80 start-address lines.
std::string ManyStartAddressRecords() {
    std::string image;
    for (int i = 0; i < 80; ++i) image += HexRecord(3, 0, {0x12, 0x34, 0x00, static_cast<uint8_t>(i)});
    return image + HexEnd();
}

TEST_F(EmucoreOperations, ResultTextIsCutAt1000CharactersWithTheNul) {
    OpenVirtual(3);
    const std::string file = WriteHex("many.hex", ManyStartAddressRecords());
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, 0, 0, 0, 0, 0), 0);
    EXPECT_TRUE(text.GuardsIntact());
    EXPECT_EQ(text.Text().size(), static_cast<size_t>(VXA_TEXT_SIZE - 1));
    EXPECT_EQ(text.Text().rfind("Hex-File Load of all bytes from offset 0 to offset 0\rStart Address: 00012340\r", 0),
              0u)
        << text.Text();
    // An exact-size heap buffer, for the address sanitizer's eyes.
    std::unique_ptr<char[]> exact(new char[VXA_TEXT_SIZE]);
    EXPECT_EQ(api.Load(exact.get(), file.c_str(), 0, 0, 0, 1, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(std::strlen(exact.get()), static_cast<size_t>(VXA_TEXT_SIZE - 1));
}

TEST_F(EmucoreOperations, LoadsElfExecutablesAtTheirPhysicalAddresses) {
    OpenVirtual(3);  // 8 KB
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0x20, 0, 0, 0, 0, 0, 0, 0), 0);
    enginetest::ElfLayout layout;
    layout.is64 = true;
    layout.big = true;
    layout.entry = 0x1010;
    layout.ph.push_back({1, enginetest::kElfPayload, 0x40000000, 0x1010, 4, 0x100});
    layout.payload = {'E', 'L', 'F', '!'};
    const std::string file = dir_.file("prog.elf");
    testsupport::WriteFile(file, enginetest::BuildElf(layout));
    ASSERT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, 1, 0, 0, 0, 0), 0) << text.Text();
    EXPECT_EQ(text.Text(),
              "ELF-File Load/Verify of all bytes from offset 0 to offset 0\rProgram Entry: 001010\r"
              "Load/Verify Completed with no errors (4 Bytes Loaded)\rHighest address loaded was 01013");
    EXPECT_EQ(ViewLine(0x1010, 4, 4), " 001010  45 4C 46 21    ELF!\r\n");

    // Refused whole: nothing written, the reason in the text.
    layout.ph[0].paddr = 0x1000;                                             // "ELF!" at 1000
    layout.ph.push_back({1, enginetest::kElfPayload + 1, 0, 0x1002, 2, 2});  // "LF" at 1002
    testsupport::WriteFile(file, enginetest::BuildElf(layout));
    EXPECT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(text.Text(), "LOAD FAILURE: ELF SEGMENTS #0 AND #1 OVERLAP WITH DIFFERENT BYTES AT 1002");
    EXPECT_EQ(ViewLine(0x1000, 4, 4), " 001000  20 20 20 20        \r\n");
}

// ---- The view snapshot ----

std::string Repeat(const std::string& s, int n) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
}

TEST_F(EmucoreOperations, ViewFormatShowsOnlyTheAskedBytes) {
    OpenVirtual(6);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0x20, 0, 0, 0, 0, 0, 0, 0), 0);
    const std::string file = WriteHex("two.hex", HexRecord(0, 0x13, {0x41, 0x07}) + HexEnd());
    ASSERT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, 1, 0, 0, 0, 0), 0) << text.Text();
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0);
    GuardedBuffer out(14 + 4 * 16 + 1);
    ASSERT_EQ(api.ViewFormat(out.data(), 0x13, 2, 16), 0);
    EXPECT_EQ(out.Text(), " 000010  " + Repeat("-- ", 3) + "41 07 " + Repeat("-- ", 11) + "   " + "   A\x7F" +
                              std::string(11, ' ') + "\r\n");
    EXPECT_TRUE(out.GuardsIntact());
}

TEST_F(EmucoreOperations, EveryViewLineTakes14Plus4PerLineCharacters) {
    OpenVirtual(0);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0x7E, 0, 0, 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0);
    struct Case {
        int32_t first, count, perLine, lines;
    };
    for (Case c : {Case{5, 40, 1, 40}, Case{5, 40, 7, 7}, Case{5, 40, 16, 3}, Case{0, 256, 16, 16},
                   Case{0x108, 256, 16, 17}, Case{1000, 100, 33, 4}}) {
        SCOPED_TRACE(c.perLine);
        const size_t size = static_cast<size_t>(c.lines) * (14 + 4 * c.perLine) + 1;
        GuardedBuffer out(size);
        ASSERT_EQ(api.ViewFormat(out.data(), c.first, c.count, c.perLine), 0);
        EXPECT_EQ(out.Text().size(), size - 1);
        EXPECT_TRUE(out.GuardsIntact());
    }
}

TEST_F(EmucoreOperations, ViewShowsAddressesOutsideTheDeviceAsDashes) {
    OpenVirtual(0);  // 1024 bytes
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0x31, 0, 0, 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0);
    const std::string dashLine = Repeat("-- ", 16) + "   " + std::string(16, ' ') + "\r\n";
    GuardedBuffer out(3 * 78 + 1);
    ASSERT_EQ(api.ViewFormat(out.data(), 0x3F8, 0x20, 16), 0);
    EXPECT_EQ(out.Text(), " 0003F0  " + Repeat("-- ", 8) + Repeat("31 ", 8) + "   " + std::string(8, ' ') +
                              "11111111\r\n" + " 000400  " + dashLine + " 000410  " + dashLine);
    EXPECT_TRUE(out.GuardsIntact());
    // A start below the device: the line starts at 0 and shows what lies inside.
    GuardedBuffer low(78 + 1);
    ASSERT_EQ(api.ViewFormat(low.data(), -8, 16, 16), 0);
    EXPECT_EQ(low.Text(),
              " 000000  " + Repeat("31 ", 8) + Repeat("-- ", 8) + "   11111111" + std::string(8, ' ') + "\r\n");
    EXPECT_TRUE(low.GuardsIntact());
    // Far beyond the device every address line keeps its six digits.
    GuardedBuffer far(78 + 1);
    ASSERT_EQ(api.ViewFormat(far.data(), 0x7FFFFFF0, 15, 16), 0);
    EXPECT_EQ(far.Text(), " FFFFF0  " + dashLine);
    EXPECT_TRUE(far.GuardsIntact());
}

TEST_F(EmucoreOperations, ViewFormatRefusesBadLengthsAndAMissingSnapshot) {
    GuardedBuffer out(100);
    EXPECT_EQ(api.ViewFormat(out.data(), 0, 16, 16), 1);
    EXPECT_EQ(out.Text(), "ViewFormat:NOT OPEN");
    OpenVirtual(0);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0);
    struct Case {
        int32_t count, perLine;
    };
    for (Case c : {Case{0, 16}, Case{-5, 16}, Case{16, 0}, Case{16, -16}}) {
        SCOPED_TRACE(c.count * 1000 + c.perLine);
        EXPECT_EQ(api.ViewFormat(out.data(), 0, c.count, c.perLine), 1);
        EXPECT_EQ(out.Text(), "ViewFormat:INVALID LENGTH");
    }
    api.ViewClose();
    EXPECT_EQ(api.ViewFormat(out.data(), 0, 16, 16), 1);
    EXPECT_EQ(out.Text(), "ViewFormat:NOT OPEN");
    EXPECT_TRUE(out.GuardsIntact());
}

TEST_F(EmucoreOperations, SnapshotSurvivesLaterChangesUntilClosed) {
    OpenVirtual(6);
    GuardedBuffer text(VXA_TEXT_SIZE);
    ASSERT_EQ(api.Fill(text.data(), 0x41, 0, 0, 0, 0, 0, 0, 0), 0);
    strcpy(text.data(), "old text");
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 1, 0, 2), 0);
    EXPECT_EQ(text.Text(), "");
    const std::string file = WriteHex("b.hex", HexRecord(0, 0x8000, {0x42, 0x42}) + HexEnd());
    ASSERT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0);
    GuardedBuffer out(2 * 22 + 1);
    ASSERT_EQ(api.ViewFormat(out.data(), 0x8000, 2, 2), 0);
    EXPECT_EQ(out.Text(), " 008000  41 41    AA\r\n");
    // Another unit type does not change the snapshot or what it can show.
    ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, 0), 1024);
    ASSERT_EQ(api.ViewFormat(out.data(), 0x8000, 2, 2), 0);
    EXPECT_EQ(out.Text(), " 008000  41 41    AA\r\n");
    api.ViewClose();
    ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, 6), 65536);
    ASSERT_EQ(api.QTest(0, 0, 0), 64);
    ASSERT_EQ(api.Fill(text.data(), 0x41, 0, 0, 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(api.Load(text.data(), file.c_str(), 0, 0, 0, 1, 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 0);
    ASSERT_EQ(api.ViewFormat(out.data(), 0x8000, 2, 2), 0);
    EXPECT_EQ(out.Text(), " 008000  42 42    BB\r\n");
}

TEST_F(EmucoreOperations, ViewOpenWithoutAUnitReportsTheReadFailure) {
    GuardedBuffer text(VXA_TEXT_SIZE);
    EXPECT_EQ(api.ViewOpen(text.data(), 0, 0, 0, 0), 1);
    EXPECT_EQ(text.Text(), "DEVICE FAILURE READING UNIT (SUBCODE 010-1)");
    GuardedBuffer out(100);
    EXPECT_EQ(api.ViewFormat(out.data(), 0, 16, 16), 1);
    EXPECT_EQ(out.Text(), "ViewFormat:NOT OPEN");
}

}  // namespace

namespace {

// VXAWrite refuses what it cannot write before the file is touched, and a write that
// is refused or fails leaves the old file as it was.
TEST_F(EmucoreOperations, RefusedWritesKeepTheOldFile) {
    OpenVirtual(2);
    const std::string name = dir_.file("keep.out");
    const std::vector<uint8_t> old = testsupport::RandomBytes(900, 8);
    struct Case {
        const char* what;
        int32_t mode, format, targetOption, target, entryOption, entry;
        const char* text;
    } cases[] = {
        {"S28 entry needs S37", 2, 4, 0, 0, 1, 0x1000000, "ADDRESSING REQUIRES S37 FORMAT"},
        {"HEX-32 past FFFFFFFF", 2, 2, 1, -1, 0, 0, "RECORD ADDRESSES RUN PAST FFFFFFFF"},
        {"S37 past FFFFFFFF, append", 1, 5, 1, -16, 0, 0, "RECORD ADDRESSES RUN PAST FFFFFFFF"},
        {"create over an existing file", 0, 1, 0, 0, 0, 0, "OUTPUT FILE ALREADY EXISTS"},
    };
    for (const Case& c : cases) {
        testsupport::WriteFile(name, old);
        GuardedBuffer text(VXA_TEXT_SIZE);
        EXPECT_EQ(api.Write(text.data(), name.c_str(), 0, 0x100, c.mode, c.format, 1, 32, 0x100, c.targetOption,
                            c.target, c.entryOption, c.entry, "", 0, 0, 0, 0),
                  1)
            << c.what;
        EXPECT_EQ(text.Text(), c.text) << c.what;
        EXPECT_EQ(testsupport::ReadFile(name), old) << c.what;
    }
    std::string listing;
    testsupport::RunCommand("ls -A " + dir_.path(), &listing);
    EXPECT_EQ(listing.find(".pelmo-write"), std::string::npos) << listing;
}

}  // namespace
