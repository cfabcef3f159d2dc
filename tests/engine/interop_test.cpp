// Interoperability with SRecord's srec_cat, both ways: files srec_cat writes load to
// the same bytes, and files we write read back through srec_cat to the same bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/test_support.h"

namespace {

using enginetest::RecordingOutput;
using enginetest::VirtualUnit;
using testsupport::RunCommand;

class SrecCat : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat not installed (scripts/deps.sh)";
    }
    testsupport::TempDir dir;
};

std::string Hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

TEST_F(SrecCat, FilesItWritesLoadToTheSameBytes) {
    struct Case {
        const char* what;
        uint32_t size, offset, devSize;
        std::string options;  // srec_cat output options
        const char* banner;   // the first word of our banner
    } cases[] = {
        {"intel linear 1 MB", 0x100000, 0, 0x100000, "-intel", "Hex-File"},
        {"intel segment", 300000, 0x1234, 0x80000, "-intel -address-length=3", "Hex-File"},
        {"intel 16-bit", 60000, 0x100, 0x10000, "-intel -address-length=2", "Hex-File"},
        {"intel 255-byte records", 100000, 0x7, 0x20000, "-intel -obs=255", "Hex-File"},
        {"intel 1-byte records", 3000, 0xFFF0, 0x20000, "-intel -obs=1", "Hex-File"},
        {"intel short lines", 70000, 0x10, 0x20000, "-intel -line-length=20", "Hex-File"},
        {"intel start address", 5000, 0, 0x2000, "-intel -execution-start-address=0x12345678", "Hex-File"},
        // srec_cat writes the S-record end record only when it knows a start address.
        {"S19", 60000, 0x20, 0x10000, "-motorola -address-length=2 -execution-start-address=0x20", "S-File"},
        {"S19 1-byte records", 2000, 0x400, 0x1000, "-motorola -address-length=2 -obs=1 -esa=0x400", "S-File"},
        {"S28", 500000, 0x3, 0x80000, "-motorola -address-length=3 -obs=250 -esa=0x3", "S-File"},
        {"S37 1 MB", 0x100000, 0, 0x100000, "-motorola -address-length=4 -esa=0", "S-File"},
        {"S37 short", 77777, 0x1001, 0x20000, "-motorola -address-length=4 -obs=7 -esa=0x1001", "S-File"},
    };
    uint32_t seed = 1;
    for (const auto& c : cases) {
        std::vector<uint8_t> image = testsupport::RandomBytes(c.size, seed++);
        testsupport::WriteFile(dir.file("in.bin"), image);
        std::string out;
        const std::string file = dir.file("image.txt");
        ASSERT_EQ(RunCommand("srec_cat " + dir.file("in.bin") + " -binary -offset " + Hex32(c.offset) + " -o " + file +
                                 " " + c.options,
                             &out),
                  0)
            << c.what << ": " << out;
        VirtualUnit unit(c.devSize);
        unit.SetFile(file);
        RecordingOutput rec;
        ASSERT_EQ(LoadImage(rec, unit.set), 0u) << c.what << "\n" << rec.Text();
        EXPECT_EQ(rec.lines[0].text.rfind(c.banner, 0), 0u) << c.what;
        std::vector<uint8_t> want(c.devSize, 0xFF);
        std::copy(image.begin(), image.end(), want.begin() + c.offset);
        EXPECT_TRUE(unit.Read(0, c.devSize) == want) << c.what;
        char total[80];
        std::snprintf(total, sizeof total, "Load Completed without verification (%X Bytes Loaded)\n", c.size);
        EXPECT_TRUE(rec.Has('I', total)) << c.what << "\n" << rec.Text();
        if (std::string(c.what) == "intel start address") { EXPECT_TRUE(rec.Has('A', "Start Address: 12345678\n")); }
        if (std::string(c.banner) == "S-File") {
            char entry[40];
            std::snprintf(entry, sizeof entry, "Program Entry: %06X\n", c.offset);
            EXPECT_TRUE(rec.Has('A', entry)) << c.what << "\n" << rec.Text();
        }
    }
}

