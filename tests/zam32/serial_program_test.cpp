// The built console program on simulated serial units: `pelmosim serial` serves a
// unit on a pseudo-terminal, zam32 reaches it through ZAMCOMn like any tty, with
// images made and checked by srec_cat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "pelmosim_process.h"
#include "zam32_run.h"

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::WriteFile;
using zam32test::Quote;

using zam32test::PelmoSim;

namespace {

class SerialProgram : public ::testing::Test {
protected:
    // One batch run with `env` (NAME=value ...) in its environment and `line` as ZAM32ARG.
    // A hang shows as status 124 (the guard's time limit), never as a stuck test.
    zam32test::Run Batch(const std::string& env, const std::string& line) {
        zam32test::Options o;
        const std::string arg = "/b " + line;
        o.zam32arg = arg.c_str();
        return zam32test::RunZam32(dir.path(), o, env, 120);
    }
    void Srec(const std::string& args) { testsupport::SrecCat(dir.path(), args); }
    static bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }
    std::string Missing() const { return dir.file("no-such-tty"); }
    testsupport::TempDir dir;
};

// 64 KB made by srec_cat as S-records, loaded with verify into a simulated 27512 over
// the paced line, summed, written back as S28 and compared through srec_cat.
TEST_F(SerialProgram, LoadVerifyChecksumAndWriteBack) {
    if (!testsupport::HaveProgram("srec_cat")) GTEST_SKIP() << "srec_cat not installed";
    Srec("-generate 0 0x10000 -random -execution-start-address=0 -o image.s28 -address-length=3");
    Srec("image.s28 -o expect.bin -binary");
    const std::vector<uint8_t> expect = ReadFile(dir.file("expect.bin"));
    ASSERT_EQ(expect.size(), 0x10000u);

    PelmoSim unit({"ram=64"});
    ASSERT_FALSE(unit.path().empty());
    zam32test::Run r = Batch("ZAMBPS=921600 ZAMCOM1=" + Quote(unit.path()),
                             "P C1;T 27512;L image.s28,,,,,V;S;W out.s28,,,R,S28;L image.s28,,,,,VO;Q");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Checking Pc1U0 as 27512")) << r.out;
    EXPECT_TRUE(Has(r.out, "Load/Verify Completed with no errors (10000 Bytes Loaded)")) << r.out;
    EXPECT_TRUE(Has(r.out, "Verify Completed with no errors")) << r.out;
    EXPECT_FALSE(Has(r.out, "FAILURE")) << r.out;
    uint32_t sum = std::accumulate(expect.begin(), expect.end(), 0u);
    char line[40];
    std::snprintf(line, sizeof line, "CHECKSUM = %04X-%04X\n", sum >> 16, sum & 0xFFFF);
    EXPECT_TRUE(Has(r.out, line)) << r.out;

    Srec("out.s28 -o back.bin -binary");
    EXPECT_EQ(ReadFile(dir.file("back.bin")), expect);
    std::string cmp;
    EXPECT_EQ(RunCommand("cd " + Quote(dir.path()) + " && srec_cmp out.s28 image.s28", &cmp), 0) << cmp;
    EXPECT_EQ(unit.Stop(), 0);
}

// A port that cannot be opened: the failure line, then which device and why.
TEST_F(SerialProgram, PortsThatCannotBeOpenedSayWhy) {
    PelmoSim unit({"ram=32"});
    ASSERT_FALSE(unit.path().empty());
    testsupport::WriteText(dir.file("plain"), "not a tty");
    // Another program holds the unit's tty.
    int held = -1, err = 0;
    ASSERT_EQ(SerialPortOpen(unit.path().c_str(), 9600, 0, &held, &err), SERIAL_PORT_OK);
    struct Case {
        std::string path;
        const char* why;
    } cases[] = {
        {Missing(), "no such device"},
        {dir.file("plain"), "not a serial port"},
        {unit.path(), "in use by another program"},
    };
    for (const Case& c : cases) {
        zam32test::Run r = Batch("ZAMCOM1=" + Quote(c.path), "P C1;T 27256;Q");
        EXPECT_TRUE(Has(r.out,
                        "CANNOT ACCESS EMULATOR ON PORT c1 UNIT 0\nSerial Port is NOT OPERATIONAL\a\n"
                        "COM1 (" +
                            c.path + "): " + c.why + "\n"))
            << c.why << "\n"
            << r.out;
    }
    SerialPortClose(held);
    zam32test::Run r = Batch("ZAMBPS=921600 ZAMCOM1=" + Quote(unit.path()), "P C1;T 27256;Q");
    EXPECT_FALSE(Has(r.out, "NOT OPERATIONAL")) << r.out;
}

