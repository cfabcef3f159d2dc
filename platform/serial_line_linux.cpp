#include "platform/serial_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

bool SerialLineSetup(int fd, uint32_t baud, bool* rateRefused) {
    *rateRefused = false;
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    // Binary: no line editing, no character translation, no signals, no echo.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // 8N1, receiver on, modem status lines ignored; RTS/CTS off since Linux ties RTS
    // handshaking to CTS output flow control, which the unit does not drive.
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &t) != 0) return false;
    struct termios2 back;
    if (ioctl(fd, TCGETS2, &back) != 0) return false;
    // Drivers round to what their clock can make; more than 3 % off is a refusal.
    uint64_t got = back.c_ospeed;
    if (got == 0 || got * 100 < static_cast<uint64_t>(baud) * 97 || got * 100 > static_cast<uint64_t>(baud) * 103) {
        *rateRefused = true;
        errno = EINVAL;
        return false;
    }
    return true;
}

uint32_t SerialLineBaud(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}
