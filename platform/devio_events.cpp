// The events of devio.h: a table of slots under one lock, each with its system object
// (devio_events_posix.cpp: an eventfd; devio_events_win32.cpp: an event object), so that
// a transfer's wait can watch it beside the console's.
#include <mutex>

#include "platform/clock.h"
#include "platform/devio.h"
#include "platform/devio_events_os.h"

namespace {

constexpr int kMaxEvents = 64;
struct EventSlot {
    bool used = false;
    bool manual = false;
    bool signalled = false;  // the system object is set; auto-reset events are cleared by the wait
    DevOsEvent os;
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
    if (DevOsEventSet(e->os)) e->signalled = true;
}

void ResetLocked(EventSlot* e) {
    if (!e->signalled) return;
    if (DevOsEventReset(e->os)) e->signalled = false;
}

}  // namespace

DevEvent DevCreateEvent(bool manualReset, bool initialState) {
    std::lock_guard<std::mutex> g(g_eventTable);
    for (int i = 0; i < kMaxEvents; ++i) {
        EventSlot& e = g_events[i];
        if (e.used) continue;
        if (!DevOsEventOpen(&e.os)) return DEV_NO_EVENT;
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
    DevOsEventClose(&g_events[ev].os);
    g_events[ev] = EventSlot{};
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
    return e ? e->os.waitable : -1;
}

uint32_t DevWaitEvent(DevEvent ev, int watchFd, uint32_t timeoutMs, int stopFd) {
    const uint64_t deadline = timeoutMs == DEV_INFINITE ? UINT64_MAX : ClockNow() + timeoutMs;
    for (;;) {
        DevOsEvent os;
        {
            std::lock_guard<std::mutex> g(g_eventTable);
            EventSlot* e = EventAt(ev);
            if (!e) return DEV_WAIT_FAILED;
            if (e->signalled) {
                if (!e->manual) ResetLocked(e);
                return DEV_WAIT_EVENT;
            }
            os = e->os;
        }
        const int wait = ClockWaitSlice(deadline);
        if (wait == 0) return DEV_WAIT_TIMEOUT;
        switch (DevOsEventWait(os, watchFd, stopFd, wait)) {
        case DEV_OS_FAILED: return DEV_WAIT_FAILED;
        case DEV_OS_READY_STOP: return DEV_WAIT_STOP;
        case DEV_OS_READY_WATCH: return DEV_WAIT_FD;
        default: break;  // the event is confirmed under the lock above; the clock decides the rest
        }
    }
}