// What the user sees when a unit cannot be reached or fails while it is opened.
TEST_F(SerialProgram, OpenFailuresAreShownWithTheirCode) {
    struct Case {
        const char* what;
        const char* options;  // unit options; null: no unit, ZAMCOM1 names a missing file
        const char* bps;
        const char* text;
    } cases[] = {
        {"bad ZAMBPS", "ram=64", "49", "CANNOT ACCESS EMULATOR ON PORT c1 UNIT 0\nDEVICE FAILURE (SUBCODE 100-5)\a\n"},
        {"three bad answers", "ram=64,fault=bad-header:1,fault=bad-crc:2,fault=garbage:3", "115200",
         "DEVICE FAILURE (SUBCODE 100-7)\a\n"},
        {"refused status", "ram=64,fault=refuse:1", "115200", "DEVICE FAILURE (SUBCODE 100-12)\a\n"},
        {"gone before the answer", "ram=64,fault=vanish:1", "115200", "DEVICE FAILURE (SUBCODE 100-11)\a\n"},
        {"gone in the data", "ram=64,fault=cut-data:1", "115200", "DEVICE FAILURE (SUBCODE 100-13)\a\n"},
        {"gone before the CRC", "ram=64,fault=cut-crc:1", "115200", "DEVICE FAILURE (SUBCODE 100-14)\a\n"},
        {"gone at the break", "ram=64,fault=drop:1,fault=vanish-at-resync:0", "115200",
         "DEVICE FAILURE (SUBCODE 100-15)\a\n"},
    };
    for (const Case& c : cases) {
        std::string path = Missing();
        std::unique_ptr<PelmoSim> unit;
        if (c.options) {
            unit = std::make_unique<PelmoSim>(std::vector<std::string>{c.options});
            ASSERT_FALSE(unit->path().empty()) << c.what;
            path = unit->path();
        }
        zam32test::Run r = Batch(std::string("ZAMBPS=") + c.bps + " ZAMCOM1=" + Quote(path), "P C1;T 27256;Q");
        EXPECT_NE(r.status, 0) << c.what << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.text)) << c.what << "\n" << r.out;
    }
}

// The unit goes away, or stops listening, halfway through a load: the load fails
// with the step's code and says nothing about completing.
TEST_F(SerialProgram, UnitFailingDuringTheLoad) {
    std::vector<uint8_t> image = testsupport::RandomBytes(0x8000, 21);
    WriteFile(dir.file("image.bin"), image);
    // Opening and sizing a 32 KB unit takes 300 commands; 301 writes the image, 302 verifies it.
    struct Case {
        const char* fault;
        std::vector<int> codes;  // what the host may have noticed first
    } cases[] = {
        {"fault=vanish:302", {8, 9, 10, 11}},
        {"fault=deaf:301", {9}},
    };
    for (const Case& c : cases) {
        PelmoSim unit({"ram=32", c.fault});
        ASSERT_FALSE(unit.path().empty());
        zam32test::Run r = Batch("ZAMBPS=921600 ZAMCOM1=" + Quote(unit.path()), "P C1;T 27256;L image.bin,,,,,V;Q");
        EXPECT_TRUE(Has(r.out, "Checking Pc1U0 as 27256")) << c.fault << "\n" << r.out;
        EXPECT_FALSE(Has(r.out, "Completed")) << c.fault << "\n" << r.out;
        bool named = false;
        for (int code : c.codes) named |= Has(r.out, "DEVICE FAILURE (SUBCODE 502-" + std::to_string(code) + ")");
        EXPECT_TRUE(named) << c.fault << "\n" << r.out;
        EXPECT_EQ(unit.Stop(), 0) << "a unit that failed still ends cleanly";
    }
}

