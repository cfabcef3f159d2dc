#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::Hex;
using enginetest::kHexEnd;
using enginetest::Line;
using enginetest::RecordingOutput;
using enginetest::Seq;
using enginetest::SRec;
using enginetest::VirtualUnit;

class Load : public ::testing::Test {
protected:
    // Writes the file and runs LoadImage with the given request fields.
    uint32_t Run(VirtualUnit& unit, const std::string& content, uint32_t start = 0, uint32_t length = 0,
                 uint32_t target = 0, uint32_t width = 0, uint32_t mode = LOAD_ONLY) {
        testsupport::WriteText(dir.file("image"), content);
        unit.SetFile(dir.file("image"));
        unit.request.Start = start;
        unit.request.Length = length;
        unit.request.Target = target;
        unit.request.Width = width;
        unit.request.LoadVerify = mode;
        return LoadImage(out, unit.set);
    }
    testsupport::TempDir dir;
    RecordingOutput out;
};

TEST_F(Load, ArgumentChecksInOrder) {
    VirtualUnit unit(0x800);
    struct Case {
        const char* file;
        uint32_t target, length, width;
        EngineArg arg;
        std::string line;
    } cases[] = {
        {"", 0x800, 0, 999, ARG_NONE, "LOAD FILE NAME IS REQUIRED FOR THIS UNIT\a\n"},
        {"x", 0x800, 1, 999, ARG_TARGET, "INVALID TARGET ADDRESS ARGUMENT\a\n"},
        {"x", 0x7FF, 2, 999, ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n"},
        {"x", 0x10, 0xFFFFFFF8, 1, ARG_LENGTH, "INVALID LENGTH ARGUMENT\a\n"},  // no wrap past 2^32
        {"x", 0x7FF, 1, 257, ARG_WIDTH, "INVALID WIDTH ARGUMENT\a\n"},
        {"/nonexistent/file.hex", 0, 0, 256, ARG_NONE,
         "CAN'T OPEN LOAD FILE (" + testsupport::MissingFolderText() + ")\a\n"},
    };
    for (const auto& c : cases) {
        unit.SetFile(c.file);
        unit.request.Target = c.target;
        unit.request.Length = c.length;
        unit.request.Width = c.width;
        EXPECT_EQ(LoadImage(out, unit.set), 2u) << c.line;
        ASSERT_EQ(out.lines.size(), 1u) << c.line;
        EXPECT_EQ(out.lines[0].kind, 'E');
        EXPECT_EQ(out.lines[0].arg, c.arg) << c.line;
        EXPECT_EQ(out.lines[0].text, c.line);
    }
    EXPECT_EQ(Run(unit, ""), 2u);
    EXPECT_EQ(out.Text(), "E:LOAD FILE IS EMPTY\a\n");
    unit.SetFile(dir.path());
    EXPECT_EQ(LoadImage(out, unit.set), 2u);
    EXPECT_EQ(out.Text(), "E:CAN'T OPEN LOAD FILE (Is a directory, not a regular file)\a\n");
    EXPECT_EQ(unit.Read(0, 0x800), std::vector<uint8_t>(0x800, 0xFF));  // nothing touched
}

TEST_F(Load, BannerSuffixes) {
    struct Case {
        uint32_t width;
        const char* line;
    } cases[] = {
        {1, "Hex-File Load of all bytes from offset 0 to offset 0\n"},
        {2, "Hex-File Load of all bytes from every #2nd byte at offset 0 to offset 0\n"},
        {3, "Hex-File Load of all bytes from every #3rd byte at offset 0 to offset 0\n"},
        {11, "Hex-File Load of all bytes from every #11th byte at offset 0 to offset 0\n"},
        {12, "Hex-File Load of all bytes from every #12th byte at offset 0 to offset 0\n"},
        {21, "Hex-File Load of all bytes from every #21st byte at offset 0 to offset 0\n"},
        {102, "Hex-File Load of all bytes from every #102nd byte at offset 0 to offset 0\n"},
        {113, "Hex-File Load of all bytes from every #113th byte at offset 0 to offset 0\n"},
        {256, "Hex-File Load of all bytes from every #256th byte at offset 0 to offset 0\n"},
    };
    for (const auto& c : cases) {
        out.lines.clear();
        LoadBanner(out, "Hex", 0, 0, 0, c.width, LOAD_ONLY);
        ASSERT_EQ(out.lines.size(), 1u);
        EXPECT_EQ(out.lines[0].text, c.line);
        EXPECT_EQ(out.lines[0].kind, 'I');
    }
    out.lines.clear();
    LoadBanner(out, "S", 0x1F0, 0x2A, 0x30, 1, LOAD_VERIFY);
    LoadBanner(out, "Binary", 0, 0x3E8, 0, 1, VERIFY_ONLY);
    EXPECT_EQ(out.Text(),
              "I:S-File Load/Verify of 2A bytes from offset 1F0 to offset 30\n"
              "I:Binary-File Verify of 3E8 bytes from offset 0 to offset 0\n");
}

TEST_F(Load, HexCompletionLinesAndResult) {
    VirtualUnit unit(0x800);
    const std::string file = Hex(0, 0x10, Seq(1, 16)) + Hex(0, 0x7F0, Seq(0x40, 16)) + kHexEnd;
    struct Case {
        uint32_t mode;
        const char* completion;
    } cases[] = {
        {LOAD_ONLY, "I:Load Completed without verification (20 Bytes Loaded)\n"},
        {LOAD_VERIFY, "I:Load/Verify Completed with no errors (20 Bytes Loaded)\n"},
        {VERIFY_ONLY, "I:Verify Completed with no errors (20 Bytes Checked)\n"},
    };
    for (const auto& c : cases) {
        out.results.clear();
        EXPECT_EQ(Run(unit, file, 0, 0, 0, 0, c.mode), 0u);
        const char* banner = c.mode == VERIFY_ONLY   ? "I:Hex-File Verify of all bytes from offset 0 to offset 0\n"
                             : c.mode == LOAD_VERIFY ? "I:Hex-File Load/Verify of all bytes from offset 0 to offset 0\n"
                                                     : "I:Hex-File Load of all bytes from offset 0 to offset 0\n";
        const char* highest =
            c.mode == VERIFY_ONLY ? "I:Highest address verified was 007FF\n" : "I:Highest address loaded was 007FF\n";
        EXPECT_EQ(out.Text(), std::string(banner) + c.completion + highest);
        EXPECT_EQ(out.results, std::vector<uint32_t>{0x800});
    }
    EXPECT_EQ(unit.Read(0x10, 16), Seq(1, 16));
    EXPECT_EQ(unit.Read(0x7F0, 16), Seq(0x40, 16));
    EXPECT_EQ(unit.Read(0x20, 1)[0], 0xFF);
}

TEST_F(Load, WindowWidthAndTarget) {
    struct Case {
        const char* what;
        std::string file;
        uint32_t start, length, target, width;
        std::vector<std::pair<uint32_t, uint8_t>> expect;  // device address, byte
        uint32_t total;
    } cases[] = {
        {"window cuts both ends",
         Hex(0, 0xF8, Seq(0xF8, 16)) + kHexEnd,
         0x100,
         0x10,
         0,
         1,
         {{0, 0x00}, {7, 0x07}, {8, 0xFF}},
         8},
        {"width 2 takes every second byte",
         Hex(0, 1, Seq(0xA1, 4)) + kHexEnd,
         0,
         0,
         0,
         2,
         {{0, 0xFF}, {1, 0xA2}, {2, 0xA4}, {3, 0xFF}},
         2},
        {"width 3 with start and target",
         Hex(0, 0x100, Seq(0, 32)) + kHexEnd,
         0x101,
         4,
         0x200,
         3,
         {{0x200, 0x01}, {0x201, 0x04}, {0x202, 0x07}, {0x203, 0x0A}, {0x204, 0xFF}},
         4},
        {"record beyond the window end is skipped",
         Hex(0, 0x10, Seq(1, 4)) + Hex(0, 0x20, Seq(9, 4)) + kHexEnd,
         0,
         0x14,
         0x100,
         1,
         {{0x110, 1}, {0x113, 4}, {0x120, 0xFF}},
         4},
        {"records before the start are skipped",
         Hex(0, 0x10, Seq(1, 4)) + Hex(0, 0x20, Seq(9, 4)) + kHexEnd,
         0x20,
         0,
         0,
         1,
         {{0, 9}, {3, 12}, {0x10, 0xFF}},
         4},
        {"width 4 record holding no kept byte",
         Hex(0, 1, Seq(1, 3)) + Hex(0, 4, Seq(5, 1)) + kHexEnd,
         0,
         0,
         0,
         4,
         {{0, 0xFF}, {1, 5}},
         1},
        {"target below start", Hex(0, 0x400, Seq(1, 4)) + kHexEnd, 0x400, 0, 0x10, 1, {{0x10, 1}, {0x13, 4}}, 4},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(0x800);
        EXPECT_EQ(Run(unit, c.file, c.start, c.length, c.target, c.width), 0u) << c.what << "\n" << out.Text();
        for (const auto& [a, v] : c.expect) EXPECT_EQ(unit.Read(a, 1)[0], v) << c.what << " at " << a;
        char want[80];
        std::snprintf(want, sizeof want, "Load Completed without verification (%X Bytes Loaded)\n", c.total);
        EXPECT_TRUE(out.Has('I', want)) << c.what << "\n" << out.Text();
    }
}

TEST_F(Load, HexAddressRecords) {
    struct Case {
        const char* what;
        std::string file;
        uint32_t address;  // where the data bytes 1..4 land
    } cases[] = {
        {"extended linear base", Hex(4, 0, {0x00, 0x01}) + Hex(0, 0x0010, Seq(1, 4)) + kHexEnd, 0x10010},
        {"extended segment base", Hex(2, 0, {0x10, 0x00}) + Hex(0, 0x0010, Seq(1, 4)) + kHexEnd, 0x10010},
        {"segment and linear bases add",
         Hex(2, 0, {0x00, 0x10}) + Hex(4, 0, {0x00, 0x01}) + Hex(0, 0x10, Seq(1, 4)) + kHexEnd, 0x10110},
        {"record across a 64 KB boundary continues", Hex(0, 0xFFFE, Seq(1, 4)) + kHexEnd, 0xFFFE},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(0x20000);
        EXPECT_EQ(Run(unit, c.file), 0u) << c.what << "\n" << out.Text();
        EXPECT_EQ(unit.Read(c.address, 4), Seq(1, 4)) << c.what;
        EXPECT_EQ(unit.Read(c.address - 1, 1)[0], 0xFF) << c.what;
        EXPECT_EQ(out.results, std::vector<uint32_t>{c.address + 4}) << c.what;
        out.results.clear();
    }
}

TEST_F(Load, StartAddressLines) {
    VirtualUnit unit(0x800);
    struct Case {
        std::string file;
        const char* line;
    } cases[] = {
        {Hex(3, 0, {0x12, 0x34, 0x00, 0x05}) + kHexEnd, "Start Address: 00012345\n"},
        {Hex(5, 0, {0x08, 0x00}) + Hex(3, 0, {0x10, 0x00, 0x23, 0x45}) + kHexEnd, "Start Address: 08012345\n"},
        {Hex(5, 0, {0x80, 0x01, 0x23, 0x45}) + kHexEnd, "Start Address: 80012345\n"},  // standard four-byte form
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(unit, c.file), 0u) << out.Text();
        EXPECT_TRUE(out.Has('A', c.line)) << out.Text();
    }
}

