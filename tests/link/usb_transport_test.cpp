// USB units end to end: link handles over the user-side transport, the in-process
// qorpelmo driver and simulated units on the bus, with the units' faults.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "link/ram.h"
#include "link/usb.h"
#include "platform/clock.h"
#include "platform/devio.h"
#include "sim/usb_unit.h"
#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t MsSince(Clock::time_point t) {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class UsbUnits : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        UsbSetConsole(-1);  // no cancel key unless a test hands one in
    }
    void TearDown() override {
        Reset();
        UsbSetConsole(-1);
    }
    static void Reset() {
        ZAMCloseAll();
        DevHostStop();
        sim::DetachAllUsbUnits();
        UsbSetTimings(UsbTimings{});
    }
    int Attach(const std::string& options) {
        std::string error;
        int id = sim::AttachUsbUnit(options, &error);
        EXPECT_GE(id, 0) << options << ": " << error;
        return id;
    }
    uint32_t Open(uint32_t unit) {
        uint32_t h = 0;
        EXPECT_EQ(ZAMInit(&h, SELECT_USB, unit, 0, 0), LINK_OK) << "unit " << unit;
        return h;
    }
    static UsbRecord* RecordOf(uint32_t h) { return static_cast<UsbRecord*>(ZAMLookup(h)->impl); }
    static void ShortTimings() {
        UsbTimings t;
        t.waitMs = 300;
        t.pollLimitMs = 300;
        UsbSetTimings(t);
    }
};

TEST_F(UsbUnits, TheReportedUnitNumberPicksTheDevice) {
    auto first = sim::FindUsbUnit(Attach("unit=1,ram=256,id=0x1111"));  // device 0
    Attach("unit=0,ram=1024,level=3,id=0xBEEF");                        // device 1

    // A unit nobody answers as: both devices asked, both closed again.
    uint32_t h = 0;
    EXPECT_EQ(ZAMInit(&h, SELECT_USB, 2, 0, 0), LINK_NOT_AVAILABLE) << "no device answers as unit 2";
    EXPECT_EQ(first->commands(), 1u);

    uint32_t h0 = Open(0);
    ASSERT_NE(ZAMLookup(h0), nullptr);
    EXPECT_EQ(first->commands(), 2u) << "device 0 was asked first";
    EXPECT_EQ(RecordOf(h0)->deviceNumber, 1u);
    EXPECT_EQ(RecordOf(h0)->status[3], 0);
    EXPECT_EQ(RecordOf(h0)->inPacket, 64);
    EXPECT_EQ(ZAMGetLevel(h0), 3u);
    EXPECT_EQ(ZAMGetInfo(h0), 0xBEEFu);
    uint32_t h1 = Open(1);
    EXPECT_EQ(RecordOf(h1)->deviceNumber, 0u);
    EXPECT_EQ(ZAMGetInfo(h1), 0x1111u);
    EXPECT_EQ(ZAMGetLevel(h1), 0u);

    EXPECT_EQ(ZAMInit(&h, SELECT_USB, 4, 0, 0), LINK_NOT_AVAILABLE) << "unit numbers stop at 3";
    EXPECT_EQ(LinkOpenFailureText("USB", 2, PortFamily::Usb, LINK_NOT_AVAILABLE),
              "CANNOT ACCESS EMULATOR ON PORT USB UNIT 2\nDEVICE FAILURE (SUBCODE 100-5)\a\n");
}

