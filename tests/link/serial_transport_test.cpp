// Serial units end to end inside one process: link handles over the serial
// transport and the tty layer, to a simulated unit served on a pseudo-terminal
// (a real tty) by a thread of the test, with the unit's faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "link/ram.h"
#include "link/serial.h"
#include "platform/serial.h"
#include "sim/serial_unit.h"
#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t MsSince(Clock::time_point t) {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A simulated unit on its own pty, served by a thread until the object goes.
class SimLine {
public:
    explicit SimLine(const std::string& options) {
        sim::SerialUnitOptions o;
        std::string error;
        EXPECT_TRUE(sim::ParseSerialUnitOptions(options, &o, &error)) << error;
        unit_ = std::make_unique<sim::SerialUnit>(o);
        EXPECT_TRUE(unit_->open(&path_, &error)) << error;
        thread_ = std::thread([this] { unit_->serve(); });
    }
    ~SimLine() {
        unit_->stop();
        thread_.join();
    }
    sim::SerialUnit& unit() { return *unit_; }
    const std::string& path() const { return path_; }

private:
    std::unique_ptr<sim::SerialUnit> unit_;
    std::string path_;
    std::thread thread_;
};

class SerialUnits : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        setenv("ZAMBPS", "921600", 1);
        // Waits a fifth of their length (a second for an answer), so that time-outs
        // come quickly and a loaded machine still answers in time.
        SerialTimings t;
        t.settleMs = 0;
        t.resyncPauseMs = 20;
        t.waitDivisor = 5;
        SerialSetTimings(t);
        SerialTakeLongestWaitMs();
    }
    void TearDown() override { Reset(); }
    static void Reset() {
        ZAMCloseAll();
        SerialSetTimings(SerialTimings{});
        SerialSetConsole(-1);
        unsetenv("ZAMBPS");
        for (int n = 0; n <= 99; ++n) unsetenv(("ZAMCOM" + std::to_string(n)).c_str());
    }
    static void Port(uint32_t com, const std::string& path) {
        setenv(("ZAMCOM" + std::to_string(com)).c_str(), path.c_str(), 1);
    }
    static uint32_t Open(uint32_t com, uint32_t* handle, std::string* why = nullptr) {
        return ZAMInit(handle, SELECT_SERIAL | com, 0, 0, 0, why);
    }
    static SerialRecord* RecordOf(uint32_t h) { return static_cast<SerialRecord*>(ZAMLookup(h)->impl); }
    static bool AllRecordsFree() {
        for (uint32_t i = 0; i < SERIAL_RECORD_COUNT; ++i)
            if (SerialRecords()[i].port >= 0) return false;
        return true;
    }
};

TEST(SerialBaud, ZambpsValues) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t baud;
    } cases[] = {
        {"115200", true, 115200},
        {"0x1C200", true, 115200},
        {"0X1c200", true, 115200},
        {"  +9600", true, 9600},
        {"0300", true, 192},
        {"50", true, 50},
        {"921600", true, 921600},
        {"250000", true, 250000},
        {"115200x", false, 0},
        {"49", false, 0},
        {"1000000", false, 0},
        {"921601", false, 0},
        {"-57600", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"0x", false, 0},
        {"08", false, 0},
        {"9600 ", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t baud = 7;
        EXPECT_EQ(SerialParseBaud(c.text, &baud), c.ok) << '"' << c.text << '"';
        if (c.ok) EXPECT_EQ(baud, c.baud) << c.text;
        else EXPECT_EQ(baud, 7u) << c.text;
    }
}

TEST_F(SerialUnits, PortPathFromEnvironmentOrTtyS) {
    EXPECT_EQ(SerialPortPath(1), "/dev/ttyS0");
    EXPECT_EQ(SerialPortPath(98), "/dev/ttyS97");
    Port(12, "/dev/pts/77");
    EXPECT_EQ(SerialPortPath(12), "/dev/pts/77");
    EXPECT_EQ(SerialPortPath(1), "/dev/ttyS0");
}