// Two blocks with a hole: the hole stays as it was.
TEST_F(SrecCat, SparseFilesLeaveHolesAlone) {
    auto a = testsupport::RandomBytes(5000, 11), b = testsupport::RandomBytes(7000, 12);
    testsupport::WriteFile(dir.file("a.bin"), a);
    testsupport::WriteFile(dir.file("b.bin"), b);
    for (const char* format : {"-intel", "-motorola -address-length=3 -esa=0x100"}) {
        ASSERT_EQ(RunCommand("srec_cat " + dir.file("a.bin") + " -binary -offset 0x100 " + dir.file("b.bin") +
                             " -binary -offset 0x18000 -o " + dir.file("s.txt") + " " + format),
                  0);
        VirtualUnit unit(0x20000, 0x5A);
        unit.SetFile(dir.file("s.txt"));
        RecordingOutput rec;
        ASSERT_EQ(LoadImage(rec, unit.set), 0u) << rec.Text();
        std::vector<uint8_t> want(0x20000, 0x5A);
        std::copy(a.begin(), a.end(), want.begin() + 0x100);
        std::copy(b.begin(), b.end(), want.begin() + 0x18000);
        EXPECT_TRUE(unit.Read(0, 0x20000) == want) << format;
        EXPECT_TRUE(rec.Has('I', "Highest address loaded was 19B57\n")) << rec.Text();
    }
}

TEST_F(SrecCat, FilesWeWriteReadBackToTheSameBytes) {
    struct Case {
        const char* what;
        uint32_t devSize, start, length, format, recLen, fill, targetOption, target, entryOption, entry;
        const char* signon;
        const char* reader;  // srec_cat input format
    } cases[] = {
        {"binary", 0x100000, 0, 0, FORMAT_BINARY, 32, 0x100, 0, 0, 0, 0, nullptr, "-binary"},
        {"hex segment 1 MB", 0x100000, 0, 0, FORMAT_HEX, 32, 0x100, 0, 0, 0, 0, nullptr, "-intel"},
        {"hex-32 1 MB", 0x100000, 0, 0, FORMAT_HEX32, 255, 0x100, 0, 0, 0, 0, nullptr, "-intel"},
        {"hex 1-byte records", 0x2000, 0x123, 0x1000, FORMAT_HEX, 1, 0x100, 0, 0, 0, 0, nullptr, "-intel"},
        {"hex moved above 1 MB", 0x20000, 0, 0x20000, FORMAT_HEX, 16, 0x100, 1, 0x1FFF8, 0, 0, nullptr, "-intel"},
        {"hex fill removal", 0x20000, 0, 0, FORMAT_HEX, 64, 0xFF, 0, 0, 0, 0, nullptr, "-intel"},
        {"hex segment entry", 0x8000, 0, 0, FORMAT_HEX, 32, 0x100, 0, 0, 1, 0x12345, nullptr, "-intel"},
        {"hex linear entry", 0x8000, 0, 0, FORMAT_HEX, 32, 0x100, 0, 0, 1, 0x87654321, nullptr, "-intel"},
        {"S19", 0x10000, 0, 0, FORMAT_S, 255, 0x100, 0, 0, 1, 0x100, "sign-on", "-motorola"},
        {"S28 auto", 0x100000, 0, 0, FORMAT_S, 32, 0x100, 0, 0, 0, 0, nullptr, "-motorola"},
        {"S28 forced", 0x8000, 0x10, 0x4000, FORMAT_S28, 200, 0x100, 0, 0, 0, 0, nullptr, "-motorola"},
        {"S37 forced", 0x100000, 0, 0, FORMAT_S37, 255, 0x100, 0, 0, 1, 0x12345678, "x", "-motorola"},
        {"S37 moved", 0x10000, 0, 0, FORMAT_S, 16, 0xFF, 1, 0x3000000, 0, 0, nullptr, "-motorola"},
    };
    uint32_t seed = 100;
    for (const auto& c : cases) {
        VirtualUnit unit(c.devSize);
        std::vector<uint8_t> image = testsupport::RandomBytes(c.devSize, seed++);
        if (c.fill <= 0xFF)  // make runs of the fill value at record ends and whole empty records
            for (uint32_t i = 0; i < c.devSize; ++i)
                if ((i / 37) % 3 == 0 || (i >= 0x4000 && i < 0x6000)) image[i] = static_cast<uint8_t>(c.fill);
        unit.Write(0, image);
        const std::string path = dir.file("out.txt");
        WriteRequest w;
        w.FileName = path.c_str();
        w.Start = c.start;
        w.Length = c.length;
        w.Mode = WRITE_REPLACE;
        w.Format = c.format;
        w.EOFOption = 1;
        w.RecLen = c.recLen;
        w.FillValue = c.fill;
        w.TargetOption = c.targetOption;
        w.Target = c.target;
        w.EntryOption = c.entryOption;
        w.EntryAddr = c.entry;
        w.Signon = c.signon;
        RecordingOutput rec;
        ASSERT_EQ(WriteImage(rec, unit.set, w), 0u) << c.what << "\n" << rec.Text();
        const uint32_t length = c.length ? c.length : c.devSize - c.start;
        const uint32_t first = c.targetOption ? c.target : c.start;
        std::string out;
        // Holes (fill removal) read back as the fill value; addresses move back to 0.
        const std::string fill =
            c.fill <= 0xFF ? " -fill " + Hex32(c.fill) + " " + Hex32(first) + " " + Hex32(first + length) : "";
        const std::string move = c.format == FORMAT_BINARY ? "" : " -offset -" + Hex32(first);
        ASSERT_EQ(
            RunCommand("srec_cat " + path + " " + c.reader + fill + move + " -o " + dir.file("back.bin") + " -binary",
                       &out),
            0)
            << c.what << ": " << out;
        const std::vector<uint8_t> back = testsupport::ReadFile(dir.file("back.bin"));
        const std::vector<uint8_t> want(image.begin() + c.start, image.begin() + c.start + length);
        EXPECT_EQ(back.size(), want.size()) << c.what;
        EXPECT_TRUE(back == want) << c.what;
        if (c.entryOption) {
            // srec_cat sees the entry address as the execution start address.
            ASSERT_EQ(
                RunCommand("srec_cat " + path + " " + c.reader + " -o - -intel -address-length=4 | grep '^:04000005'",
                           &out),
                0)
                << c.what;
            char want05[40];
            unsigned e = c.entry;
            unsigned sum = 4 + 5 + (e >> 24) + ((e >> 16) & 0xFF) + ((e >> 8) & 0xFF) + (e & 0xFF);
            std::snprintf(want05, sizeof want05, ":04000005%08X%02X", e, (0x100 - (sum & 0xFF)) & 0xFF);
            EXPECT_EQ(out.substr(0, 19), want05) << c.what << ": " << out;
        }
    }
}

