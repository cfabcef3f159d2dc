// The simulated serial unit on its own: option parsing, and frames written by hand
// from the wire description (not with the host's code) on its pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/serial_unit.h"

namespace {

TEST(SerialUnitOptions, Parsing) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {"", true},
        {"ram=32,level=3,id=0xBEEF,seed=9,pace=0,dead=0", true},
        {"fault=bad-header:1,fault=late:2:300,fault=stuck:0x100:0x0F:0x05,fault=vanish-at-resync:0", true},
        {"ram=48", false},
        {"ram=2048", false},
        {"level=256", false},
        {"id=0x10000", false},
        {"pace=2", false},
        {"colour=red", false},
        {"ram", false},
        {"fault=late:2", false},
        {"fault=bad-header", false},
        {"fault=bad-header:x", false},
        {"fault=melt:1", false},
    };
    for (const Case& c : cases) {
        sim::SerialUnitOptions o;
        std::string error;
        EXPECT_EQ(sim::ParseSerialUnitOptions(c.text, &o, &error), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
    }
    sim::SerialUnitOptions o;
    ASSERT_TRUE(sim::ParseSerialUnitOptions("ram=64,level=3,id=0x1234,pace=0,fault=late:2:300", &o, nullptr));
    EXPECT_EQ(o.ramKB, 64u);
    EXPECT_EQ(o.level, 3);
    EXPECT_EQ(o.identity, 0x1234);
    EXPECT_FALSE(o.pace);
    ASSERT_EQ(o.faults.size(), 1u);
    EXPECT_EQ(o.faults[0].kind, sim::SERF_LATE);
    EXPECT_EQ(o.faults[0].n, 2u);
    EXPECT_EQ(o.faults[0].a, 300u);
}

// The unit served by a thread; the test is the host, with its own raw tty.
class SerialWire : public ::testing::Test {
protected:
    void Start(const std::string& options, speed_t speed = B115200) {
        sim::SerialUnitOptions o;
        ASSERT_TRUE(sim::ParseSerialUnitOptions(options, &o, nullptr));
        unit = std::make_unique<sim::SerialUnit>(o);
        std::string path, error;
        ASSERT_TRUE(unit->open(&path, &error)) << error;
        fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfmakeraw(&t);
        cfsetspeed(&t, speed);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        thread = std::thread([this] { unit->serve(); });
    }
    void TearDown() override {
        if (unit) unit->stop();
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Up to n bytes, waiting at most ms for each.
    std::vector<uint8_t> Receive(size_t n, int ms = 2000) {
        std::vector<uint8_t> got;
        while (got.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) break;
            uint8_t buf[4096];
            ssize_t r = read(fd, buf, n - got.size() < sizeof buf ? n - got.size() : sizeof buf);
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    // Header: sequence, code, bank, offset LE, length LE, checksum; then payload and CRC.
    static std::vector<uint8_t> Frame(uint8_t seq, uint8_t code, uint8_t bank, uint16_t offset,
                                      const std::vector<uint8_t>& payload, uint16_t crc) {
        std::vector<uint8_t> f = {seq,
                                  code,
                                  bank,
                                  static_cast<uint8_t>(offset),
                                  static_cast<uint8_t>(offset >> 8),
                                  static_cast<uint8_t>(payload.size()),
                                  static_cast<uint8_t>(payload.size() >> 8)};
        uint8_t sum = 0;
        for (uint8_t b : f) sum = static_cast<uint8_t>(sum + b);
        f.push_back(static_cast<uint8_t>(0 - sum));
        if (!payload.empty()) {
            f.insert(f.end(), payload.begin(), payload.end());
            f.push_back(static_cast<uint8_t>(crc));
            f.push_back(static_cast<uint8_t>(crc >> 8));
        }
        return f;
    }
    std::unique_ptr<sim::SerialUnit> unit;
    std::thread thread;
    int fd = -1;
};

// "123456789" carries CRC-16/ARC 0xBB3D: with it the write is taken, with any other
// CRC the unit stays silent and writes nothing.
TEST_F(SerialWire, PayloadCrcDecidesWhetherAWriteIsTaken) {
    Start("ram=32,pace=0");
    const std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    Send(Frame(5, 0x20, 0, 0x100, digits, 0xBB3C));
    EXPECT_TRUE(Receive(5, 300).empty());
    EXPECT_EQ(unit->model().raw(0x100), 0xFF);
    Send(Frame(6, 0x20, 0, 0x100, digits, 0xBB3D));
    // Answer: ~sequence, 0x60, length 0, checksum.
    EXPECT_EQ(Receive(5), (std::vector<uint8_t>{0xF9, 0x60, 0, 0, static_cast<uint8_t>(0 - (0xF9 + 0x60))}));
    EXPECT_EQ(unit->model().raw(0x108), '9');
}

TEST_F(SerialWire, StatusAndReadAnswers) {
    Start("ram=64,level=3,id=0xA55A,pace=0");
    Send(Frame(1, 0x24, 0, 0, {}, 0));
    std::vector<uint8_t> a = Receive(12);
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + 4), (std::vector<uint8_t>{0xFE, 0x60, 5, 0}));
    uint8_t sum = 0;
    for (int i = 0; i < 5; ++i) sum = static_cast<uint8_t>(sum + a[static_cast<size_t>(i)]);
    EXPECT_EQ(sum, 0);
    // Level, identity high and low, unit 0, reset level HI-Z.
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + 5, a.begin() + 10), (std::vector<uint8_t>{3, 0xA5, 0x5A, 0, 2}));
    // A read of the 2 bytes at bank 1 offset 0x10, which alias to 0x8010 of 64 KB.
    unit->model().write(0x8010, reinterpret_cast<const uint8_t*>("\x12\x34"), 2);
    // CRC-16/ARC of 02 00 is 0x6001.
    Send(Frame(2, 0x22, 1, 0x10, {2, 0}, 0x6001));
    a = Receive(9);
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[0], 0xFD);
    EXPECT_EQ(a[2], 2);
    EXPECT_EQ(a[5], 0x12);
    EXPECT_EQ(a[6], 0x34);
}

