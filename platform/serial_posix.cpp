#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial_line.h"

namespace {

constexpr uint32_t kForever = 0xFFFFFFFFu;

uint64_t NowMs() { return ClockNow(); }

// Milliseconds poll may wait before the clock is read again (-1: no limit, 0: the
// deadline has passed).
int PollWait(uint64_t deadline) { return ClockWaitSlice(deadline); }

// The program is to end: what the driver still holds for the line is dropped, so
// that the close does not wait for it.
bool Stopped(int fd) {
    if (ConsoleEndStatus() == 0) return false;
    tcflush(fd, TCOFLUSH);
    return true;
}

// A line without modem lines (a pseudo-terminal) says so; that is not a failure.
bool ModemLine(int fd, int bit, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return true;
    return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP;
}

}  // namespace

void SerialPortDefaultName(uint32_t com, char* name, size_t size) { std::snprintf(name, size, "/dev/ttyS%u", com - 1); }

uint32_t SerialPortOpen(const char* path, uint32_t baud, uint32_t settleMs, int* fd, int* errorNumber) {
    *fd = -1;
    *errorNumber = 0;
    int f = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (f < 0) {
        *errorNumber = errno;
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO || errno == ENOTDIR) return SERIAL_PORT_MISSING;
        return errno == EBUSY ? SERIAL_PORT_BUSY : SERIAL_PORT_FAILED;
    }
    uint32_t result = SERIAL_PORT_OK;
    bool rateRefused = false;
    if (!isatty(f)) {
        *errorNumber = ENOTTY;
        result = SERIAL_PORT_NOT_TTY;
    } else if (flock(f, LOCK_EX | LOCK_NB) != 0) {
        // TIOCEXCL does not stop a privileged program; the lock stops every one of ours.
        *errorNumber = errno;
        result = errno == EWOULDBLOCK ? SERIAL_PORT_BUSY : SERIAL_PORT_FAILED;
    } else if (ioctl(f, TIOCEXCL) != 0) {
        *errorNumber = errno;
        result = SERIAL_PORT_FAILED;
    } else if (!SerialLineSetup(f, baud, &rateRefused)) {
        *errorNumber = errno;
        result = rateRefused ? SERIAL_PORT_BAD_RATE : SERIAL_PORT_FAILED;
    }
    if (result == SERIAL_PORT_OK) {
        SleepMilliseconds(settleMs);
        if (!ModemLine(f, TIOCM_RTS, true) || !ModemLine(f, TIOCM_DTR, true)) {
            *errorNumber = errno;
            result = SERIAL_PORT_FAILED;
        }
    }
    if (result != SERIAL_PORT_OK) {
        close(f);  // also releases the lock and the exclusive mode
        return result;
    }
    *fd = f;
    return SERIAL_PORT_OK;
}

void SerialPortClose(int fd) {
    if (fd < 0) return;
    ModemLine(fd, TIOCM_RTS, false);
    ModemLine(fd, TIOCM_DTR, false);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    close(fd);
}

uint32_t SerialPortBaud(int fd) { return SerialLineBaud(fd); }

int SerialPortWrite(int fd, const uint8_t* data, uint32_t length, uint32_t timeoutMs, int consoleFd) {
    const uint64_t deadline = timeoutMs == kForever ? UINT64_MAX : NowMs() + timeoutMs;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return 0;
        for (;;) {
            if (Stopped(fd)) return -1;
            ConsoleWatchKeysRaw(consoleFd);
            // A negative descriptor is skipped by poll.
            struct pollfd p[3] = {{fd, POLLOUT, 0}, {consoleFd, POLLIN, 0}, {ConsoleEndFd(), POLLIN, 0}};
            int r = poll(p, 3, PollWait(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return 0;
            if (r == 0 && PollWait(deadline) == 0) return 0;  // the line took nothing for the whole wait
            if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;
            if (p[0].revents & POLLOUT) break;
            if (p[2].revents & POLLIN) continue;  // seen at the top
            if (consoleFd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                if (ConsoleCancelKeyPressed(&consoleFd)) return -1;
            }
        }
    }
    // Done when the bytes have left: the unit's answer time counts from there.
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 1;
        if (Stopped(fd)) return -1;
        if (PollWait(deadline) == 0) return 0;
        SleepMilliseconds(1);
    }
}

bool SerialPortReadSome(int fd, uint8_t* buffer, uint32_t length, uint32_t timeoutMs, int consoleFd, int32_t* count) {
    *count = 0;
    if (length == 0) return true;
    const uint64_t deadline = timeoutMs == kForever ? UINT64_MAX : NowMs() + timeoutMs;
    for (;;) {
        if (ConsoleEndStatus() != 0) {
            *count = -1;
            return true;
        }
        ConsoleWatchKeysRaw(consoleFd);
        // A negative descriptor is skipped by poll.
        struct pollfd p[3] = {{fd, POLLIN, 0}, {consoleFd, POLLIN, 0}, {ConsoleEndFd(), POLLIN, 0}};
        int r = poll(p, 3, PollWait(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0 && PollWait(deadline) == 0) return true;  // time-out: 0 bytes
        if (p[0].revents & POLLIN) {
            ssize_t n = read(fd, buffer, length);
            if (n > 0) {
                *count = static_cast<int32_t>(n);
                return true;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;  // end of file: the line was hung up
        }
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
        if (consoleFd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) && ConsoleCancelKeyPressed(&consoleFd)) {
            *count = -1;
            return true;
        }
    }
}

bool SerialPortPurge(int fd) { return tcflush(fd, TCIOFLUSH) == 0; }

bool SerialPortBreak(int fd, bool on) { return ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0; }