TEST_F(Load, SRecordFile) {
    VirtualUnit unit(0x800);
    const std::string file = SRec(0, 0, {'H', 'D', 'R'}) + SRec(1, 0x100, Seq(1, 8)) + SRec(5, 1, {}) +
                             SRec(2, 0x108, Seq(9, 4)) + SRec(3, 0x10C, Seq(13, 4)) + SRec(9, 0x1234, {});
    EXPECT_EQ(Run(unit, file, 0, 0, 0, 1, LOAD_VERIFY), 0u);
    EXPECT_EQ(out.Text(),
              "I:S-File Load/Verify of all bytes from offset 0 to offset 0\n"
              "A:Sign On: \"HDR\"\n"
              "A:WARNING: TYPE S5 RECORD ENCOUNTERED (IGNORED)\n"
              "A:Program Entry: 001234\n"
              "I:Load/Verify Completed with no errors (10 Bytes Loaded)\n"
              "I:Highest address loaded was 0010F\n");
    EXPECT_EQ(unit.Read(0x100, 16), Seq(1, 16));
}

TEST_F(Load, FormatDetection) {
    struct Case {
        const char* what;
        std::string file;
        const char* banner;
    } cases[] = {
        {"hex", Hex(0, 0, Seq(1, 4)) + kHexEnd, "Hex-File"},
        {"hex with blank first line is binary", "\r\n" + Hex(0, 0, Seq(1, 4)) + kHexEnd, "Binary-File"},
        {"hex with a leading space is binary", " " + Hex(0, 0, Seq(1, 4)) + kHexEnd, "Binary-File"},
        {"colon then binary bytes is binary", std::string(":\x01\x02\xff", 4), "Binary-File"},
        {"colon, digit, then control bytes is binary", std::string(":0\x01\x02\r\n", 6), "Binary-File"},
        {"S without a digit is binary", "SX07000001020304EE\r\n", "Binary-File"},
        {"s", SRec(1, 0, Seq(1, 4)) + SRec(9, 0, {}), "S-File"},
        {"lower case s first is binary", "s107000001020304EE\r\nS9030000FC\r\n", "Binary-File"},
        {"lower case s later is fine", "S107000001020304EE\r\ns9030000fc\r\n", "S-File"},
        {"neither", "hello", "Binary-File"},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(0x800);
        Run(unit, c.file);
        ASSERT_FALSE(out.lines.empty()) << c.what;
        EXPECT_EQ(out.lines[0].text.rfind(c.banner, 0), 0u) << c.what << ": " << out.lines[0].text;
    }
}

