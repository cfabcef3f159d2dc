// The events of devio.h on POSIX: an eventfd each, so that a wait can poll it beside
// the console's descriptors.
#include "platform/devio.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>

#include "platform/clock.h"

namespace {

// ---- events ----

constexpr int kMaxEvents = 64;
struct EventSlot {
    bool used = false;
    bool manual = false;
    bool signalled = false;
    int fd = -1;
};
EventSlot g_events[kMaxEvents];
std::mutex g_eventTable;  // guards every slot: closing an event never races a set

// Called with g_eventTable held.
EventSlot* EventAt(DevEvent ev) {
    if (ev < 0 || ev >= kMaxEvents) return nullptr;
    return g_events[ev].used ? &g_events[ev] : nullptr;
}

void SetLocked(EventSlot* e) {
    if (e->signalled) return;
    uint64_t one = 1;
    if (write(e->fd, &one, sizeof one) == sizeof one) e->signalled = true;
}

void ResetLocked(EventSlot* e) {
    if (!e->signalled) return;
    uint64_t v;
    if (read(e->fd, &v, sizeof v) == sizeof v || errno == EAGAIN) e->signalled = false;
}

}  // namespace

// ---- events ----

DevEvent DevCreateEvent(bool manualReset, bool initialState) {
    std::lock_guard<std::mutex> g(g_eventTable);
    for (int i = 0; i < kMaxEvents; ++i) {
        EventSlot& e = g_events[i];
        if (e.used) continue;
        e.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (e.fd < 0) return DEV_NO_EVENT;
        e.used = true;
        e.manual = manualReset;
        e.signalled = false;
        if (initialState) SetLocked(&e);
        return i;
    }
    return DEV_NO_EVENT;
}

void DevCloseEvent(DevEvent ev) {
    std::lock_guard<std::mutex> g(g_eventTable);
    if (ev < 0 || ev >= kMaxEvents || !g_events[ev].used) return;
    close(g_events[ev].fd);
    g_events[ev].fd = -1;
    g_events[ev].used = false;
}

void DevSetEvent(DevEvent ev) {
    std::lock_guard<std::mutex> g(g_eventTable);
    if (EventSlot* e = EventAt(ev)) SetLocked(e);
}

void DevResetEvent(DevEvent ev) {
    std::lock_guard<std::mutex> g(g_eventTable);
    if (EventSlot* e = EventAt(ev)) ResetLocked(e);
}

int DevEventFd(DevEvent ev) {
    std::lock_guard<std::mutex> g(g_eventTable);
    EventSlot* e = EventAt(ev);
    return e ? e->fd : -1;
}

uint32_t DevWaitEvent(DevEvent ev, int watchFd, uint32_t timeoutMs, int stopFd) {
    const uint64_t deadline = timeoutMs == DEV_INFINITE ? UINT64_MAX : ClockNow() + timeoutMs;
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> g(g_eventTable);
            EventSlot* e = EventAt(ev);
            if (!e) return DEV_WAIT_FAILED;
            if (e->signalled) {
                if (!e->manual) ResetLocked(e);
                return DEV_WAIT_EVENT;
            }
            fd = e->fd;
        }
        const int wait = ClockWaitSlice(deadline);
        if (wait == 0) return DEV_WAIT_TIMEOUT;
        // A negative descriptor is skipped by poll.
        pollfd fds[3] = {{fd, POLLIN, 0}, {watchFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        int n = poll(fds, 3, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return DEV_WAIT_FAILED;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) continue;  // confirmed under the lock above
        if (n > 0 && stopFd >= 0 && (fds[2].revents & POLLIN)) return DEV_WAIT_STOP;
        if (n > 0 && watchFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) return DEV_WAIT_FD;
    }
}
