// The tty layer on pseudo-terminals: exclusive opens, any rate, raw lines, reads
// that return early or time out, bounded writes, and a far end that hangs up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The far end of a port: a pty master, nothing else.
class FarEnd : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        path = ptsname(master);
    }
    void TearDown() override {
        if (port >= 0) SerialPortClose(port);
        if (master >= 0) close(master);
    }
    uint32_t Open(uint32_t baud, int* fd) {
        int err = 0;
        return SerialPortOpen(path.c_str(), baud, 0, fd, &err);
    }
    int master = -1;
    int port = -1;
    std::string path;
};

TEST_F(FarEnd, AnyRateRawAndEightBits) {
    for (uint32_t baud : {50u, 300u, 31250u, 57600u, 250000u, 921600u}) {
        int fd = -1;
        ASSERT_EQ(Open(baud, &fd), SERIAL_PORT_OK) << baud;
        EXPECT_EQ(SerialPortBaud(fd), baud);
        termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << baud;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP), 0u) << baud;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << baud;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8)) << baud;
        SerialPortClose(fd);
    }
}

TEST_F(FarEnd, SecondOpenIsRefusedUntilTheFirstCloses) {
    ASSERT_EQ(Open(9600, &port), SERIAL_PORT_OK);
    int other = -1;
    EXPECT_EQ(Open(9600, &other), SERIAL_PORT_BUSY);
    EXPECT_EQ(other, -1);
    SerialPortClose(port);
    port = -1;
    EXPECT_EQ(Open(9600, &port), SERIAL_PORT_OK);
}

TEST_F(FarEnd, ReadsReturnEarlyOrTimeOut) {
    ASSERT_EQ(Open(115200, &port), SERIAL_PORT_OK);
    uint8_t buf[16];
    int32_t count = 99;
    auto start = Clock::now();
    ASSERT_TRUE(SerialPortReadSome(port, buf, sizeof buf, 200, -1, &count));
    EXPECT_EQ(count, 0);
    EXPECT_GE(MsSince(start), 190);

    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(write(master, "AB", 2), 2);
    });
    start = Clock::now();
    ASSERT_TRUE(SerialPortReadSome(port, buf, sizeof buf, 10000, -1, &count));
    sender.join();
    EXPECT_LT(MsSince(start), 9000) << "a read returns with the first bytes, not at its time-out";
    ASSERT_GE(count, 1);
    EXPECT_EQ(buf[0], 'A');
}

// A far end that takes nothing cannot hold a write for ever.
TEST_F(FarEnd, WriteIsBounded) {
    ASSERT_EQ(Open(115200, &port), SERIAL_PORT_OK);
    std::vector<uint8_t> lots(1 << 20, 0x55);
    auto start = Clock::now();
    EXPECT_EQ(SerialPortWrite(port, lots.data(), static_cast<uint32_t>(lots.size()), 300, -1), 0);
    EXPECT_GE(MsSince(start), 290);
    // Once the far end takes the bytes the line works again.
    fcntl(master, F_SETFL, O_NONBLOCK);
    uint8_t sink[4096];
    while (read(master, sink, sizeof sink) > 0) {}
    EXPECT_EQ(SerialPortWrite(port, lots.data(), 10, 300, -1), 1);
}

TEST_F(FarEnd, HangUpFailsEveryCall) {
    ASSERT_EQ(Open(115200, &port), SERIAL_PORT_OK);
    close(master);
    master = -1;
    uint8_t buf[4];
    int32_t count = 0;
    EXPECT_FALSE(SerialPortReadSome(port, buf, sizeof buf, 1000, -1, &count));
    EXPECT_EQ(SerialPortWrite(port, buf, 4, 1000, -1), 0);
    EXPECT_FALSE(SerialPortPurge(port));
    EXPECT_FALSE(SerialPortBreak(port, true));
}

}  // namespace