// A file whose first line looks like a record but does not read as one is a broken
// record file, not a binary image: the reader's message for line 1, nothing loaded.
TEST_F(Load, BrokenFirstRecordIsNotLoadedAsBinary) {
    struct Case {
        const char* what;
        std::string file;
        uint32_t mode;
        const char* line;
    } cases[] = {
        {"hex checksum", ":0400000001020304F1\r\n" + std::string(kHexEnd), LOAD_ONLY,
         "LOAD FAILURE: CHECKSUM MISMATCH (Line #1)\a\n"},
        {"hex record cut short", ":04000000010203\r\n", LOAD_VERIFY,
         "LOAD FAILURE: INVALID HEX DIGIT ON DATA BYTE 04 (Line #1)\a\n"},
        {"hex record cut by a NUL", std::string(":0400000001\0\x01\x02", 14), LOAD_ONLY,
         "LOAD FAILURE: INVALID HEX DIGIT ON DATA BYTE 02 (Line #1)\a\n"},
        {"hex record with a comment", ":0400000001020304F2;code\r\n", LOAD_ONLY,
         "LOAD FAILURE: EXTRA DATA ON LINE (Line #1)\a\n"},
        {"s checksum", "S107000001020304EF\r\nS9030000FC\r\n", LOAD_ONLY,
         "LOAD FAILURE: CHECKSUM MISMATCH (Line #1)\a\n"},
        {"s count too short, verify", "S1020000\r\n", VERIFY_ONLY, "VERIFY FAILURE: BAD LENGTH VALUE (Line #1)\a\n"},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(0x800);
        EXPECT_EQ(Run(unit, c.file, 0, 0, 0, 1, c.mode), 2u) << c.what;
        ASSERT_EQ(out.lines.size(), 1u) << c.what << out.Text();
        EXPECT_EQ(out.lines[0].kind, 'E');
        EXPECT_EQ(out.lines[0].text, c.line) << c.what;
        EXPECT_EQ(unit.Read(0, 0x800), std::vector<uint8_t>(0x800, 0xFF)) << c.what;
    }
}

