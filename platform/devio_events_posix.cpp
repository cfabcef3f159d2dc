// The system side of devio's events on POSIX: an eventfd each, polled beside the
// console's descriptors.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/devio_events_os.h"

bool DevOsEventOpen(DevOsEvent* e) {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return false;
    e->object = fd;
    e->waitable = fd;
    return true;
}

void DevOsEventClose(DevOsEvent* e) {
    close(static_cast<int>(e->object));
    *e = DevOsEvent{};
}

bool DevOsEventSet(const DevOsEvent& e) {
    uint64_t one = 1;
    return write(static_cast<int>(e.object), &one, sizeof one) == sizeof one;
}

bool DevOsEventReset(const DevOsEvent& e) {
    uint64_t v;
    return read(static_cast<int>(e.object), &v, sizeof v) == sizeof v || errno == EAGAIN;
}

DevOsWait DevOsEventWait(const DevOsEvent& e, int watchFd, int stopFd, int waitMs) {
    // A negative descriptor is skipped by poll.
    pollfd fds[3] = {{static_cast<int>(e.object), POLLIN, 0}, {watchFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(fds, 3, waitMs);
    if (n < 0) return errno == EINTR ? DEV_OS_NOTHING : DEV_OS_FAILED;
    if (n == 0) return DEV_OS_NOTHING;
    if (fds[0].revents & POLLIN) return DEV_OS_READY_EVENT;
    if (stopFd >= 0 && (fds[2].revents & POLLIN)) return DEV_OS_READY_STOP;
    if (watchFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) return DEV_OS_READY_WATCH;
    return DEV_OS_NOTHING;
}