// Garbage before a header is skipped while the unit hunts for a checksum that fits;
// a purge throws away a half-received frame.
TEST_F(SerialWire, HuntsForHeadersAndForgetsOnPurge) {
    Start("ram=32,pace=0");
    std::vector<uint8_t> f = Frame(3, 0x24, 0, 0, {}, 0);
    Send({0x00, 0x13, 0x77});
    Send(f);
    EXPECT_EQ(Receive(12).size(), 12u);
    // The head of a frame, a purge, then its tail: the tail alone is no frame.
    std::vector<uint8_t> half = Frame(9, 0x24, 0, 0, {}, 0);
    Send(std::vector<uint8_t>(half.begin(), half.begin() + 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(tcflush(fd, TCIOFLUSH), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<uint8_t> rest(half.begin() + 5, half.end());
    rest.insert(rest.end(), f.begin(), f.end());
    Send(rest);
    std::vector<uint8_t> a = Receive(12);
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(a[0], 0xFC);  // the answer to sequence 3
    EXPECT_TRUE(Receive(1, 300).empty());
    EXPECT_GE(unit->purges(), 1u);
    EXPECT_EQ(unit->commands(), 2u);
}

// Paced at the rate the host set: 300 data bytes at 4800 baud cannot arrive in less
// than their wire time (625 ms).
TEST_F(SerialWire, AnswersComeAtTheLinePace) {
    Start("ram=32", B4800);
    EXPECT_EQ(unit->baud(), 4800u);
    // CRC-16/ARC of 2C 01 is 0x00DD.
    auto start = std::chrono::steady_clock::now();
    Send(Frame(4, 0x22, 0, 0, {0x2C, 0x01}, 0x00DD));
    std::vector<uint8_t> a = Receive(307);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(a.size(), 307u);
    EXPECT_GE(ms, 625);
}

}  // namespace