// The rate reaches the line (the unit reads it from the pty) or the open fails with 5
// before the port is touched.
TEST_F(SerialUnits, OpenAtTheZambpsRate) {
    struct Case {
        const char* bps;  // null: unset
        uint32_t code;
        uint32_t baud;
    } cases[] = {
        {nullptr, LINK_OK, 57600},     {"115200", LINK_OK, 115200},        {"0x1C200", LINK_OK, 115200},
        {"250000", LINK_OK, 250000},   {"921600", LINK_OK, 921600},        {"115200x", LINK_NOT_AVAILABLE, 0},
        {"49", LINK_NOT_AVAILABLE, 0}, {"1000000", LINK_NOT_AVAILABLE, 0},
    };
    for (const Case& c : cases) {
        SimLine line("ram=64,pace=0");
        Port(3, line.path());
        if (c.bps) setenv("ZAMBPS", c.bps, 1);
        else unsetenv("ZAMBPS");
        uint32_t h = 0;
        ASSERT_EQ(Open(3, &h), c.code) << (c.bps ? c.bps : "unset");
        if (c.code == LINK_OK) {
            EXPECT_EQ(RecordOf(h)->baud, c.baud);
            EXPECT_EQ(RecordOf(h)->byteTime, 10000000 / c.baud);
            EXPECT_EQ(line.unit().baud(), c.baud);
            EXPECT_EQ(line.unit().commands(), 1u);  // the status command
            ZAMClose(h);
        } else {
            EXPECT_EQ(line.unit().commands(), 0u);
            EXPECT_EQ(ZAMLookup(LINK_HANDLE_BASE), nullptr);
        }
        EXPECT_TRUE(AllRecordsFree());
    }
}

TEST_F(SerialUnits, ComNumbersOutOfRangeTouchNothing) {
    SimLine line("ram=64");
    for (uint32_t com : {0u, 99u, 0x3FFFFFFFu}) {
        Port(com, line.path());
        uint32_t h = 0;
        EXPECT_EQ(Open(com, &h), LINK_INVALID) << com;
    }
    EXPECT_EQ(line.unit().commands(), 0u);
    EXPECT_TRUE(AllRecordsFree());
}

TEST_F(SerialUnits, StatusGivesLevelAndIdentity) {
    SimLine line("ram=128,level=3,id=0xBEEF");
    Port(1, line.path());
    uint32_t h = 0;
    ASSERT_EQ(Open(1, &h), LINK_OK);
    EXPECT_EQ(ZAMGetLevel(h), 3u);
    EXPECT_EQ(ZAMGetInfo(h), 0xBEEFu);
    EXPECT_EQ(RecordOf(h)->com, 1u);
}

// Every handle on one COM port shares its record; the port stays open for the others
// until the last handle closes.
TEST_F(SerialUnits, HandlesOnOnePortShareOneRecord) {
    SimLine line("ram=64");
    Port(2, line.path());
    uint32_t a = 0, b = 0;
    ASSERT_EQ(Open(2, &a), LINK_OK);
    ASSERT_EQ(Open(2, &b), LINK_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(RecordOf(a), RecordOf(b));
    EXPECT_EQ(RecordOf(a)->users, 2u);
    EXPECT_EQ(line.unit().commands(), 1u);  // one open of the port, one status command
    ZAMClose(a);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(ZAMWrite(b, 0x100, data, 3), LINK_OK);
    uint8_t back[3] = {};
    EXPECT_EQ(ZAMRead(b, back, 0x100, 3), LINK_OK);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>(data, data + 3));
    ZAMClose(b);
    EXPECT_TRUE(AllRecordsFree());
}

TEST_F(SerialUnits, PortsThatCannotBeOpened) {
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("plain"), "not a tty");
    SimLine line("ram=64");
    struct Case {
        const char* what;
        std::string path;
        uint32_t result;
        const char* why;
    } cases[] = {
        {"missing", dir.file("ttyNONE"), SERIAL_PORT_MISSING, "no such device"},
        {"plain file", dir.file("plain"), SERIAL_PORT_NOT_TTY, "not a serial port"},
        {"directory", dir.path(), SERIAL_PORT_FAILED, std::strerror(EISDIR)},
    };
    for (const Case& c : cases) {
        Port(4, c.path);
        uint32_t h = 0;
        std::string why;
        EXPECT_EQ(Open(4, &h, &why), LINK_NOT_WORKING) << c.what;
        EXPECT_EQ(why, "COM4 (" + c.path + "): " + c.why + "\n") << c.what;
        EXPECT_TRUE(AllRecordsFree()) << c.what;
        SerialRecord* r = nullptr;
        SerialOpenFailure f;
        EXPECT_EQ(SerialOpen(4, &r, &f), LINK_NOT_WORKING) << c.what;
        EXPECT_EQ(f.result, c.result) << c.what;
        EXPECT_EQ(SerialOpenFailureText(f), why) << c.what;
    }
    // The same tty under a second COM number is busy while the first holds it.
    Port(5, line.path());
    Port(6, line.path());
    uint32_t first = 0, second = 0;
    std::string why;
    ASSERT_EQ(Open(5, &first), LINK_OK);
    EXPECT_EQ(Open(6, &second, &why), LINK_NOT_WORKING);
    EXPECT_EQ(why, "COM6 (" + line.path() + "): in use by another program\n");
    ZAMClose(first);
    EXPECT_EQ(Open(6, &second, &why), LINK_OK);
    EXPECT_EQ(why, "");
}

