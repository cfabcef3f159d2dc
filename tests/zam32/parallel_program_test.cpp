// The built console program on simulated printer ports (PELMO_SIM_LPT): the
// whole path through the link layer, the parallel transport and the register
// interface, with images made and checked by srec_cat.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "zam32_run.h"

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;
using zam32test::Quote;

namespace {

class ParallelProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat not installed";
    }
    // One run with `units` on the simulated ports: `line` as a batch ZAM32ARG, or
    // `input` typed at the prompt. LPT2 and LPT4 lead to devices that do not exist,
    // so the result does not depend on the machine's printer ports.
    zam32test::Run Run(const std::string& units, const std::string& line, const char* osClass = nullptr,
                       const char* input = nullptr, const std::string& extraEnv = "") {
        zam32test::Options o;
        const std::string arg = "/b " + line;
        if (!line.empty()) o.zam32arg = arg.c_str();
        o.osClass = osClass;
        o.input = input;
        return zam32test::RunZam32(dir.path(), o,
                                   "ZAMLPT2=/nonexistent/parport1 ZAMLPT4=/nonexistent/parport3 PELMO_SIM_LPT=" +
                                       Quote(units) + " " + extraEnv,
                                   60);
    }
    void Srec(const std::string& args) { testsupport::SrecCat(dir.path(), args); }
    std::vector<uint8_t> Bytes(const std::string& name) { return ReadFile(dir.file(name)); }
    static std::string ChecksumLine(const std::vector<uint8_t>& v) {
        uint32_t sum = std::accumulate(v.begin(), v.end(), 0u);
        char buf[40];
        std::snprintf(buf, sizeof buf, "CHECKSUM = %04X-%04X\n", sum >> 16, sum & 0xFFFF);
        return buf;
    }
    static bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }
    testsupport::TempDir dir;
};

// 64 KB made by srec_cat, loaded with verify into a simulated 27512 on «P 378»,
// summed, written back as HEX and read back by srec_cat.
TEST_F(ParallelProgram, HexImageLoadChecksumAndWriteBack) {
    Srec("-generate 0 0x10000 -random -o image.hex -intel");
    Srec("image.hex -intel -o expect.bin -binary");
    const std::vector<uint8_t> expect = Bytes("expect.bin");
    ASSERT_EQ(expect.size(), 0x10000u);

    zam32test::Run r = Run("port=378,unit=0,ram=128", "P 378;T 27512;L image.hex,,,,,V;S;W out.hex,,,R,H;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Checking Pl378U0 as 27512\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Load/Verify Completed with no errors (10000 Bytes Loaded)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(expect))) << r.out;
    EXPECT_TRUE(Has(r.out, "Putting 10000 bytes into HEX format file\n")) << r.out;
    Srec("out.hex -intel -o back.bin -binary");
    EXPECT_EQ(Bytes("back.bin"), expect);
}

// «U 01» with «T 27256»: two 32 KB units on one port form a 64 KB set, even
// bytes in unit 0 and odd ones in unit 1, each seen alone afterwards.
TEST_F(ParallelProgram, TwoUnitsInterleavedOnOnePort) {
    Srec("-generate 0 0x10000 -random -o i64.bin -binary");
    const std::vector<uint8_t> image = Bytes("i64.bin");
    zam32test::Run r = Run("port=378,unit=0,ram=32;port=378,unit=1,ram=64",
                           "P L378;U 01;T 27256;L i64.bin,,,,,V;S;W set.bin,,,R;U 0;W u0.bin,,,R;U 1;W u1.bin,,,R;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Checking Pl378U0 as 27256\nChecking Pl378U1 as 27256\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Load/Verify Completed with no errors (10000 Bytes Loaded)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, ChecksumLine(image))) << r.out;
    EXPECT_EQ(Bytes("set.bin"), image);
    std::vector<uint8_t> even, odd;
    for (size_t i = 0; i < image.size(); ++i) (i % 2 ? odd : even).push_back(image[i]);
    EXPECT_EQ(Bytes("u0.bin"), even);
    EXPECT_EQ(Bytes("u1.bin"), odd);
}

// The scan table: RAM in bits per unit, "-" where no unit answers, a row that
// ends where the port itself cannot be used; the first unit found is selected.
TEST_F(ParallelProgram, ScanRows) {
    struct Case {
        const char* units;
        const char* line;
        const char* heading;
        const char* table;
        const char* check;
    } cases[] = {
        {"port=378,unit=0,ram=128;port=378,unit=1,ram=64;port=3bc,unit=3,ram=32", "P ?",
         "Scanning all parallel ports with default delay\n",
         "l1      1M   512K -    -    \nl2      \nl3      -    -    -    256K \nl4      \n",
         "Checking Pl1U0 as 27256\n"},
        {"port=3bc,unit=2,ram=1024;port=378,unit=none", "P l?,7", "Scanning all parallel ports with delay of 7\n",
         "l1      -    -    -    -    \nl2      \nl3      -    -    8M   -    \nl4      \n",
         "Checking Pl3U2 as 27256\n"},
        // A port whose self-test fails ends its row at once.
        {"port=378,unit=0,noreadback=55;port=3bc,unit=1,ram=256", "P ?",
         "Scanning all parallel ports with default delay\n",
         "l1      \nl2      \nl3      -    2M   -    -    \nl4      \n", "Checking Pl3U1 as 27256\n"},
    };
    for (const Case& c : cases) {
        zam32test::Run r = Run(c.units, std::string(c.line) + ";T 27256;Q");
        EXPECT_EQ(r.status, 0) << c.units << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, std::string(c.heading) + " \\ U    0    1    2    3\nP \\\n" + c.table))
            << c.units << "\n"
            << r.out;
        EXPECT_TRUE(Has(r.out, c.check)) << c.units << "\n" << r.out;
    }
}

