// The built console program on simulated USB units (PELMO_SIM_USB): the whole
// path through the link layer, the user-side transport and the qorpelmo driver,
// with images made and checked by srec_cat.
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "zam32_run.h"

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;
using zam32test::Quote;

namespace {

class UsbProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat not installed";
    }
    // One batch run: the units of `units` on the simulated bus, `line` as ZAM32ARG.
    // A hang shows as status 124 (the guard's time limit), never as a stuck test.
    zam32test::Run Batch(const std::string& units, const std::string& line, const char* osClass = nullptr) {
        zam32test::Options o;
        const std::string arg = "/b " + line;
        o.zam32arg = arg.c_str();
        o.osClass = osClass;
        return zam32test::RunZam32(dir.path(), o, "PELMO_SIM_USB=" + Quote(units), 40);
    }
    void Srec(const std::string& args) { testsupport::SrecCat(dir.path(), args); }
    std::vector<uint8_t> Bytes(const std::string& name) { return ReadFile(dir.file(name)); }
    // A random image of n bytes as a binary file; returns the bytes.
    std::vector<uint8_t> RandomImage(const std::string& name, size_t n, uint32_t seed) {
        std::vector<uint8_t> v = testsupport::RandomBytes(n, seed);
        WriteFile(dir.file(name), v);
        return v;
    }
    static uint32_t Sum(const std::vector<uint8_t>& v) { return std::accumulate(v.begin(), v.end(), 0u); }
    static std::string ChecksumLine(uint32_t sum) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "CHECKSUM = %04X-%04X\n", sum >> 16, sum & 0xFFFF);
        return buf;
    }
    static bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }
    testsupport::TempDir dir;
};

// 1 MB made by srec_cat, loaded with verify into a simulated 27080, summed and
// written back as S37, in both text formats srec_cat can make.
struct ImageFormat {
    const char* name;
    const char* file;
    const char* srecOut;  // srec_cat output options for the image
    const char* srecIn;   // srec_cat input format option to read it back
};

void PrintTo(const ImageFormat& f, std::ostream* os) { *os << f.name; }

class UsbImage : public UsbProgram, public ::testing::WithParamInterface<ImageFormat> {};

TEST_P(UsbImage, LoadVerifyChecksumAndWriteBackMatchSrecCat) {
    const ImageFormat& f = GetParam();
    Srec(std::string("-generate 0 0x100000 -random -execution-start-address=0 -o ") + f.file + " " + f.srecOut);
    Srec(std::string(f.file) + " " + f.srecIn + " -o expect.bin -binary");
    const std::vector<uint8_t> expect = Bytes("expect.bin");
    ASSERT_EQ(expect.size(), 0x100000u);

    zam32test::Run r = Batch("unit=0,ram=1024", std::string("P U;T 27080;L ") + f.file +
                                                    ",,,,,V;S;W out.s37,,,R,S37;L " + f.file + ",,,,,VO;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Checking PuU0 as 27080\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Load/Verify Completed with no errors (100000 Bytes Loaded)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Verify Completed with no errors (100000 Bytes Checked)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(Sum(expect)))) << r.out;
    EXPECT_TRUE(Has(r.out, "Putting 100000 bytes into S37 format file\n")) << r.out;

    Srec("out.s37 -motorola -o back.bin -binary");
    EXPECT_EQ(Bytes("back.bin"), expect);
    std::string first;
    ASSERT_EQ(RunCommand("grep -m1 '^S[1-9]' " + Quote(dir.file("out.s37")), &first), 0);
    EXPECT_EQ(first.substr(0, 2), "S3") << "S37 data records expected: " << first;
}

INSTANTIATE_TEST_SUITE_P(Formats, UsbImage,
                         ::testing::Values(ImageFormat{"S37", "image.s37", "-motorola -address-length=4", "-motorola"},
                                           ImageFormat{"Hex", "image.hex", "-intel", "-intel"}),
                         [](const ::testing::TestParamInfo<ImageFormat>& i) { return std::string(i.param.name); });

// The scan table shows each simulated unit's RAM in bits; a unit that never
// answers counts as absent. The first unit found becomes the selection.
TEST_F(UsbProgram, ScanTableListsSimulatedUnits) {
    struct Case {
        const char* units;
        const char* line;
        const char* os;
        const char* row;
        const char* check;  // what the T after the scan checks
    } cases[] = {
        {"unit=0,ram=128;unit=1,ram=64;unit=2,ram=512;unit=3,ram=32", "P u?", nullptr, "u       1M   512K 4M   256K \n",
         "Checking PuU0 as 27256\n"},
        {"unit=3,ram=1024;unit=1,ram=256", "P u?", nullptr, "u       -    2M   -    8M   \n",
         "Checking PuU1 as 27256\n"},
        // "?" alone scans USB on the NT family.
        {"unit=2,ram=32", "P ?", "1", "u       -    -    256K -    \n", "Checking PuU2 as 27256\n"},
    };
    for (const Case& c : cases) {
        zam32test::Run r = Batch(c.units, std::string(c.line) + ";T 27256;Q", c.os);
        EXPECT_EQ(r.status, 0) << c.units << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, std::string("Scanning for USB devices\n \\ U    0    1    2    3\nP \\\n") + c.row))
            << c.units << "\n"
            << r.out;
        EXPECT_TRUE(Has(r.out, c.check)) << c.units << "\n" << r.out;
    }
}