// A failed open says why: what each device that is there answered, or why the unit
// number cannot be asked for. Each open gives its own reason, not an earlier one's.
TEST_F(UsbUnits, FailedOpensSayWhy) {
    struct Case {
        const char* what;
        std::vector<std::string> devices;  // attached in turn: \\.\QORPELMO0, 1, ...
        std::vector<uint32_t> held;        // units opened first
        uint32_t unit;
        uint32_t code;
        const char* why;
    } cases[] = {
        {"no device", {}, {}, 0, LINK_NOT_AVAILABLE, "No USB device is present (\\\\.\\QORPELMO0..9)\n"},
        {"other units only",
         {"unit=1", "unit=0"},
         {},
         2,
         LINK_NOT_AVAILABLE,
         "No USB device answers as unit 2\n\\\\.\\QORPELMO0: unit 1\n\\\\.\\QORPELMO1: unit 0\n"},
        {"held by an open unit",
         {"unit=0", "unit=3"},
         {0},
         1,
         LINK_NOT_AVAILABLE,
         "No USB device answers as unit 1\n\\\\.\\QORPELMO0: unit 0, open already\n\\\\.\\QORPELMO1: unit 3\n"},
        {"status refused",
         {"unit=0,fault=bad-status:1"},
         {},
         0,
         LINK_NOT_AVAILABLE,
         "No USB device answers as unit 0\n\\\\.\\QORPELMO0: the status command failed with code 45\n"},
        {"unit number 4", {"unit=0"}, {}, 4, LINK_NOT_AVAILABLE, "Unit number 4 is not 0..3\n"},
        {"found", {"unit=1", "unit=2"}, {}, 2, LINK_OK, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        for (const std::string& d : c.devices) Attach(d);
        for (uint32_t u : c.held) Open(u);
        uint32_t h = 0;
        std::string why = "left from before";
        EXPECT_EQ(ZAMInit(&h, SELECT_USB, c.unit, 0, 0, &why), c.code);
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(LinkOpenFailureText("u", c.unit, PortFamily::Usb, c.code, why),
                  LinkOpenFailureText("u", c.unit, PortFamily::Usb, c.code) + c.why);
    }
}

TEST_F(UsbUnits, OpeningAUnitTwiceSharesItsRecord) {
    int id = Attach("unit=2,ram=64");
    auto unit = sim::FindUsbUnit(id);
    uint32_t a = Open(2);
    uint32_t commands = unit->commands();
    uint32_t b = Open(2);
    EXPECT_NE(a, b);
    EXPECT_EQ(RecordOf(a), RecordOf(b));
    EXPECT_EQ(unit->commands(), commands) << "the second open does not touch the device";

    // Closing one handle leaves the other working.
    ZAMClose(a);
    uint8_t byte = 0x5A, back = 0;
    ASSERT_EQ(ZAMWrite(b, 0x100, &byte, 1), LINK_OK);
    ASSERT_EQ(ZAMRead(b, &back, 0x100, 1), LINK_OK);
    EXPECT_EQ(back, 0x5A);
    ZAMClose(b);
    for (uint32_t i = 0; i < USB_RECORD_COUNT; ++i) EXPECT_EQ(UsbRecords()[i].device, DEV_INVALID_HANDLE_VALUE);
    // The device was closed: a fresh open finds it again.
    uint32_t c = Open(2);
    EXPECT_EQ(ZAMRead(c, &back, 0x100, 1), LINK_OK);
    EXPECT_EQ(back, 0x5A);
}

TEST_F(UsbUnits, DataRoundTripsForEveryPathAndPacketSize) {
    for (const char* options : {"unit=0,ram=1024", "unit=0,ram=1024,packet=16", "unit=0,ram=1024,packet=8"}) {
        Reset();
        int id = Attach(options);
        auto unit = sim::FindUsbUnit(id);
        unit->model().fillRaw(0x00);
        uint32_t h = Open(0);
        struct Range {
            uint32_t address, length;
        } ranges[] = {{0x7FF8, 17}, {0x7FFE, 8},     {0xFFFF0, 16},     {0x1234, 37},
                      {0x10, 200},  {0x7F00, 0x300}, {0x40000, 0x8000}, {0x3, 0x12345}};
        uint32_t seed = 1;
        for (auto& r : ranges) {
            auto data = testsupport::RandomBytes(r.length, seed++);
            uint8_t before = unit->model().raw(r.address - 1), after = unit->model().raw(r.address + r.length);
            ASSERT_EQ(ZAMWrite(h, r.address, data.data(), r.length), LINK_OK) << options << " " << r.address;
            for (uint32_t i = 0; i < r.length; ++i)
                ASSERT_EQ(unit->model().raw(r.address + i), data[i]) << options << " at " << std::hex << r.address + i;
            EXPECT_EQ(unit->model().raw(r.address - 1), before) << "the packet around the range is kept";
            EXPECT_EQ(unit->model().raw(r.address + r.length), after);
            std::vector<uint8_t> back(r.length);
            ASSERT_EQ(ZAMRead(h, back.data(), r.address, r.length), LINK_OK);
            ASSERT_TRUE(back == data) << options << " read " << std::hex << r.address;
            uint32_t equal = 0;
            uint8_t unitByte = 0;
            ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, r.address, data.data(), r.length), LINK_OK);
            EXPECT_EQ(equal, r.length);
            data[r.length - 1] ^= 0x81;
            ASSERT_EQ(ZAMCompare(&equal, &unitByte, h, r.address, data.data(), r.length), LINK_OK);
            EXPECT_EQ(equal, r.length - 1);
            EXPECT_EQ(unitByte, static_cast<uint8_t>(data[r.length - 1] ^ 0x81));
        }
    }
}