// Every open failure the user can meet, with the line that says why.
TEST_F(ParallelProgram, OpenFailuresTellWhy) {
    struct Case {
        const char* units;
        const char* port;
        const char* text;
    } cases[] = {
        {"port=378,unit=none", "378",
         "CANNOT ACCESS EMULATOR ON PORT l378 UNIT 0\nDEVICE FAILURE (SUBCODE 100-5)\a\n"
         "No unit 0 answers on port 378: sent 55, echo FF\n"},
        {"port=378,unit=0,echo=22", "378",
         "DEVICE FAILURE (SUBCODE 100-5)\a\nNo unit 0 answers on port 378: sent 22, echo 23\n"},
        {"port=378,unit=0,idbit=0", "378",
         "DEVICE FAILURE (SUBCODE 100-5)\a\nUnit 0 on port 378 gave identity bits FE00, not FE01 or EF10\n"},
        {"port=378,unit=0,noreadback=aa", "378",
         "CANNOT ACCESS EMULATOR ON PORT l378 UNIT 0\nParallel Port is NOT OPERATIONAL\a\n"
         "Port 378 failed its self-test: wrote AA, read back FF\n"},
        {"port=378,unit=0,databit=7:1", "378",
         "Parallel Port is NOT OPERATIONAL\a\nPort 378 failed its self-test: wrote 55, read back D5\n"},
        {"port=378,unit=0", "L2",
         "CANNOT ACCESS EMULATOR ON PORT l2 UNIT 0\nParallel Port is NOT OPERATIONAL\a\n"
         "LPT2 (/nonexistent/parport1): no such parallel port device: No such file or directory\n"},
        {"port=378,unit=0,ram=100", "378",
         "Parallel Port is NOT OPERATIONAL\a\nPort 378: simulated port configuration is invalid: PELMO_SIM_LPT "
         "option \"ram=100\": RAM must be a power of two from 32 to 1024 KB\n"},
    };
    for (const Case& c : cases) {
        zam32test::Run r = Run(c.units, std::string("P ") + c.port + ";T 256;Q");
        EXPECT_EQ(r.status, 3) << c.units << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.text)) << c.units << "\n" << r.out;
    }
}