// Without a start address srec_cat ends an S-record file with a count record (S5, or
// S6 above 65535 records) and no end record. A count that matches the data records
// read means the file is whole; a file cut short still fails.
TEST_F(SrecCat, SFileEndedByTheCountRecord) {
    struct Case {
        const char* what;
        uint32_t size;
        const char* options;
        int dropLines;  // lines cut from the end of srec_cat's file (before the count when negative)
        const char* countWarning;
    } cases[] = {
        {"S5 count", 1000, "", 0, "WARNING: TYPE S5 RECORD ENCOUNTERED (IGNORED)\n"},
        {"S6 count", 70000, "-obs=1", 0, "WARNING: TYPE S6 RECORD ENCOUNTERED (IGNORED)\n"},
        {"S5 count, last data record lost", 1000, "", -1, nullptr},
        {"count record lost", 1000, "", 1, nullptr},
    };
    for (const Case& c : cases) {
        auto a = testsupport::RandomBytes(c.size, 5);
        testsupport::WriteFile(dir.file("a.bin"), a);
        ASSERT_EQ(RunCommand("srec_cat " + dir.file("a.bin") + " -binary -o " + dir.file("a.s19") + " -motorola " +
                             c.options),
                  0);
        std::string text = testsupport::ReadText(dir.file("a.s19"));
        ASSERT_EQ(text.find("S9"), std::string::npos);
        const size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
        if (c.dropLines == 1) text.erase(lastLine);
        if (c.dropLines == -1) {
            const size_t before = text.rfind('\n', lastLine - 2) + 1;
            text.erase(before, lastLine - before);
        }
        testsupport::WriteText(dir.file("a.s19"), text);
        VirtualUnit unit(0x20000);
        unit.SetFile(dir.file("a.s19"));
        RecordingOutput rec;
        if (c.countWarning) {
            EXPECT_EQ(LoadImage(rec, unit.set), 0u) << c.what << rec.Text();
            EXPECT_TRUE(rec.Has('A', c.countWarning)) << c.what << rec.Text();
            char done[80];
            std::snprintf(done, sizeof done, "Load Completed without verification (%X Bytes Loaded)\n", c.size);
            EXPECT_TRUE(rec.Has('I', done)) << c.what << rec.Text();
            // No end record was read, so there is no entry address to show.
            EXPECT_EQ(rec.Text().find("Program Entry"), std::string::npos) << c.what;
            EXPECT_TRUE(unit.Read(0, c.size) == a) << c.what;
        } else {
            EXPECT_EQ(LoadImage(rec, unit.set), 2u) << c.what;
            EXPECT_EQ(rec.lines.back().text.rfind("LOAD FAILURE: UNEXPECTED EOF ON S FILE (Line #", 0), 0u)
                << c.what << rec.Text();
        }
    }
}

}  // namespace