TEST_F(Load, ReaderFailuresNameTheLine) {
    VirtualUnit unit(0x800);
    struct Case {
        std::string file;
        uint32_t mode;
        const char* line;
        uint32_t written;  // bytes at 0.. before the failure
    } cases[] = {
        // blank lines are not counted
        {Hex(0, 0, Seq(1, 4)) + "\r\n\r\n" + Hex(0, 4, Seq(5, 4)) + "\r\n:00000001FE\r\n", LOAD_ONLY,
         "LOAD FAILURE: CHECKSUM MISMATCH (Line #3)\a\n", 8},
        {Hex(0, 0, Seq(1, 4)), VERIFY_ONLY, "VERIFY FAILURE: UNEXPECTED EOF ON Hex FILE (Line #2)\a\n", 0},
        {":00000006FA\r\n" + kHexEnd, LOAD_ONLY, "LOAD FAILURE: INVALID HEX RECORD TYPE: 06 (Line #1)\a\n", 0},
        {SRec(1, 0, Seq(1, 4)) + SRec(4, 0, {}) + SRec(9, 0, {}), LOAD_ONLY,
         "LOAD FAILURE: INVALID S RECORD TYPE: 04 (Line #2)\a\n", 4},
        {SRec(1, 0, Seq(1, 4)) + "S107000401020304EA;\r\n", LOAD_ONLY, "LOAD FAILURE: EXTRA DATA ON LINE (Line #2)\a\n",
         4},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> blank(0x800, 0xFF);
        if (c.mode == VERIFY_ONLY) blank = Seq(1, 0x800), blank.resize(0x800);
        unit.Write(0, blank);
        out.results.clear();
        EXPECT_EQ(Run(unit, c.file, 0, 0, 0, 1, c.mode), 2u);
        ASSERT_FALSE(out.lines.empty());
        EXPECT_EQ(out.lines.back().text, c.line);
        EXPECT_EQ(out.lines.back().kind, 'E');
        if (c.mode != VERIFY_ONLY) {
            EXPECT_EQ(unit.Read(0, c.written), Seq(1, c.written));
            EXPECT_EQ(unit.Read(c.written, 1)[0], 0xFF);
        }
        EXPECT_EQ(out.results.size(), 1u);  // the console still gets the end address
    }
}