// Each open hands back its own reason: opens of other ports failing for other
// reasons in turn, a good open or a status-command failure in between, never
// show the reason of an earlier open.
TEST_F(SerialUnits, EachOpenReportsItsOwnReason) {
    testsupport::TempDir dir;
    testsupport::WriteText(dir.file("plain"), "not a tty");
    SimLine good("ram=64");
    SimLine refusing("ram=64,fault=refuse:1");
    Port(1, dir.file("ttyNONE"));
    Port(2, dir.file("plain"));
    Port(3, good.path());
    Port(4, refusing.path());
    struct Step {
        uint32_t com;
        const char* bps;  // ZAMBPS, or null
        uint32_t code;
        std::string why;
    } steps[] = {
        {1, nullptr, LINK_NOT_WORKING, "COM1 (" + dir.file("ttyNONE") + "): no such device\n"},
        {2, nullptr, LINK_NOT_WORKING, "COM2 (" + dir.file("plain") + "): not a serial port\n"},
        {1, "49", LINK_NOT_AVAILABLE, "ZAMBPS '49' is not a rate between 50 and 921600\n"},
        {2, nullptr, LINK_NOT_WORKING, "COM2 (" + dir.file("plain") + "): not a serial port\n"},
        {3, nullptr, LINK_OK, ""},
        {4, nullptr, LINK_SER_BAD_STATUS, ""},
        {1, nullptr, LINK_NOT_WORKING, "COM1 (" + dir.file("ttyNONE") + "): no such device\n"},
        {4, nullptr, LINK_OK, ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE("COM" + std::to_string(s.com) + " ZAMBPS=" + (s.bps ? s.bps : "(none)"));
        if (s.bps) setenv("ZAMBPS", s.bps, 1);
        else unsetenv("ZAMBPS");
        uint32_t h = 0;
        std::string why = "left from before";
        EXPECT_EQ(Open(s.com, &h, &why), s.code);
        EXPECT_EQ(why, s.why);
        if (s.code == LINK_OK) ZAMClose(h);
    }
    EXPECT_TRUE(AllRecordsFree());
}

TEST_F(SerialUnits, OperationsReachTheUnit) {
    // Bit 0 of byte 0x20010 always reads 0.
    SimLine line("ram=256,pace=0,fault=stuck:0x20010:1:0");
    Port(1, line.path());
    uint32_t h = 0;
    ASSERT_EQ(Open(1, &h), LINK_OK);
    sim::UnitModel& m = line.unit().model();

    uint32_t maxK = 0;
    ASSERT_EQ(RamTestUnit(h, &maxK), LINK_OK);
    EXPECT_EQ(maxK, 256u);

    // Across a bank boundary: two write pieces, two read pieces.
    std::vector<uint8_t> image = testsupport::RandomBytes(0x9000, 5);
    ASSERT_EQ(ZAMWrite(h, 0x7000, image.data(), static_cast<uint32_t>(image.size())), LINK_OK);
    for (uint32_t i = 0; i < image.size(); i += 0x777) EXPECT_EQ(m.raw(0x7000 + i), image[i]) << i;
    std::vector<uint8_t> back(image.size());
    ASSERT_EQ(ZAMRead(h, back.data(), 0x7000, static_cast<uint32_t>(back.size())), LINK_OK);
    EXPECT_EQ(back, image);

    uint32_t equal = 0;
    uint8_t unitByte = 0;
    ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, 0x7000, image.data(), static_cast<uint32_t>(image.size())), LINK_OK);
    EXPECT_EQ(equal, image.size());
    std::vector<uint8_t> changed = image;
    changed[0x8800] ^= 0xFF;  // in the second bank piece
    ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, 0x7000, changed.data(), static_cast<uint32_t>(changed.size())), LINK_OK);
    EXPECT_EQ(equal, 0x8800u);
    EXPECT_EQ(unitByte, image[0x8800]);

    // The unit compares: the stuck bit is the first difference, and its byte comes back.
    std::vector<uint8_t> ones(0x40, 0xFF);
    ASSERT_EQ(ZAMWrite(h, 0x20000, ones.data(), 0x40), LINK_OK);
    ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, 0x20000, ones.data(), 0x40), LINK_OK);
    EXPECT_EQ(equal, 0x10u);
    EXPECT_EQ(unitByte, 0xFE);

    for (uint32_t level : {RESET_HIGH, RESET_LOW, RESET_HIZ}) {
        ASSERT_EQ(ZAMSetReset(h, level), LINK_OK);
        EXPECT_EQ(m.resetLevel(), level);
        uint32_t got = 9;
        ASSERT_EQ(ZAMGetReset(h, &got), LINK_OK);
        EXPECT_EQ(got, level);
    }

    // A 2764 image folded over 256 KB: each bank filled from its first 8 KB, then
    // bank 0 copied over banks 1..7.
    std::vector<uint8_t> rom = testsupport::RandomBytes(0x2000, 9);
    ASSERT_EQ(ZAMWrite(h, 0, rom.data(), 0x2000), LINK_OK);
    ASSERT_EQ(ZAMSetFold(h, 0x2000, 0x40000), LINK_OK);
    for (uint32_t a : {0x2000u, 0x6123u, 0x8000u, 0x1FFFFu, 0x3FFFFu}) EXPECT_EQ(m.raw(a), rom[a % 0x2000]) << a;
}