// The delay argument of P: option 7 runs as -7, every timed write 8 times at the
// port; the list shows the slot's delay beside the effective one.
TEST_F(ParallelProgram, DelayArgumentReachesThePort) {
    zam32test::Run r =
        Run("port=378,unit=0,ram=64", "P 378,7;T 27256;?????;Q", nullptr, nullptr, "PELMO_SIM_LPT_TRACE=trace.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "l378,-7")) << r.out;
    EXPECT_TRUE(Has(r.out, "Delay:  7=-7 ")) << r.out;
    // Control-register runs after the open: 8 long, or the single 0x0C of a release.
    std::string trace = testsupport::ReadText(dir.file("trace.txt"));
    std::map<size_t, size_t> runs;
    std::string last;
    size_t length = 0;
    size_t pos = 0;
    while (pos < trace.size()) {
        size_t end = trace.find('\n', pos);
        std::string line = trace.substr(pos, end - pos);
        pos = end + 1;
        if (line == last) {
            ++length;
            continue;
        }
        if (length && last.rfind("W 37A", 0) == 0) ++runs[length];
        last = line;
        length = 1;
    }
    if (length && last.rfind("W 37A", 0) == 0) ++runs[length];
    ASSERT_FALSE(runs.empty());
    for (const auto& [len, count] : runs) EXPECT_TRUE(len == 8 || len == 1) << "a run of " << len;
    EXPECT_GT(runs[8], 100u);
}

// On the NT family parallel ports are refused by P, "?" alone scans USB and
// "l?" lists the ports without opening them: no parallel port is touched even
// where a unit would answer.
TEST_F(ParallelProgram, NtClassRefusesParallelPorts) {
    zam32test::Run r = Run("port=378,unit=0", "", "1", "p 378\np l1\np ?\np l?\nt 256\n?????\nquitn\n",
                           "PELMO_SIM_LPT_TRACE=trace.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "COMMAND ERROR NEAR \"378\"\nINVALID PORT SELECTION\a\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "COMMAND ERROR NEAR \"l1\"\nINVALID PORT SELECTION\a\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Scanning for USB devices\n")) << r.out;
    // An explicit parallel scan lists the ports but opens none of them.
    EXPECT_TRUE(Has(r.out,
                    "Scanning all parallel ports with default delay\n \\ U    0    1    2    3\nP \\\n"
                    "l1      \nl2      \nl3      \nl4      \n"))
        << r.out;
    EXPECT_FALSE(Has(r.out, "Checking Pl")) << r.out;
    EXPECT_EQ(testsupport::ReadText(dir.file("trace.txt")), "");
}

// Four units on one port as one 128 KB set: fill and checksum reach every lane,
// and R drives each unit's reset line through the mode bytes it is sent.
TEST_F(ParallelProgram, FourLanesFillChecksumAndReset) {
    zam32test::Run r = Run("port=278,unit=3,ram=32;port=278,unit=2,ram=64;port=278,unit=1,ram=128;port=278,unit=0",
                           "P L2;U 0123;T 27256;F 5A;S;F 0,1,1;S;R;R HZ;Q", nullptr, nullptr,
                           "ZAMLPT2= PELMO_SIM_LPT_TRACE=trace.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out,
                    "Checking Pl2U0 as 27256\nChecking Pl2U1 as 27256\nChecking Pl2U2 as 27256\n"
                    "Checking Pl2U3 as 27256\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "Filling 20000 bytes at offset 0 with 5A\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "CHECKSUM = 00B4-0000\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "CHECKSUM = 00B3-FFA6\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Pulsing Unit 3 Reset Line LOW\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Unit 3 Reset Line Set HIGH\n")) << r.out;

    // The last mode byte each unit saw carries HIGH (0x08) in its reset bits.
    std::string trace = testsupport::ReadText(dir.file("trace.txt"));
    int lastMode[4] = {-1, -1, -1, -1};
    unsigned data = 0, control = 0x0C;
    size_t pos = 0;
    while (pos < trace.size()) {
        size_t end = trace.find('\n', pos);
        char kind = 0;
        unsigned reg = 0, value = 0;
        if (std::sscanf(trace.substr(pos, end - pos).c_str(), "%c %X %X", &kind, &reg, &value) == 3 && kind == 'W') {
            if (reg == 0x278) data = value;
            if (reg == 0x27A) {
                if (control == 0x09 && value == 0x0B) lastMode[data >> 6] = static_cast<int>(data);
                control = value;
            }
        }
        pos = end + 1;
    }
    for (int u = 0; u < 4; ++u) {
        ASSERT_GE(lastMode[u], 0) << u;
        EXPECT_EQ(lastMode[u] & 0x18, 0x08) << "unit " << u;
        EXPECT_EQ(lastMode[u] & 7, 0) << "unit " << u << " left idle";
    }
}

}  // namespace