TEST_F(UsbUnits, ResetAndFoldReachTheUnit) {
    int id = Attach("unit=0,ram=1024,level=3");
    auto unit = sim::FindUsbUnit(id);
    uint32_t h = Open(0);
    for (uint32_t level : {RESET_LOW, RESET_HIGH, RESET_HIZ}) {
        ASSERT_EQ(ZAMSetReset(h, level), LINK_OK);
        EXPECT_EQ(unit->model().resetLevel(), level);
        uint32_t got = 9;
        ASSERT_EQ(ZAMGetReset(h, &got), LINK_OK);
        EXPECT_EQ(got, level);
    }

    uint32_t commands = unit->commands();
    ASSERT_EQ(ZAMSetFold(h, 0x100000, 0x100000), LINK_OK);
    EXPECT_EQ(unit->commands(), commands) << "equal sizes send nothing";

    auto bank0 = testsupport::RandomBytes(0x8000, 3);
    ASSERT_EQ(ZAMWrite(h, 0, bank0.data(), 0x8000), LINK_OK);
    commands = unit->commands();
    ASSERT_EQ(ZAMSetFold(h, 0x8000, 0x100000), LINK_OK);
    EXPECT_EQ(unit->commands(), commands + 1) << "only 0x28";
    for (uint32_t bank = 1; bank < 32; ++bank)
        for (uint32_t i = 0; i < 0x8000; i += 0x7F1) ASSERT_EQ(unit->model().raw(bank * 0x8000 + i), bank0[i]);
}