// One fault once: the command is retried after a resynchronisation and succeeds.
// The same fault three times in a row: 7.
TEST_F(SerialUnits, AnswerFaultsAreRetried) {
    for (const char* kind : {"bad-header", "bad-crc", "bad-seq", "garbage", "drop", "silent"}) {
        const std::string k = kind;
        {
            SimLine line("ram=64,fault=" + k + ":1");
            Port(1, line.path());
            uint32_t h = 0;
            EXPECT_EQ(Open(1, &h), LINK_OK) << kind;
            EXPECT_EQ(line.unit().commands(), 2u) << kind;
            EXPECT_EQ(line.unit().purges(), 2u) << kind << ": one resynchronisation purges twice";
            uint8_t b[4] = {};
            EXPECT_EQ(ZAMRead(h, b, 0, 4), LINK_OK) << kind << ": the line is in step again";
            ZAMClose(h);
        }
        {
            SimLine line("ram=64,fault=" + k + ":1,fault=" + k + ":2,fault=" + k + ":3");
            Port(1, line.path());
            uint32_t h = 0;
            EXPECT_EQ(Open(1, &h), LINK_SER_ATTEMPTS) << kind;
            EXPECT_EQ(line.unit().commands(), 3u) << kind;
            EXPECT_TRUE(AllRecordsFree()) << kind;
        }
    }
}

TEST_F(SerialUnits, RefusedStatusEndsAtOnce) {
    SimLine line("ram=64,fault=refuse:1");
    Port(1, line.path());
    uint32_t h = 0;
    EXPECT_EQ(Open(1, &h), LINK_SER_BAD_STATUS);
    EXPECT_EQ(line.unit().commands(), 1u);
    EXPECT_EQ(line.unit().purges(), 0u);
    EXPECT_TRUE(AllRecordsFree());
}

// A unit that goes away: the code names the step at which the host noticed.
TEST_F(SerialUnits, VanishingUnitGivesTheFailingStep) {
    struct Case {
        const char* faults;
        uint32_t code;
    } cases[] = {
        {"fault=vanish:1", LINK_SER_RECV_HEADER},
        {"fault=cut-data:1", LINK_SER_RECV_DATA},
        {"fault=cut-crc:1", LINK_SER_RECV_CRC},
        {"fault=drop:1,fault=vanish-at-resync:0", LINK_SER_RESYNC},
    };
    // Long enough for the host to take what the unit sent before it vanished.
    SerialTimings t = SerialGetTimings();
    t.waitDivisor = 2;
    SerialSetTimings(t);
    for (const Case& c : cases) {
        SimLine line(std::string("ram=64,") + c.faults);
        Port(1, line.path());
        uint32_t h = 0;
        EXPECT_EQ(Open(1, &h), c.code) << c.faults;
        EXPECT_TRUE(AllRecordsFree()) << c.faults;
    }
}

// A unit that stops reading: the bytes pile up in the line until a write cannot go
// on. A 32 KB payload does not fit what the pty holds (9), and nothing after it
// gets through either.
TEST_F(SerialUnits, DeafUnitStopsTheWrites) {
    SimLine line("ram=64,pace=0,fault=deaf:2");
    Port(1, line.path());
    uint32_t h = 0;
    ASSERT_EQ(Open(1, &h), LINK_OK);
    std::vector<uint8_t> image = testsupport::RandomBytes(0x8000, 8);
    EXPECT_EQ(ZAMWrite(h, 0, image.data(), 0x8000), LINK_SER_SEND_PAYLOAD);
    EXPECT_NE(ZAMWrite(h, 0, image.data(), 16), LINK_OK);
}