TEST_F(Load, OutsideTheDevice) {
    VirtualUnit unit(0x800);
    EXPECT_EQ(Run(unit, Hex(0, 0x7F0, Seq(1, 16)) + kHexEnd), 0u);  // ends exactly at DevSize - 1
    out.results.clear();
    unit.Write(0, std::vector<uint8_t>(0x800, 0xFF));
    EXPECT_EQ(Run(unit, Hex(0, 0x10, Seq(1, 4)) + Hex(0, 0x7F1, Seq(1, 16)) + kHexEnd), 2u);
    EXPECT_EQ(out.lines.back().text, "LOAD ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #2)\a\n");
    EXPECT_TRUE(out.results.empty());
    EXPECT_EQ(Run(unit, Hex(0, 0x7F1, Seq(1, 16)) + kHexEnd, 0, 0, 0, 1, VERIFY_ONLY), 2u);
    EXPECT_EQ(out.lines.back().text, "VERIFY ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #1)\a\n");
    // A file address far above the start must not wrap round into the device.
    EXPECT_EQ(Run(unit, Hex(4, 0, {0xFF, 0xFF}) + Hex(0, 0xFFF0, Seq(1, 16)) + kHexEnd, 0, 0, 0x7FF), 2u);
    EXPECT_EQ(out.lines.back().text, "LOAD ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #2)\a\n");
    EXPECT_EQ(unit.Read(0x7E0, 0x20), std::vector<uint8_t>(0x20, 0xFF));
    // With a target offset the device address counts, not the file address.
    EXPECT_EQ(Run(unit, Hex(0, 0, Seq(1, 16)) + kHexEnd, 0, 0, 0x7F8), 2u);
    EXPECT_EQ(out.lines.back().text, "LOAD ATTEMPTED OUTSIDE OF EMULATED DEVICE (Line #1)\a\n");
}

TEST_F(Load, VerifyMismatch) {
    VirtualUnit unit(0x800, 0x00);
    unit.Write(0x100, Seq(1, 16));
    std::vector<uint8_t> data = Seq(1, 16);
    data[5] = 0x77;
    EXPECT_EQ(Run(unit, Hex(0, 0x100, data) + kHexEnd, 0, 0, 0, 1, VERIFY_ONLY), 2u);
    EXPECT_EQ(out.Text(),
              "I:Hex-File Verify of all bytes from offset 0 to offset 0\n"
              "E:COMPARE ERROR IN EMULATOR RAM AT LOCATION 00105\a\n"
              "A:EXPECTED 77, GOT 06\n");
    EXPECT_TRUE(out.results.empty());
}