// Every code the USB path produces from the units' faults, each with its text,
// and the device still usable afterwards.
TEST_F(UsbUnits, UnitFaultsGiveTheirStageCodes) {
    enum Op { STATUS, READ96, WRITE96 };
    struct Case {
        const char* fault;
        Op op;
        uint32_t code;
    } cases[] = {
        {"cmd-hang:2", STATUS, 16},     {"short-cmd:2", STATUS, 18},    {"cmd-fail:2", STATUS, 21},
        {"answer-hang:2", STATUS, 26},  {"lost-answer:2", STATUS, 26},  {"short-answer:2", STATUS, 28},
        {"stale-answer:2", STATUS, 29}, {"answer-fail:2", STATUS, 31},  {"bad-status:2", STATUS, 45},
        {"bulk-hang:1", READ96, 116},   {"bulk-fail:1", READ96, 121},   {"bulk-hang:2", READ96, 126},
        {"bulk-fail:2", READ96, 131},   {"bulk-hang:3", READ96, 136},   {"bulk-fail:3", READ96, 141},
        {"short-bulk:2", READ96, 145},  {"short-count:1", READ96, 145}, {"bulk-hang:3", WRITE96, 216},
        {"short-bulk:3", WRITE96, 218}, {"bulk-fail:3", WRITE96, 221},  {"bulk-hang:4", WRITE96, 226},
        {"short-bulk:4", WRITE96, 228}, {"bulk-fail:4", WRITE96, 231},  {"bulk-hang:5", WRITE96, 236},
        {"short-bulk:5", WRITE96, 238}, {"bulk-fail:5", WRITE96, 241},  {"short-count:3", WRITE96, 245},
        {"bulk-fail:1", WRITE96, 131},  // the head packet's read-back
    };
    for (auto& c : cases) {
        Reset();
        ShortTimings();
        Attach(std::string("unit=0,ram=256,fault=") + c.fault);
        uint32_t h = Open(0);
        std::vector<uint8_t> buf(96, 0x3C);
        uint32_t level = 0;
        auto start = Clock::now();
        uint32_t code = c.op == STATUS   ? ZAMGetReset(h, &level)
                        : c.op == READ96 ? ZAMRead(h, buf.data(), 0x30, 96)
                                         : ZAMWrite(h, 0x30, buf.data(), 96);
        EXPECT_EQ(code, c.code) << c.fault;
        EXPECT_LT(MsSince(start), 3000u) << c.fault;
        char want[64];
        std::snprintf(want, sizeof want, "DEVICE FAILURE (SUBCODE 10-%u)\a\n", c.code);
        EXPECT_EQ(LinkSubcodeText(STAGE_API, code), want) << c.fault;
        EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK) << c.fault << ": the device stays usable";
    }
}

// Lost, stale, refused and late answers at random: every operation ends, with
// success or an answer-stage code, and the unit's RAM holds what succeeded.
TEST_F(UsbUnits, RandomAnswerFaultsNeverHang) {
    ShortTimings();
    Attach("unit=0,ram=256,seed=11,fault=random:15");
    uint32_t h = 0;
    for (int tries = 0; tries < 20 && ZAMInit(&h, SELECT_USB, 0, 0, 0) != LINK_OK; ++tries) {}
    ASSERT_NE(ZAMLookup(h), nullptr);
    sim::SeededRandom rnd(5);
    uint32_t ok = 0, failed = 0;
    auto start = Clock::now();
    for (int i = 0; i < 150; ++i) {
        uint32_t address = rnd.below(0x3F000), length = 1 + rnd.below(i % 2 ? 40 : 0x900);
        auto data = testsupport::RandomBytes(length, i);
        std::vector<uint8_t> back(length);
        uint32_t code = ZAMWrite(h, address, data.data(), length);
        if (code == LINK_OK) code = ZAMRead(h, back.data(), address, length);
        if (code == LINK_OK) {
            ++ok;
            EXPECT_TRUE(back == data) << i;
        } else {
            ++failed;
            EXPECT_TRUE(code == 26 || code == 29 || code == 45) << "operation " << i << " gave " << code;
        }
    }
    EXPECT_GT(ok, 0u);
    EXPECT_GT(failed, 0u);
    EXPECT_LT(MsSince(start), 60000u);
}

// The answer waits on the driven clock: the poll schedule, a late answer and the
// one-poll wait measured to the millisecond, with no wall-clock time in them, so
// that no load can turn an answer into a time-out.
class UsbDrivenClock : public UsbUnits {
protected:
    void SetUp() override {
        UsbUnits::SetUp();
        ClockDrive(true);
    }
    void TearDown() override {
        UsbUnits::TearDown();
        ClockDrive(false);
    }
};