// A write to a unit that vanished during the load: a send or receive failure, never success.
TEST_F(SerialUnits, UnitVanishingMidLoad) {
    SerialSetTimings(SerialTimings{0, 20, 1});  // no time-out may come first
    SimLine line("ram=64,pace=0,fault=vanish:3");
    Port(1, line.path());
    uint32_t h = 0;
    ASSERT_EQ(Open(1, &h), LINK_OK);
    std::vector<uint8_t> image = testsupport::RandomBytes(0x10000, 3);
    uint32_t code = ZAMWrite(h, 0, image.data(), static_cast<uint32_t>(image.size()));
    EXPECT_GE(code, LINK_SER_SEND_HEADER);
    EXPECT_LE(code, LINK_SER_RESYNC);
    EXPECT_NE(code, LINK_SER_BAD_STATUS);
    EXPECT_TRUE(line.unit().vanished());
}

// 300 bytes at 9600 baud: each gap may last (300 x 1041 + 500) / 1000 + 5000 ms.
TEST_F(SerialUnits, LongReceiveWaitsPerGapByLength) {
    setenv("ZAMBPS", "9600", 1);
    SerialTimings t = SerialGetTimings();
    t.waitDivisor = 5;  // 5312 ms -> 1062 ms; an answer header may take 1000 ms
    SerialSetTimings(t);
    // Commands: 1 status, 2 write, 3 read (paused 300 ms halfway through its data).
    SimLine line("ram=64,fault=pause:3:300");
    Port(1, line.path());
    uint32_t h = 0;
    ASSERT_EQ(Open(1, &h), LINK_OK);
    std::vector<uint8_t> image = testsupport::RandomBytes(300, 4);
    ASSERT_EQ(ZAMWrite(h, 0x40, image.data(), 300), LINK_OK);
    SerialTakeLongestWaitMs();
    std::vector<uint8_t> back(300);
    ASSERT_EQ(ZAMRead(h, back.data(), 0x40, 300), LINK_OK);
    EXPECT_EQ(back, image);
    EXPECT_EQ(SerialTakeLongestWaitMs(), 5312u);
    EXPECT_EQ(line.unit().purges(), 0u);
}

// Esc or Ctrl+C on the terminal ends a wait with 4; other keys, arrow keys included, do not.
TEST_F(SerialUnits, CancelKeyEndsTheWait) {
    for (const char* key : {"\x1b", "\x03"}) {
        SCOPED_TRACE(key[0] == 0x1b ? "Esc" : "Ctrl+C");
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        int console = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(console, 0);
        // Ctrl+C reaches the wait as a key where the terminal's owner takes it as one
        // (the console program's raw mode), not as a signal.
        struct termios t;
        ASSERT_EQ(tcgetattr(console, &t), 0);
        t.c_lflag &= ~static_cast<tcflag_t>(ISIG);
        ASSERT_EQ(tcsetattr(console, TCSANOW, &t), 0);
        SerialSetConsole(console);
        SerialSetTimings(SerialTimings{0, 20, 1});  // full waits: 5 s for an answer header

        SimLine line("ram=64,dead=1");
        Port(1, line.path());
        std::thread typist([master, key] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ssize_t n = write(master, "x\x1b[A", 4);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            n = write(master, key, 1);
            (void)n;
        });
        auto start = Clock::now();
        uint32_t h = 0;
        uint32_t code = Open(1, &h);
        uint32_t ms = MsSince(start);
        typist.join();
        EXPECT_EQ(code, LINK_CANCELLED);
        EXPECT_GE(ms, 450u) << "the earlier keys must not cancel";
        EXPECT_LT(ms, 5000u) << "the cancel key must end the wait before its time-out";
        EXPECT_TRUE(AllRecordsFree());
        SerialSetConsole(-1);
        close(console);
        close(master);
    }
}

// Without a terminal there is nothing to cancel: a unit that never answers ends by time-out.
TEST_F(SerialUnits, SilentUnitEndsByTimeOut) {
    SimLine line("ram=64,dead=1");
    Port(1, line.path());
    uint32_t h = 0;
    EXPECT_EQ(Open(1, &h), LINK_SER_ATTEMPTS);
    EXPECT_EQ(line.unit().commands(), 3u);
    EXPECT_EQ(line.unit().purges(), 4u);  // two resynchronisations
}

}  // namespace