// A unit that answers but fails its RAM test shows "bad"; with no unit found the
// selection stays on the parallel port.
TEST_F(UsbProgram, ScanWithoutUsableUnitsLeavesTheSelection) {
    struct Case {
        const char* units;
        const char* row;
    } cases[] = {
        {"", "u       -    -    -    -    \n"},
        // Command 3 is the first of unit 1's RAM test (1: asked as unit 0, 2: opened).
        {"unit=1,ram=256,fault=bad-status:3", "u       -    bad  -    -    \n"},
    };
    for (const Case& c : cases) {
        zam32test::Run r = Batch(c.units, "P u?;T 27256;Q");
        EXPECT_TRUE(Has(r.out, c.row)) << c.units << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, "Checking Pl1U0 as 27256\n")) << c.units << "\n" << r.out;
    }
}

// A scan that finds a unit leaves a usable selection as it was.
TEST_F(UsbProgram, ScanKeepsAUsableSelection) {
    zam32test::Run r = Batch("unit=1,ram=256", "P V;T 27256;P u?;S;?;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "u       -    2M   -    -    \nComputing Checksum of 00000 - 07FFF\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "No.    No.  Type     States Defaults\n\nv      0    27256,pf ZL     (none)\n")) << r.out;
    EXPECT_FALSE(Has(r.out, "PuU1")) << r.out;
}