TEST_F(UsbDrivenClock, ALostAnswerIsPolledForFiveSecondsOfSleeps) {
    Attach("unit=0,ram=256,fault=lost-answer:2");
    uint32_t h = Open(0);
    const uint64_t start = ClockNow();
    const uint32_t polls = UsbPollCount();
    uint32_t level = 0;
    EXPECT_EQ(ZAMGetReset(h, &level), 26u);
    // Sleeps of 1, 2, 4 ... 64 ms, then 64 ms each, until 5000 ms have been slept:
    // 127 + 77 * 64 = 5055 ms, one poll more than sleeps.
    EXPECT_EQ(ClockNow() - start, 5055u);
    EXPECT_EQ(UsbPollCount() - polls, 85u);
    EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK) << "the device stays usable";
}

TEST_F(UsbDrivenClock, ALateAnswerIsTakenAtTheFirstPollAfterItIsDue) {
    for (uint32_t late : {1u, 300u, 4999u}) {
        Reset();
        Attach("unit=0,ram=256,fault=late-answer:2:" + std::to_string(late));
        uint32_t h = Open(0);
        const uint64_t start = ClockNow();
        uint32_t level = 9;
        EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK) << late;
        EXPECT_EQ(level, RESET_HIZ) << late;
        // The first sleep total of 1, 3, 7, ... 127, 191, 255 ... that reaches `late`.
        uint64_t slept = 0, step = 1;
        while (slept < late) {
            slept += step;
            if (step < 64) step *= 2;
        }
        EXPECT_EQ(ClockNow() - start, slept) << late;
    }
}

// A unit that never answers lets the clock run on (a millisecond at a time) until
// the host's wait gives up: after 100 ms of the clock for one answer poll, 5000 ms
// for a bulk transfer, whatever the wall clock did meanwhile.
TEST_F(UsbDrivenClock, HangingTransfersEndAtTheirTimeOutOnTheClock) {
    struct Case {
        const char* fault;
        bool read;
        uint32_t code, waitMs;
    } cases[] = {{"answer-hang:2", false, 26, 100}, {"bulk-hang:1", true, 116, 5000}};
    for (const Case& c : cases) {
        Reset();
        Attach(std::string("unit=0,ram=256,fault=") + c.fault);
        uint32_t h = Open(0);
        const uint64_t start = ClockNow();
        uint32_t level = 0;
        std::vector<uint8_t> buf(96);
        const uint32_t code = c.read ? ZAMRead(h, buf.data(), 0x30, 96) : ZAMGetReset(h, &level);
        EXPECT_EQ(code, c.code) << c.fault;
        // The host notices its deadline within a few of the unit's steps.
        EXPECT_GE(ClockNow() - start, c.waitMs) << c.fault;
        EXPECT_LT(ClockNow() - start, c.waitMs + 200u) << c.fault;
        EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK) << c.fault << ": the device stays usable";
    }
}

// A slow unit within the host's time-out is waited for; one beyond it times out.
TEST_F(UsbDrivenClock, ASlowBulkTransferIsWaitedForUpToTheTimeOut) {
    for (uint32_t delay : {150u, 4000u, 6000u}) {
        Reset();
        Attach("unit=0,ram=256,bulkdelay=" + std::to_string(delay));
        uint32_t h = Open(0);
        std::vector<uint8_t> buf(96);
        const uint32_t code = ZAMRead(h, buf.data(), 0x30, 96);
        EXPECT_EQ(code, delay < 5000 ? LINK_OK : 116u) << delay;
    }
}

TEST_F(UsbUnits, UnitsThatDoNotAnswerOrVanish) {
    ShortTimings();
    Attach("unit=0,dead=1");
    uint32_t h = 0;
    auto start = Clock::now();
    EXPECT_EQ(ZAMInit(&h, SELECT_USB, 0, 0, 0), LINK_NOT_AVAILABLE);
    EXPECT_LT(MsSince(start), 3000u);
    for (uint32_t i = 0; i < USB_RECORD_COUNT; ++i) EXPECT_EQ(UsbRecords()[i].device, DEV_INVALID_HANDLE_VALUE);

    Reset();
    ShortTimings();
    Attach("unit=0,fault=vanish:2");
    h = Open(0);
    uint32_t level = 0;
    uint32_t code = ZAMGetReset(h, &level);
    EXPECT_TRUE(code == 21 || code == 31) << code;
    EXPECT_EQ(ZAMClose(h), 0u);
}