TEST_F(Load, MoreDataAfterEndRecord) {
    VirtualUnit unit(0x800);
    EXPECT_EQ(Run(unit, Hex(0, 0, Seq(1, 4)) + kHexEnd + "\r\n\r\n" + Hex(0, 4, Seq(1, 4))), 0u);
    EXPECT_EQ(out.lines.back().text, "WARNING: MORE DATA EXISTS IN Hex FILE FOLLOWING EOF RECORD (Line #2) IGNORED\n");
    EXPECT_EQ(out.lines.back().kind, 'A');
    EXPECT_EQ(unit.Read(4, 1)[0], 0xFF);
    EXPECT_EQ(Run(unit, SRec(1, 0, Seq(1, 4)) + SRec(9, 0, {}) + "junk"), 0u);
    EXPECT_EQ(out.lines.back().text, "WARNING: MORE DATA EXISTS IN S FILE FOLLOWING EOF RECORD (Line #2) IGNORED\n");
    // Separators only, or a file without a final line end: no warning.
    EXPECT_EQ(Run(unit, Hex(0, 0, Seq(1, 4)) + kHexEnd + " \t\r\n"), 0u);
    EXPECT_EQ(out.lines.back().text, "Highest address loaded was 00003\n");
    EXPECT_EQ(Run(unit, Hex(0, 0, Seq(1, 4)) + ":00000001FF"), 0u);
    EXPECT_EQ(out.lines.back().text, "Highest address loaded was 00003\n");
    EXPECT_EQ(Run(unit, SRec(1, 0, Seq(1, 4)) + "S9030000FC"), 0u);
    EXPECT_EQ(out.lines.back().text, "Highest address loaded was 00003\n");
}

TEST_F(Load, CancelAfterARecord) {
    VirtualUnit unit(0x800);
    out.cancelAtPoll = 2;
    const std::string file = Hex(0, 0, Seq(1, 4)) + Hex(0, 4, Seq(5, 4)) + Hex(0, 8, Seq(9, 4)) + kHexEnd;
    EXPECT_EQ(Run(unit, file), 2u);
    EXPECT_EQ(out.Text(),
              "I:Hex-File Load of all bytes from offset 0 to offset 0\n"
              "I:Load Incomplete: 8 bytes loaded with #0 corrected RAM write error(s)\n"
              "I:Highest address loaded was 00007\n");
    EXPECT_EQ(unit.Read(0, 9), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0xFF}));  // buffered bytes flushed
    EXPECT_TRUE(out.results.empty());
    out.polls = 0;
    out.cancelAtPoll = 1;
    EXPECT_EQ(Run(unit, file, 0, 0, 0, 1, VERIFY_ONLY), 2u);
    EXPECT_EQ(out.lines[1].text, "Verify Incomplete: 4 bytes checked\n");
}

