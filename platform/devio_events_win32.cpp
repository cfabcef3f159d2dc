// The events of devio.h on Windows: an event object each, waited on with
// WaitForMultipleObjects together with the console's wait objects (wait_win32.h).
#include "platform/devio.h"

#include <windows.h>

#include <mutex>

#include "platform/clock.h"
#include "platform/wait_win32.h"

namespace {

constexpr int kMaxEvents = 64;
struct EventSlot {
    bool used = false;
    bool manual = false;
    bool signalled = false;
    HANDLE handle = nullptr;  // manual-reset; auto-reset events are cleared by the wait below
    int token = -1;
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
    if (SetEvent(e->handle)) e->signalled = true;
}

void ResetLocked(EventSlot* e) {
    if (!e->signalled) return;
    if (ResetEvent(e->handle)) e->signalled = false;
}

}  // namespace

DevEvent DevCreateEvent(bool manualReset, bool initialState) {
    std::lock_guard<std::mutex> g(g_eventTable);
    for (int i = 0; i < kMaxEvents; ++i) {
        EventSlot& e = g_events[i];
        if (e.used) continue;
        e.handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (e.handle == nullptr) return DEV_NO_EVENT;
        e.token = WaitTokenFor(e.handle);
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
    if (g_events[ev].token >= 0) WaitTokenRelease(g_events[ev].token);
    CloseHandle(g_events[ev].handle);
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
    return e ? e->token : -1;
}

uint32_t DevWaitEvent(DevEvent ev, int watchFd, uint32_t timeoutMs, int stopFd) {
    const uint64_t deadline = timeoutMs == DEV_INFINITE ? UINT64_MAX : ClockNow() + timeoutMs;
    for (;;) {
        HANDLE handles[3];
        DWORD count = 0;
        {
            std::lock_guard<std::mutex> g(g_eventTable);
            EventSlot* e = EventAt(ev);
            if (!e) return DEV_WAIT_FAILED;
            if (e->signalled) {
                if (!e->manual) ResetLocked(e);
                return DEV_WAIT_EVENT;
            }
            handles[count++] = e->handle;
        }
        const int wait = ClockWaitSlice(deadline);
        if (wait == 0) return DEV_WAIT_TIMEOUT;
        // The event wins when several are ready, then the stop object.
        const HANDLE stop = WaitObjectOf(stopFd);
        const HANDLE watch = WaitObjectOf(watchFd);
        DWORD stopAt = MAXDWORD, watchAt = MAXDWORD;
        if (stop) {
            stopAt = count;
            handles[count++] = stop;
        }
        if (watch) {
            watchAt = count;
            handles[count++] = watch;
        }
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, wait < 0 ? INFINITE : static_cast<DWORD>(wait));
        if (r == WAIT_TIMEOUT) continue;  // the clock decides, above
        if (r == WAIT_FAILED || r >= WAIT_OBJECT_0 + count) return DEV_WAIT_FAILED;
        const DWORD at = r - WAIT_OBJECT_0;
        if (at == 0) continue;  // confirmed under the lock above
        if (at == stopAt) return DEV_WAIT_STOP;
        if (at == watchAt) return DEV_WAIT_FD;
    }
}