// A program that ends with units open ends cleanly: handles closed, driver host stopped.
TEST_F(UsbUnits, ProcessExitsCleanlyWithAUnitOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::AttachUsbUnit("unit=0,level=3");
            uint32_t h = 0;
            uint32_t code = ZAMInit(&h, SELECT_USB, 0, 0, 0);
            std::exit(code == LINK_OK && ZAMGetLevel(h) == 3 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// Steps of 1, 2, 4 ... 64, 64 ... ms until 5000 ms of sleeping: 7 + 77 polls, then the last.
TEST_F(UsbUnits, AnswerNeverReadyIsPolledForFiveSeconds) {
    Attach("unit=0,fault=lost-answer:2");
    uint32_t h = Open(0);
    uint32_t polls = UsbPollCount();
    uint32_t level = 0;
    auto start = Clock::now();
    EXPECT_EQ(ZAMGetReset(h, &level), 26u);
    EXPECT_GE(MsSince(start), 5000u);
    EXPECT_EQ(UsbPollCount() - polls, 85u);
}

// A pseudo-terminal stands in for the user's console.
class Terminal {
public:
    Terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    }
    ~Terminal() {
        if (keys_.joinable()) keys_.join();
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    int slave() const { return slave_; }
    // Types each key after its delay (ms from now), on another thread.
    void Type(std::vector<std::pair<uint32_t, std::string>> keys) {
        keys_ = std::thread([this, keys] {
            auto start = Clock::now();
            for (auto& k : keys) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(k.first));
                ssize_t n = write(master_, k.second.data(), k.second.size());
                (void)n;
            }
        });
    }

private:
    int master_ = -1, slave_ = -1;
    std::thread keys_;
};

TEST_F(UsbUnits, EscCancelsAWaitAndOtherKeysDoNot) {
    Attach("unit=0,fault=cmd-hang:2");
    uint32_t h = Open(0);
    Terminal term;
    ASSERT_GE(term.slave(), 0);
    UsbSetConsole(term.slave());
    term.Type({{200, "x"}, {400, "\x1b[A"}, {700, "\x1b"}});
    uint32_t level = 0;
    auto start = Clock::now();
    uint32_t code = ZAMGetReset(h, &level);
    uint32_t ms = MsSince(start);
    EXPECT_EQ(code, LINK_CANCELLED);
    EXPECT_GE(ms, 650u) << "neither the letter nor the arrow key cancelled";
    EXPECT_LT(ms, 3000u) << "Esc cancelled at once";
    EXPECT_EQ(LinkSubcodeText(STAGE_API, code), "[CANCELLED SUBCODE 10-4]\n");
    EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK) << "the device stays open";
}

// On a terminal whose owner takes Ctrl+C as a key (the console program's raw mode),
// Ctrl+C cancels a transfer exactly as Esc does.
TEST_F(UsbUnits, CtrlCCancelsAWaitAsEscDoes) {
    Attach("unit=0,fault=cmd-hang:2");
    uint32_t h = Open(0);
    Terminal term;
    ASSERT_GE(term.slave(), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(term.slave(), &raw), 0);
    raw.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    ASSERT_EQ(tcsetattr(term.slave(), TCSANOW, &raw), 0);
    UsbSetConsole(term.slave());
    term.Type({{200, "\x03"}});
    uint32_t level = 0;
    auto start = Clock::now();
    uint32_t code = ZAMGetReset(h, &level);
    EXPECT_EQ(code, LINK_CANCELLED);
    EXPECT_LT(MsSince(start), 3000u) << "Ctrl+C cancelled at once";
    EXPECT_EQ(LinkSubcodeText(STAGE_API, code), "[CANCELLED SUBCODE 10-4]\n");
    EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK) << "the device stays open";
}