TEST_F(Load, BinaryImages) {
    const std::vector<uint8_t> thousand = testsupport::RandomBytes(1000, 7);
    struct Case {
        const char* what;
        size_t fileSize;
        uint32_t start, length, target, width, devSize;
        uint32_t result;
        std::string line;  // first line (banner or error)
        uint32_t count;    // bytes placed
    } cases[] = {
        {"whole file", 1000, 0, 0, 0, 1, 0x800, 0, "Binary-File Load of 3E8 bytes from offset 0 to offset 0\n", 1000},
        {"width 2", 1000, 0, 0, 0, 2, 0x800, 0,
         "Binary-File Load of 1F4 bytes from every #2nd byte at offset 0 to offset 0\n", 500},
        {"width 3 of 10", 10, 0, 0, 0, 3, 0x800, 0,
         "Binary-File Load of 4 bytes from every #3rd byte at offset 0 to offset 0\n", 4},
        {"start target length", 1000, 0x10, 0x20, 0x100, 1, 0x800, 0,
         "Binary-File Load of 20 bytes from offset 10 to offset 100\n", 0x20},
        {"last byte of the file", 1000, 0, 0x1F4, 0, 2, 0x800, 0,
         "Binary-File Load of 1F4 bytes from every #2nd byte at offset 0 to offset 0\n", 500},
        {"one too many at width 2", 1000, 2, 0x1F4, 0, 2, 0x800, 2, "INVALID LENGTH ARGUMENT\a\n", 0},
        {"too big", 4096, 0, 0, 0, 1, 0x800, 2, "LOAD FILE IS TOO BIG\a\n", 0},
        {"too big at target", 1000, 0, 0, 0x500, 1, 0x800, 2, "LOAD FILE IS TOO BIG\a\n", 0},
        {"length given too big", 4096, 0, 0x1000, 0, 1, 0x800, 2, "INVALID LENGTH ARGUMENT\a\n", 0},
        {"length past the file end", 1000, 0x3E0, 0x10, 0, 1, 0x800, 2, "INVALID LENGTH ARGUMENT\a\n", 0},
        {"start at file size", 1000, 1000, 0, 0, 1, 0x800, 2, "INVALID START ARGUMENT\a\n", 0},
    };
    for (const auto& c : cases) {
        VirtualUnit unit(c.devSize);
        std::vector<uint8_t> file = testsupport::RandomBytes(c.fileSize, 7);
        file[0] = 0x55;  // never ':' or 'S'
        testsupport::WriteFile(dir.file("image.bin"), file);
        unit.SetFile(dir.file("image.bin"));
        unit.request.Start = c.start;
        unit.request.Length = c.length;
        unit.request.Target = c.target;
        unit.request.Width = c.width;
        out.results.clear();
        EXPECT_EQ(LoadImage(out, unit.set), c.result) << c.what << "\n" << out.Text();
        ASSERT_FALSE(out.lines.empty());
        EXPECT_EQ(out.lines[0].text, c.line) << c.what;
        if (c.result != 0) {
            EXPECT_EQ(unit.Read(0, c.devSize), std::vector<uint8_t>(c.devSize, 0xFF)) << c.what;
            continue;
        }
        std::vector<uint8_t> want;
        for (uint32_t k = 0; k < c.count; ++k) want.push_back(file[c.start + k * c.width]);
        EXPECT_EQ(unit.Read(c.target, c.count), want) << c.what;
        char done[80];
        std::snprintf(done, sizeof done, "Load Completed without verification (%X Bytes Loaded)\n", c.count);
        EXPECT_EQ(out.lines.back().text, done) << c.what;
        EXPECT_EQ(out.results, std::vector<uint32_t>{c.target}) << c.what;
        // Verify of the same: matching device.
        unit.request.LoadVerify = VERIFY_ONLY;
        EXPECT_EQ(LoadImage(out, unit.set), 0u) << c.what;
        std::snprintf(done, sizeof done, "Verify Completed with no errors (%X Bytes Checked)\n", c.count);
        EXPECT_EQ(out.lines.back().text, done) << c.what;
    }
    (void)thousand;
}

TEST_F(Load, BinaryVerifyMismatchStillSetsResult) {
    VirtualUnit unit(0x800, 0);
    std::vector<uint8_t> file(0x40, 0x11);
    testsupport::WriteFile(dir.file("img.bin"), file);
    unit.SetFile(dir.file("img.bin"));
    unit.Write(0x100, std::vector<uint8_t>(0x40, 0x11));
    unit.Write(0x123, {0x22});
    unit.request.Target = 0x100;
    unit.request.LoadVerify = VERIFY_ONLY;
    EXPECT_EQ(LoadImage(out, unit.set), 2u);
    EXPECT_EQ(out.Text(),
              "I:Binary-File Verify of 40 bytes from offset 0 to offset 100\n"
              "E:COMPARE ERROR IN EMULATOR RAM AT LOCATION 00123\a\n"
              "A:EXPECTED 11, GOT 22\n");
    EXPECT_EQ(out.results, std::vector<uint32_t>{0x100});
}

// Two interleaved units: image byte x goes to unit x mod 2 at x / 2.
TEST_F(Load, InterleavedLanes) {
    VirtualUnit even(0x800), odd(0x800);
    UnitSet set;
    set.count = 2;
    set.DevSize = 0x1000;
    set.settings[0] = &even.request;
    set.settings[1] = &odd.request;
    set.links[0] = &even.link;
    set.links[1] = &odd.link;
    testsupport::WriteText(dir.file("lanes.hex"), Hex(0, 0xFFD, Seq(1, 3)) + kHexEnd);
    even.SetFile(dir.file("lanes.hex"));
    even.request.LoadVerify = LOAD_VERIFY;
    EXPECT_EQ(LoadImage(out, set), 0u) << out.Text();
    EXPECT_EQ(odd.Read(0x7FE, 2), (std::vector<uint8_t>{1, 3}));
    EXPECT_EQ(even.Read(0x7FF, 1)[0], 2);
    even.request.Start = 0xFFE;
    even.request.Length = 0;
    even.request.Target = 0;
    even.request.LoadVerify = LOAD_ONLY;
    EXPECT_EQ(ChecksumRange(out, set), 0u);
    EXPECT_EQ(out.lines.back().text, "CHECKSUM = 0000-0005\n");
}

}  // namespace
