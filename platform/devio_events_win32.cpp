// The system side of devio's events on Windows: a manual-reset event object each,
// waited on with WaitForMultipleObjects together with the console's wait objects
// (wait_win32.h).
#include <windows.h>

#include "platform/devio_events_os.h"
#include "platform/wait_win32.h"

namespace {
HANDLE HandleOf(const DevOsEvent& e) { return reinterpret_cast<HANDLE>(e.object); }
}  // namespace

bool DevOsEventOpen(DevOsEvent* e) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (h == nullptr) return false;
    e->object = reinterpret_cast<intptr_t>(h);
    e->waitable = WaitTokenFor(h);
    return true;
}

void DevOsEventClose(DevOsEvent* e) {
    if (e->waitable >= 0) WaitTokenRelease(e->waitable);
    CloseHandle(HandleOf(*e));
    *e = DevOsEvent{};
}

bool DevOsEventSet(const DevOsEvent& e) { return SetEvent(HandleOf(e)) != 0; }

bool DevOsEventReset(const DevOsEvent& e) { return ResetEvent(HandleOf(e)) != 0; }

DevOsWait DevOsEventWait(const DevOsEvent& e, int watchFd, int stopFd, int waitMs) {
    HANDLE handles[3];
    DWORD count = 0;
    handles[count++] = HandleOf(e);
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
    // The lowest index wins when several are ready: the event, then the stop object.
    const DWORD r = WaitForMultipleObjects(count, handles, FALSE, waitMs < 0 ? INFINITE : static_cast<DWORD>(waitMs));
    if (r == WAIT_TIMEOUT) return DEV_OS_NOTHING;
    if (r == WAIT_FAILED || r >= WAIT_OBJECT_0 + count) return DEV_OS_FAILED;
    const DWORD at = r - WAIT_OBJECT_0;
    if (at == 0) return DEV_OS_READY_EVENT;
    if (at == stopAt) return DEV_OS_READY_STOP;
    if (at == watchAt) return DEV_OS_READY_WATCH;
    return DEV_OS_NOTHING;
}