TEST_F(UsbUnits, AKeyRestartsTheWaitWithItsFullTime) {
    UsbTimings t;
    t.waitMs = 1500;
    UsbSetTimings(t);
    Attach("unit=0,fault=cmd-hang:2");
    uint32_t h = Open(0);
    Terminal term;
    ASSERT_GE(term.slave(), 0);
    UsbSetConsole(term.slave());
    term.Type({{500, "q"}});
    uint32_t level = 0;
    auto start = Clock::now();
    EXPECT_EQ(ZAMGetReset(h, &level), 16u);
    EXPECT_GE(MsSince(start), 1950u) << "the key at 500 ms started the 1500 ms again";
}

TEST_F(UsbUnits, EscWhileTheStatusAnswerIsAwaitedGivesFour) {
    Attach("unit=0,fault=answer-hang:2");
    uint32_t h = Open(0);
    Terminal term;
    ASSERT_GE(term.slave(), 0);
    UsbSetConsole(term.slave());
    term.Type({{0, "\x1b"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint32_t level = 0;
    EXPECT_EQ(ZAMGetReset(h, &level), LINK_CANCELLED);
}

TEST_F(UsbUnits, WithoutATerminalWaitsEndByTimeOut) {
    ShortTimings();
    Attach("unit=0,fault=cmd-hang:2");
    uint32_t h = Open(0);
    UsbSetConsole(-1);
    uint32_t level = 0;
    EXPECT_EQ(ZAMGetReset(h, &level), 16u);
}

TEST_F(UsbUnits, RamTestSizesTheUnit) {
    struct Case {
        const char* options;
        uint32_t maxK;
    } cases[] = {{"unit=0,ram=256", 256}, {"unit=0,ram=32", 32}, {"unit=0,ram=1024,level=3", 1024}};
    for (auto& c : cases) {
        Reset();
        Attach(c.options);
        uint32_t h = Open(0);
        uint32_t maxK = 0;
        ASSERT_EQ(RamTestUnit(h, &maxK), LINK_OK) << c.options;
        EXPECT_EQ(maxK, c.maxK) << c.options;
    }
}

// A 1 MB image into a 27080 through the RAM layer, verified, and read back.
TEST_F(UsbUnits, OneMegabyteImageLoadsWithVerify) {
    RamWriteJob job;
    int id = Attach("unit=0,ram=1024");
    auto unit = sim::FindUsbUnit(id);
    uint32_t h = Open(0);
    uint32_t maxK = 0;
    ASSERT_EQ(RamTestUnit(h, &maxK), LINK_OK);
    ASSERT_EQ(maxK, 1024u);
    LaneSettings settings;
    settings.LoadVerify = LOAD_VERIFY;
    settings.DevSize = 0x100000;
    settings.FoldMode = FOLD_NONE;
    UnitLink link;
    link.handle = h;
    link.MaxK = maxK;
    RamPlaceLane(link, 0x100000, FOLD_NONE);
    UnitSet set;
    set.count = 1;
    set.DevSize = 0x100000;
    set.settings[0] = &settings;
    set.links[0] = &link;
    auto image = testsupport::RandomBytes(0x100000, 27080);
    uint32_t corrected = 0, done = 0;
    ASSERT_EQ(job.Begin(set, 0, 0x100000, LOAD_VERIFY), LINK_OK);
    ASSERT_EQ(job.WriteBlock(image.data(), 0x100000, &corrected, &done), LINK_OK);
    EXPECT_EQ(done, 0x100000u);
    EXPECT_EQ(corrected, 0u);
    std::vector<uint8_t> back(0x100000);
    ASSERT_EQ(RamReadBlock(set, back.data(), 0, 0x100000), LINK_OK);
    EXPECT_TRUE(back == image);
    for (uint32_t a = 0; a < 0x100000; a += 0x1001) ASSERT_EQ(unit->model().raw(a), image[a]);
}

}  // namespace