// «P C?» tries COM1..9, unit 0 only: the unit's size where one answers; a port that
// cannot be opened ends its row. The unit found becomes the selection.
TEST_F(SerialProgram, ScanOfTheComPorts) {
    PelmoSim unit({"ram=128"});
    ASSERT_FALSE(unit.path().empty());
    std::string env = "ZAMBPS=921600 ZAMCOM3=" + Quote(unit.path());
    for (int n : {1, 2, 4, 5, 6, 7, 8, 9}) env += " ZAMCOM" + std::to_string(n) + "=" + Quote(Missing());
    zam32test::Run r = Batch(env, "P C?;?;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out,
                    "Scanning all COM ports\n \\ U    0    1    2    3\nP \\\n"
                    "c1      \nc2      \nc3      1M   \nc4      \nc5      \nc6      \nc7      \nc8      \n"
                    "c9      \n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "c3     0    (none)\n")) << r.out;
}

// A unit that never answers costs its three attempts (about 16 s) and ends its row;
// the scan goes on to the next port.
TEST_F(SerialProgram, ScanPastASilentPort) {
    PelmoSim silent({"ram=64", "dead=1"});
    PelmoSim unit({"ram=32"});
    ASSERT_FALSE(silent.path().empty());
    ASSERT_FALSE(unit.path().empty());
    std::string env = "ZAMBPS=921600 ZAMCOM1=" + Quote(silent.path()) + " ZAMCOM2=" + Quote(unit.path());
    for (int n = 3; n <= 9; ++n) env += " ZAMCOM" + std::to_string(n) + "=" + Quote(Missing());
    zam32test::Run r = Batch(env, "P C?;Q");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "P \\\nc1      \nc2      256K \nc3      \n")) << r.out;
}

// Esc typed on the terminal while zam32 waits for a unit that never answers.
TEST_F(SerialProgram, EscOnTheTerminalCancelsTheOpen) {
    PelmoSim unit({"ram=64", "dead=1"});
    ASSERT_FALSE(unit.path().empty());
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        unsetenv("ZAM32ARG");
        unsetenv("ZAM32OSCLASS");
        unsetenv("ZAMBPS");
        setenv("ZAMCOM1", unit.path().c_str(), 1);
        execl(PELMO_BIN_DIR "/zam32", "zam32", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string all;
    auto readUntil = [&](const std::string& text, int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (all.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            all.append(buf, static_cast<size_t>(n));
        }
        return all.find(text) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("Pl1U0>", 10)) << all;
    ASSERT_EQ(write(master, "p c1\r", 5), 5);
    ASSERT_TRUE(readUntil("Pc1U0>", 10)) << all;
    ASSERT_EQ(write(master, "t 27256\r", 8), 8);
    ASSERT_TRUE(readUntil("Checking Pc1U0 as 27256", 10)) << all;
    usleep(300000);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(master, "\x1b", 1), 1);
    EXPECT_TRUE(readUntil("[CANCELLED SUBCODE 100-4]", 10)) << all;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 5000) << "cancelled, not timed out";
    ASSERT_EQ(write(master, "qn\r", 3), 3);
    readUntil("\x04", 2);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(master);
}

// The unit's own end: SIGTERM and SIGINT end it cleanly, and with --exit-when-closed
// it ends once the host has closed the line for good.
TEST_F(SerialProgram, SimulatorEnds) {
    {
        PelmoSim unit({"ram=32"});
        ASSERT_FALSE(unit.path().empty());
        EXPECT_EQ(unit.Stop(), 0);
    }
    {
        PelmoSim unit({"--exit-when-closed=300", "ram=32"});
        ASSERT_FALSE(unit.path().empty());
        EXPECT_FALSE(unit.Ended(300)) << "no host has opened the line yet";
        zam32test::Run r = Batch("ZAMBPS=921600 ZAMCOM1=" + Quote(unit.path()), "P C1;T 27256;Q");
        EXPECT_TRUE(Has(r.out, "Checking Pc1U0 as 27256")) << r.out;
        EXPECT_FALSE(Has(r.out, "FAILURE")) << r.out;
        EXPECT_TRUE(unit.Ended(5000));
    }
    std::string out;
    EXPECT_EQ(RunCommand(Quote(std::string(PELMO_BIN_DIR) + "/pelmosim") + " serial ram=33", &out), 2) << out;
    EXPECT_TRUE(Has(out, "bad serial unit option \"ram=33\"")) << out;
}

}  // namespace
