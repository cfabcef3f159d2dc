// The shared library, bound by file name, on simulated USB units named in
// PELMO_SIM_USB: finding, opening and sizing a unit, reset pulses, a 1 MB image
// loaded, summed and written back (checked with srec_cat), fill and view, and
// unit faults reported in the caller's text buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "tests/emucore/guarded.h"
#include "tests/emucore/library.h"
#include "tests/support/test_support.h"

using emutest::GuardedBuffer;
using testsupport::ReadFile;
using testsupport::RunCommand;

namespace {

// Each test loads a fresh copy of the library, so the simulated bus it builds from
// PELMO_SIM_USB at its first USB open is the one the test sets.
class EmucoreUsb : public emutest::LibraryTest {
protected:
    void Units(const char* units) { setenv("PELMO_SIM_USB", units, 1); }
    void TearDown() override {
        // Once it has reached a USB unit the library holds process-lifetime memory
        // (the compare buffer, the driver host and its bus); its caller keeps it loaded
        // for the life of the process, so this copy stays mapped until exit as well.
        dlopen(dir_.file("libemucore-copy.so").c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        LibraryTest::TearDown();
        unsetenv("PELMO_SIM_USB");
    }
    void Srec(const std::string& args) { testsupport::SrecCat(dir_.path(), args); }
    std::vector<uint8_t> Bytes(const std::string& name) { return ReadFile(dir_.file(name)); }
    static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
};

struct FindCase {
    const char* units;
    int32_t found;
};

// Stable names for test discovery: the value's text, not its bytes.
void PrintTo(const FindCase& c, std::ostream* os) { *os << '"' << c.units << '"'; }

class EmucoreUsbFind : public EmucoreUsb, public ::testing::WithParamInterface<FindCase> {};

TEST_P(EmucoreUsbFind, FindPicksTheFirstUnitNumberThatOpens) {
    Units(GetParam().units);
    EXPECT_EQ(api.Find(), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(Buses, EmucoreUsbFind,
                         ::testing::Values(FindCase{"unit=2,ram=256;unit=1,ram=512", 1}, FindCase{"unit=3,ram=32", 3},
                                           FindCase{"unit=0,ram=1024,level=3", 0}, FindCase{"", 4}),
                         [](const ::testing::TestParamInfo<FindCase>& i) { return "Bus" + std::to_string(i.index); });

TEST_F(EmucoreUsb, OpenAndQTestSizeTheSimulatedRam) {
    Units("unit=1,ram=512;unit=0,ram=128");
    EXPECT_EQ(api.Open(2, 6), -5) << "no unit 2 on the bus";
    EXPECT_EQ(api.QTest(0, 0, 0), -1) << "a failed open leaves no unit";
    EXPECT_EQ(api.Open(1, 6), 0x10000);
    EXPECT_EQ(api.QTest(1, 0, 2), 512);
    EXPECT_EQ(api.Open(0, 3), 0x2000);
    EXPECT_EQ(api.QTest(0, 0, 0), 128);
    // Over to the virtual unit and back: each open closes the unit before it.
    EXPECT_EQ(api.Open(VXA_VIRTUAL_UNIT, 3), 0x2000);
    EXPECT_EQ(api.QTest(0, 0, 0), 8);
    EXPECT_EQ(api.Open(1, 6), 0x10000);
    EXPECT_EQ(api.QTest(0, 0, 0), 512);
    EXPECT_EQ(api.SetReset(0, 20, 2), 0);
    EXPECT_EQ(api.SetReset(1, 0, 1), 0);
}

// The unit answers every reset command: a refused answer to the second level of a
// pulse comes back as the link code, negated.
TEST_F(EmucoreUsb, ResetPulseReachesTheUnit) {
    // Commands: 1 status at open, 2 and 3 the pulse's two levels.
    Units("unit=0,ram=256,fault=bad-status:3");
    ASSERT_EQ(api.Open(0, 5), 0x8000);
    EXPECT_EQ(api.SetReset(0, 10, 2), -45);
    EXPECT_EQ(api.SetReset(0, 10, 2), 0);
}

struct ImageFormat {
    const char* name;
    const char* file;
    const char* srecOut;
    const char* srecIn;
};

void PrintTo(const ImageFormat& f, std::ostream* os) { *os << f.name; }

class EmucoreUsbImage : public EmucoreUsb, public ::testing::WithParamInterface<ImageFormat> {
protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat not installed";
        EmucoreUsb::SetUp();
    }
};

TEST_P(EmucoreUsbImage, LoadVerifyChecksumWriteBackFillAndView) {
    const ImageFormat& f = GetParam();
    Srec(std::string("-generate 0 0x100000 -random -execution-start-address=0 -o ") + f.file + " " + f.srecOut);
    Srec(std::string(f.file) + " " + f.srecIn + " -o expect.bin -binary");
    std::vector<uint8_t> expect = Bytes("expect.bin");
    ASSERT_EQ(expect.size(), 0x100000u);

    Units("unit=0,ram=1024");
    ASSERT_EQ(api.Find(), 0);
    ASSERT_EQ(api.Open(0, 10), 0x100000);
    ASSERT_EQ(api.QTest(1, 0, 2), 1024);
    GuardedBuffer text(VXA_TEXT_SIZE);
    const std::string image = dir_.file(f.file);
    ASSERT_EQ(api.Load(text.data(), image.c_str(), 0, 0, 0, 1, 1, 0, 1, 0, 2), 0) << text.Text();
    EXPECT_TRUE(Has(text.Text(), "Load/Verify Completed with no errors (100000 Bytes Loaded)")) << text.Text();
    // Verify only: the unit's RAM against the file once more.
    ASSERT_EQ(api.Load(text.data(), image.c_str(), 0, 0, 0, 1, 2, 0, 0, 0, 0), 0) << text.Text();
    EXPECT_TRUE(Has(text.Text(), "Verify Completed with no errors (100000 Bytes Checked)")) << text.Text();

    uint32_t sum = 0;
    ASSERT_EQ(api.Cksum(text.data(), &sum, 0, 0, 0, 1, 0, 2), 0) << text.Text();
    EXPECT_EQ(sum, std::accumulate(expect.begin(), expect.end(), 0u));

    const std::string out = dir_.file("out.s37");
    ASSERT_EQ(api.Write(text.data(), out.c_str(), 0, 0, 2, 5, 1, 32, 0x100, 0, 0, 0, 0, "", 0, 0, 0, 0), 0)
        << text.Text();
    EXPECT_TRUE(Has(text.Text(), "Putting 100000 bytes into S37 format file")) << text.Text();
    Srec("out.s37 -motorola -o back.bin -binary");
    EXPECT_EQ(Bytes("back.bin"), expect);

    // Fill a range with verify, then look at its edges through the view.
    ASSERT_EQ(api.Fill(text.data(), 0x5A, 0x10000, 0x100, 1, 0, 1, 0, 2), 0) << text.Text();
    EXPECT_EQ(text.Text(), "Filling 100 bytes at offset 10000 with 5A\rFill Completed with no errors");
    std::fill(expect.begin() + 0x10000, expect.begin() + 0x10100, 0x5A);
    ASSERT_EQ(api.Cksum(text.data(), &sum, 0xFF00, 0x300, 0, 0, 0, 0), 0) << text.Text();
    EXPECT_EQ(sum, std::accumulate(expect.begin() + 0xFF00, expect.begin() + 0x10200, 0u));
    ASSERT_EQ(api.ViewOpen(text.data(), 0, 1, 0, 2), 0) << text.Text();
    // 0x100F8..0x10107: the end of the fill and the image bytes after it, over two lines.
    std::vector<char> view(2 * (14 + 4 * 16) + 1);
    ASSERT_EQ(api.ViewFormat(view.data(), 0x100F8, 16, 16), 0);
    std::string want;
    for (uint32_t line = 0x100F0; line < 0x10108; line += 16) {
        char head[16];
        std::snprintf(head, sizeof head, " %06X  ", line);
        std::string hexes = head, chars;
        for (uint32_t a = line; a < line + 16; ++a) {
            bool in = a >= 0x100F8 && a < 0x10108;
            char cell[4];
            std::snprintf(cell, sizeof cell, "%02X ", expect[a]);
            hexes += in ? cell : "-- ";
            chars += !in ? ' ' : expect[a] >= 0x20 ? static_cast<char>(expect[a]) : '\x7F';
        }
        want += hexes + "   " + chars + "\r\n";
    }
    EXPECT_EQ(std::string(view.data()), want);
    api.ViewClose();
}

INSTANTIATE_TEST_SUITE_P(Formats, EmucoreUsbImage,
                         ::testing::Values(ImageFormat{"S37", "image.s37", "-motorola -address-length=4", "-motorola"},
                                           ImageFormat{"Hex", "image.hex", "-intel", "-intel"}),
                         [](const ::testing::TestParamInfo<ImageFormat>& i) { return std::string(i.param.name); });

// A unit fault ends the operation with 1 and the device failure line of its stage.
struct FaultCase {
    const char* fault;
    const char* op;
    const char* text;  // "" for the stuck byte's lines, made from the image
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault << ' ' << c.op; }

class EmucoreUsbFault : public EmucoreUsb, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EmucoreUsbFault, UnitFaultsComeBackAsText) {
    const FaultCase& c = GetParam();
    const std::vector<uint8_t> bytes = testsupport::RandomBytes(0x8000, 5);
    testsupport::WriteFile(dir_.file("i.bin"), bytes);
    const std::string image = dir_.file("i.bin");
    std::string units = std::string("unit=0,ram=256,fault=") + c.fault;
    std::vector<std::string> texts;
    if (*c.text) {
        texts.push_back(c.text);
    } else {
        // A byte that always reads as the complement of the image's byte there.
        units += std::to_string(bytes[0x2345] ^ 0xFF);
        char got[40];
        std::snprintf(got, sizeof got, "EXPECTED %02X, GOT %02X", bytes[0x2345], bytes[0x2345] ^ 0xFF);
        texts = {"UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 02345", got};
    }
    Units(units.c_str());
    ASSERT_EQ(api.Open(0, 5), 0x8000);
    ASSERT_EQ(api.QTest(0, 0, 0), 256);
    GuardedBuffer text(VXA_TEXT_SIZE);
    uint32_t sum = 0;
    // Full folding: load base 0, so image address 0x2345 is RAM address 0x2345.
    const std::string op = c.op;
    int32_t r = op == "load"  ? api.Load(text.data(), image.c_str(), 0, 0, 0, 1, 1, 2, 0, 0, 0)
                : op == "sum" ? api.Cksum(text.data(), &sum, 0, 0, 0, 0, 0, 0)
                              : api.ViewOpen(text.data(), 0, 0, 0, 0);
    EXPECT_EQ(r, 1) << text.Text();
    for (const std::string& t : texts) EXPECT_TRUE(Has(text.Text(), t)) << text.Text();
    EXPECT_TRUE(text.GuardsIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EmucoreUsbFault,
    ::testing::Values(FaultCase{"bulk-fail:1", "load", "DEVICE FAILURE (SUBCODE 502-231)"},
                      FaultCase{"short-count:1", "load", "DEVICE FAILURE (SUBCODE 502-245)"},
                      FaultCase{"bulk-fail:1", "sum", "DEVICE FAILURE (SUBCODE 506-131)"},
                      FaultCase{"bulk-fail:1", "view", "DEVICE FAILURE READING UNIT (SUBCODE 010-131)"},
                      FaultCase{"stuck:0x2345:0xFF:", "load", ""}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return "Fault" + std::to_string(i.index); });

// The process that used a USB unit ends normally with the unit still open: the
// driver host is stopped at exit, not torn down under its worker.
TEST_F(EmucoreUsb, ProcessExitsCleanlyWithTheUnitOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Units("unit=0,ram=256");
    EXPECT_EXIT(
        {
            bool ok = api.Open(0, 5) == 0x8000 && api.QTest(1, 0, 2) == 256;
            // The child's fixture is never torn down: its folder goes now.
            std::error_code ignored;
            std::filesystem::remove_all(dir_.path(), ignored);
            std::exit(ok ? 0 : 7);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