// T sizes and checks a USB unit, R drives its line, ? lists what the program holds.
TEST_F(UsbProgram, TypeResetAndListOnUsbUnits) {
    zam32test::Run r = Batch("unit=0,ram=1024,level=3,id=0x1234", "P U;T 27256 ff;R;R HZ;R;?????;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out,
                    "Checking PuU0 as 27256\n"
                    "Pulsing Unit 0 Reset Line LOW\n"
                    "Unit 0 Reset Line Set HIGH\n"
                    "Pulsing Unit 0 Reset Line HI-Z\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "u      0    27256,ff HZ     (none)\n")) << r.out;
    // Level, identity and size come from the unit itself.
    EXPECT_TRUE(Has(r.out, "Info:1234    ")) << r.out;
    EXPECT_TRUE(Has(r.out, "     Level:3      MaxK:1024      LoadBase:00000  Fold:F8000x32\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "PORT SLOT 1: u,32767 Units: 0\n")) << r.out;
}

TEST_F(UsbProgram, TypeRefusesUnitsTooSmallOrAbsent) {
    struct Case {
        const char* units;
        const char* line;
        const char* text;
    } cases[] = {
        {"unit=0,ram=32", "P U;T 27512;Q",
         "Checking PuU0 as 27512\nInsufficient RAM for requested device type on\nselected unit, max emulated ROM is "
         "#32K-bytes\a\n"},
        // No device answers as unit 1: the open's "no such unit" code, then what the device answered.
        {"unit=0,ram=32", "P U;U 1;T 27256;Q",
         "Checking PuU1 as 27256\nCANNOT ACCESS EMULATOR ON PORT u UNIT 1\nDEVICE FAILURE (SUBCODE 100-5)\a\n"
         "No USB device answers as unit 1\n\\\\.\\QORPELMO0: unit 0\n"},
    };
    for (const Case& c : cases) {
        zam32test::Run r = Batch(c.units, c.line);
        EXPECT_EQ(r.status, 3) << c.line << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.text)) << c.line << "\n" << r.out;
    }
}

// Commands piped to the prompt: the transfers wait (slow bulk), and no waiting
// transfer takes lines from the pipe, which is no console.
TEST_F(UsbProgram, PipedCommandsReachTheUnit) {
    std::string cmd =
        "cd " + Quote(dir.path()) +
        " && printf 'P U\\nT 27256\\nF 0\\nF 5A,0,10\\nS 0,20\\nF 1,10,10\\nS 0,20\\nQN\\n' | env -u ZAM32ARG "
        "-u ZAM32OSCLASS PELMO_SIM_USB='unit=0,ram=256,bulkdelay=20,packet=8' timeout 40 " +
        Quote(std::string(PELMO_BIN_DIR) + "/zam32");
    std::string out;
    EXPECT_EQ(RunCommand(cmd, &out), 0) << out;
    const std::string sum = "PuU0>S 0,20\nComputing Checksum of 00000 - 0001F\n";
    EXPECT_TRUE(Has(out, sum + ChecksumLine(0x5A * 0x10) + "PuU0>F 1,10,10\n")) << out;
    EXPECT_TRUE(Has(out, sum + ChecksumLine(0x5A * 0x10 + 0x10) + "PuU0>QN\n")) << out;
}

// F, S and W on a USB unit, checked against bytes computed here.
TEST_F(UsbProgram, FillChecksumAndWriteOnAUsbUnit) {
    zam32test::Run r =
        Batch("unit=2,ram=1024", "P U;U 2;T 27080;F FF,,,V;F 5A,1000,2000,V;S;S 1000,2000;W f.bin,F00,2200,R;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(0xFFu * (0x100000 - 0x2000) + 0x5Au * 0x2000))) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(0x5Au * 0x2000))) << r.out;
    std::vector<uint8_t> expect(0x2200, 0x5A);
    std::fill(expect.begin(), expect.begin() + 0x100, 0xFF);
    std::fill(expect.end() - 0x100, expect.end(), 0xFF);
    EXPECT_EQ(Bytes("f.bin"), expect);
}

// «U 01» and «T 27256»: a 64 KB set, even bytes in unit 0 and odd ones in unit 1,
// each unit read back on its own.
TEST_F(UsbProgram, InterleavedLanesAcrossTwoUnits) {
    const std::vector<uint8_t> image = RandomImage("i64.bin", 0x10000, 64);
    zam32test::Run r = Batch("unit=1,ram=128;unit=0,ram=256",
                             "P U;U 01;T 27256;L i64.bin,,,,,V;S;W set.bin,,,R;U 0;W u0.bin,,,R;U 1;W u1.bin,,,R;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Checking PuU0 as 27256\nChecking PuU1 as 27256\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Load/Verify Completed with no errors (10000 Bytes Loaded)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(Sum(image)))) << r.out;
    std::vector<uint8_t> even, odd;
    for (size_t i = 0; i < image.size(); ++i) (i % 2 ? odd : even).push_back(image[i]);
    EXPECT_EQ(Bytes("set.bin"), image);
    EXPECT_EQ(Bytes("u0.bin"), even);
    EXPECT_EQ(Bytes("u1.bin"), odd);
}

// Four lanes on units of different sizes and packet sizes; an empty lane reads as
// 0xFF and takes no fill; a new lane order reads the same units in that order.
TEST_F(UsbProgram, FourLanesAndAnEmptyLane) {
    const std::vector<uint8_t> image = RandomImage("i128.bin", 0x20000, 128);
    zam32test::Run r = Batch("unit=3,ram=32;unit=2,ram=64,packet=8;unit=1,ram=32,packet=255;unit=0,ram=128,level=3",
                             "P U;U 0123;T 27256;L i128.bin,,,,,V;S;W all.s37,,,R,S37;U 2;W u2.bin,,,R;"
                             "U -1;T 27256;W m.bin,,,R;F 11,,,V;U 3012;W rot.bin,,,R;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Load/Verify Completed with no errors (20000 Bytes Loaded)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(Sum(image)))) << r.out;
    Srec("all.s37 -motorola -o all.bin -binary");
    EXPECT_EQ(Bytes("all.bin"), image);
    auto lane = [&](size_t k) {
        std::vector<uint8_t> v;
        for (size_t i = k; i < image.size(); i += 4) v.push_back(image[i]);
        return v;
    };
    EXPECT_EQ(Bytes("u2.bin"), lane(2));
    // «U -1»: even bytes nowhere, odd bytes in unit 1.
    std::vector<uint8_t> m;
    for (uint8_t b : lane(1)) m.insert(m.end(), {0xFF, b});
    EXPECT_EQ(Bytes("m.bin"), m);
    // Unit 1 now holds the fill; lanes 3, 0, 1, 2.
    std::vector<uint8_t> rot;
    const std::vector<uint8_t> l3 = lane(3), l0 = lane(0), l2 = lane(2);
    for (size_t i = 0; i < l0.size(); ++i) rot.insert(rot.end(), {l3[i], l0[i], 0x11, l2[i]});
    EXPECT_EQ(Bytes("rot.bin"), rot);
}

// Full folding: every alias of the device in the unit's RAM holds the image, seen
// through a raw 1 MB placement. A Level-3 unit copies the banks itself.
TEST_F(UsbProgram, FullFoldingFillsEveryAlias) {
    struct Case {
        const char* type;
        uint32_t size;
        int level;
    } cases[] = {
        {"2764", 0x2000, 3}, {"27128", 0x4000, 3}, {"27256", 0x8000, 3}, {"27010", 0x20000, 3}, {"27256", 0x8000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " level " + std::to_string(c.level));
        const std::vector<uint8_t> image = RandomImage("img.bin", c.size, c.size + c.level);
        zam32test::Run r =
            Batch("unit=0,ram=1024,level=" + std::to_string(c.level),
                  std::string("P U;T ") + c.type + " ff;L img.bin,,,,,V;L img.bin,,,,,VO;T 27080 nf;W raw.bin,,,R;Q");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(Has(r.out, "Verify Completed with no errors")) << r.out;
        const std::vector<uint8_t> raw = Bytes("raw.bin");
        ASSERT_EQ(raw.size(), 0x100000u) << r.out;
        for (uint32_t a = 0; a < raw.size(); a += c.size)
            ASSERT_TRUE(std::equal(image.begin(), image.end(), raw.begin() + a)) << "copy at " << std::hex << a;
    }
}

// A fill under full folding reaches every alias too; a 2764 is small enough for a
// Level-3 unit to fold even a short fill itself.
TEST_F(UsbProgram, FullFoldingFillReachesEveryAlias) {
    for (int level : {3, 0}) {
        SCOPED_TRACE("level " + std::to_string(level));
        zam32test::Run r = Batch("unit=0,ram=1024,level=" + std::to_string(level),
                                 "P U;T 27080 nf;F 0;T 2764 ff;F 5A,100,200,V;T 27080 nf;W raw.bin,,,R;Q");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(Has(r.out, "Filling 200 bytes at offset 100 with 5A\nFill Completed with no errors\n")) << r.out;
        std::vector<uint8_t> copy(0x2000, 0);
        std::fill(copy.begin() + 0x100, copy.begin() + 0x300, 0x5A);
        const std::vector<uint8_t> raw = Bytes("raw.bin");
        ASSERT_EQ(raw.size(), 0x100000u) << r.out;
        for (uint32_t a = 0; a < raw.size(); a += 0x2000)
            ASSERT_TRUE(std::equal(copy.begin(), copy.end(), raw.begin() + a)) << "copy at " << std::hex << a;
    }
}

// A stuck byte in one alias tells who wrote the copies: a Level-3 unit folds a
// whole image after the verified write (only verify-only finds the bad copy); the
// host writes the copies of a short patch, and every copy on a Level-0 unit, and
// its verified write of that copy fails.
TEST_F(UsbProgram, StuckAliasShowsWhoFolds) {
    const std::vector<uint8_t> image = RandomImage("img.bin", 0x8000, 3);
    // The patch: image bytes 0x100..0x1FF, loaded at their own addresses.
    WriteFile(dir.file("patch.bin"), std::vector<uint8_t>(image.begin() + 0x100, image.begin() + 0x200));
    const uint8_t want = image[0x123];
    const uint8_t stuck = static_cast<uint8_t>(want ^ 0xFF);
    char expected[40];
    std::snprintf(expected, sizeof expected, "EXPECTED %02X, GOT %02X\n", want, stuck);
    struct Case {
        int level;
        const char* load;
        const char* text;
    } cases[] = {
        {3, "L img.bin,,,,,V;L img.bin,,,,,VO",
         "Load/Verify Completed with no errors (8000 Bytes Loaded)\nBinary-File Verify of 8000 bytes from offset 0 "
         "to offset 0\nCOMPARE ERROR IN EMULATOR RAM AT LOCATION 00123\a\n"},
        {3, "L patch.bin,,,100,,V", "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 00123\a\n"},
        {0, "L img.bin,,,,,V", "UNCORRECTABLE ERROR WRITING EMULATOR RAM AT LOCATION 00123\a\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.load) + " level " + std::to_string(c.level));
        zam32test::Run r = Batch(
            "unit=0,ram=1024,fault=stuck:0x48123:0xFF:" + std::to_string(stuck) + ",level=" + std::to_string(c.level),
            std::string("P U;T 27256 ff;") + c.load + ";Q");
        EXPECT_EQ(r.status, 3) << r.out;
        // The echo of the failing line comes between the progress and the error.
        std::string out = r.out;
        for (size_t e; (e = out.find("ENVIRONMENT ZAM32ARG")) != std::string::npos;)
            out.erase(e, out.find('\n', e) + 1 - e);
        EXPECT_TRUE(Has(out, c.text)) << r.out;
        EXPECT_TRUE(Has(out, expected)) << r.out;
    }
}

// A unit fault ends the command with the device failure line of its stage and the
// batch run with status 3; a transfer that never completes ends by its time-out.
TEST_F(UsbProgram, UnitFaultsEndTheBatchRunWithTheDeviceFailureLine) {
    RandomImage("i1m.bin", 0x100000, 1);
    struct Case {
        const char* fault;
        const char* line;
        const char* text;
    } cases[] = {
        // The first bulk transfer of a binary load is the middle of an aligned write.
        {"bulk-fail:1", "L i1m.bin", "DEVICE FAILURE (SUBCODE 502-231)\a\n"},
        {"short-count:1", "L i1m.bin", "DEVICE FAILURE (SUBCODE 502-245)\a\n"},
        {"bulk-hang:1", "L i1m.bin", "DEVICE FAILURE (SUBCODE 502-226)\a\n"},
        // Unplugged during the load, after the check's RAM test (about 1700 commands).
        {"vanish:1800", "L i1m.bin", "DEVICE FAILURE (SUBCODE 502-21)\a\n"},
        // A checksum's first bulk transfer is the middle of an aligned read.
        {"bulk-fail:1", "S", "DEVICE FAILURE (SUBCODE 506-131)\a\n"},
        {"short-bulk:1", "S", "DEVICE FAILURE (SUBCODE 506-145)\a\n"},
        {"bulk-fail:1", "W o.s37,,,R,S37", "DEVICE FAILURE (SUBCODE 505-131)\a\n"},
        // The status command at open is refused: no unit answers as unit 0.
        {"bad-status:1", "S",
         "CANNOT ACCESS EMULATOR ON PORT u UNIT 0\nDEVICE FAILURE (SUBCODE 100-5)\a\n"
         "No USB device answers as unit 0\n\\\\.\\QORPELMO0: the status command failed with code 45\n"},
    };
    for (const Case& c : cases) {
        zam32test::Run r =
            Batch(std::string("unit=0,ram=1024,fault=") + c.fault, std::string("P U;T 27080;") + c.line + ";Q");
        EXPECT_EQ(r.status, 3) << c.fault << " " << c.line << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.text)) << c.fault << " " << c.line << "\n" << r.out;
    }
}

}  // namespace
