// User-mode side of the unit devices: handles and overlapped requests on the in-process
// driver host (kernel/ + qorpelmo/). The events are the system's own
// (devio_events_posix.cpp, devio_events_win32.cpp).
#include "platform/devio.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/shutdown.h"

namespace {

// ---- handles and requests ----

constexpr int kMaxHandles = 32;
constexpr int kMaxRequests = 1024;

struct HandleSlot {
    bool used = false;
    bool closing = false;
    void* file = nullptr;  // the host's
};

struct Request {
    bool used = false;
    bool done = false;
    bool attached = false;  // the submitter has stored irp
    DevHandle handle = -1;
    void* irp = nullptr;  // the host's request: the caller's reference while in flight
    DevOverlapped* ov = nullptr;
    uint32_t status = DEV_PENDING;
    uint32_t information = 0;
    uint64_t order = 0;  // issue order
};

std::mutex g_lock;  // handles, requests, overlapped blocks
std::condition_variable g_done;
HandleSlot g_handles[kMaxHandles];
Request g_requests[kMaxRequests];
uint64_t g_issued = 0;

const DevBackend* g_backend = nullptr;

// Called with g_lock held once both the completion and the submitter are through.
void ReleaseIfFinished(Request* r) {
    if (!r->done || !r->attached) return;
    if (r->irp) g_backend->dereference(r->irp);
    r->irp = nullptr;
    // A caller waiting without an overlapped block frees the slot itself.
    if (r->ov) r->used = false;
}

}  // namespace

// Completion from the driver host, on whatever thread completed the request.
void DevRequestFinished(void* context, uint32_t status, uint32_t information) {
    auto* r = static_cast<Request*>(context);
    // The event is set before the result can be seen, so a caller that has seen
    // the result may close the event at once.
    std::lock_guard<std::mutex> g(g_lock);
    r->status = status;
    r->information = status == DEV_SUCCESS ? information : 0;
    r->done = true;
    if (r->ov) {
        r->ov->Information = r->information;
        r->ov->Status = r->status;
        r->ov->Reserved = 0;
        if (r->ov->Event != DEV_NO_EVENT) DevSetEvent(r->ov->Event);
    }
    ReleaseIfFinished(r);
    g_done.notify_all();
}

void DevRegisterBackend(const DevBackend* backend) { g_backend = backend; }

namespace {

void* FileOf(DevHandle h) {
    if (h < 0 || h >= kMaxHandles || !g_handles[h].used || g_handles[h].closing) return nullptr;
    return g_handles[h].file;
}

uint32_t Submit(DevHandle handle, DevRequestKind kind, uint32_t code, const void* in, uint32_t inLength, void* out,
                uint32_t outLength, uint32_t* transferred, DevOverlapped* ov) {
    if (transferred) *transferred = 0;
    // A length without a buffer would have the driver copy from or to nowhere.
    if ((inLength && !in) || (outLength && !out)) return DEV_INVALID_PARAMETER;
    Request* r = nullptr;
    void* file;
    {
        std::lock_guard<std::mutex> g(g_lock);
        file = FileOf(handle);
        if (!file) return DEV_INVALID_HANDLE;
        for (auto& q : g_requests)
            if (!q.used) {
                r = &q;
                break;
            }
        if (!r) return DEV_TOO_MANY_OPEN;
        *r = Request{};
        r->used = true;
        r->handle = handle;
        r->ov = ov;
        r->order = ++g_issued;
        if (ov) {
            ov->Status = DEV_PENDING;
            ov->Information = 0;
            ov->Reserved = static_cast<uint32_t>(r - g_requests) + 1;
        }
    }
    if (ov && ov->Event != DEV_NO_EVENT) DevResetEvent(ov->Event);
    void* irp = nullptr;
    const uint32_t s = g_backend->submit(file, kind, code, in, inLength, out, outLength, r, &irp);
    std::unique_lock<std::mutex> g(g_lock);
    if (!irp) {  // never reached the driver
        r->used = false;
        if (ov) {
            ov->Status = s;
            ov->Reserved = 0;
        }
        return s;
    }
    r->irp = irp;
    r->attached = true;
    if (!ov) {
        g_done.wait(g, [r] { return r->done; });
        uint32_t status = r->status;
        if (transferred) *transferred = r->information;
        ReleaseIfFinished(r);
        r->used = false;
        return status;
    }
    if (s == DEV_PENDING) {
        ReleaseIfFinished(r);
        return DEV_PENDING;
    }
    // Completed inside the call.
    uint32_t status = ov->Status;
    if (transferred) *transferred = ov->Information;
    ReleaseIfFinished(r);
    return status;
}

}  // namespace

const char* DevStatusName(uint32_t status) {
    static const char* const names[] = {"STATUS_SUCCESS",
                                        "STATUS_PENDING",
                                        "STATUS_CANCELLED",
                                        "STATUS_INVALID_PARAMETER",
                                        "STATUS_NOT_IMPLEMENTED",
                                        "STATUS_SHARING_VIOLATION",
                                        "STATUS_DELETE_PENDING",
                                        "STATUS_UNSUCCESSFUL",
                                        "STATUS_NO_MEMORY",
                                        "STATUS_NO_SUCH_DEVICE",
                                        "STATUS_INVALID_HANDLE",
                                        "STATUS_IO_INCOMPLETE",
                                        "STATUS_TIMEOUT",
                                        "STATUS_IO_DEVICE_ERROR",
                                        "STATUS_DEVICE_NOT_CONNECTED",
                                        "STATUS_INSUFFICIENT_RESOURCES",
                                        "STATUS_TOO_MANY_OPENED_FILES"};
    return status < sizeof names / sizeof names[0] ? names[status] : "STATUS_UNKNOWN";
}

// ---- host ----

uint32_t DevHostStart() {
    if (!g_backend) return DEV_UNSUCCESSFUL;  // no host linked in
    if (g_backend->running()) return DEV_SUCCESS;
    const uint32_t s = g_backend->start();
    // At the end, handles still open are closed and the units given back to the
    // system; then what the host keeps for the process's life goes (after its stop,
    // so registered before it). The host's own sources registered theirs as it started.
    ShutdownRegister([] { DevHostRelease(); });
    ShutdownRegister(DevHostStop);
    return s;
}

void DevHostStop() {
    for (DevHandle h = 0; h < kMaxHandles; ++h) {
        bool open;
        {
            std::lock_guard<std::mutex> g(g_lock);
            open = g_handles[h].used && !g_handles[h].closing;
        }
        if (open) DevClose(h);
    }
    if (g_backend) g_backend->stop();
}

bool DevHostRelease() { return !g_backend || g_backend->releaseHost(); }

// ---- handles ----

uint32_t DevOpen(const char* name, uint32_t shareMode, DevHandle* handle) {
    *handle = DEV_INVALID_HANDLE_VALUE;
    if (!name) return DEV_INVALID_PARAMETER;
    uint32_t s = DevHostStart();
    if (s != DEV_SUCCESS) return s;
    DevHandle h = DEV_INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> g(g_lock);
        for (DevHandle i = 0; i < kMaxHandles; ++i)
            if (!g_handles[i].used) {
                h = i;
                g_handles[i] = HandleSlot{true, true, nullptr};  // reserved until opened
                break;
            }
    }
    if (h < 0) return DEV_TOO_MANY_OPEN;
    void* file = nullptr;
    const uint32_t opened = g_backend->open(name, shareMode, &file);
    std::lock_guard<std::mutex> g(g_lock);
    if (opened != DEV_SUCCESS) {
        g_handles[h] = HandleSlot{};
        return opened;
    }
    g_handles[h].file = file;
    g_handles[h].closing = false;
    *handle = h;
    return DEV_SUCCESS;
}

uint32_t DevClose(DevHandle handle) {
    void* file;
    {
        std::lock_guard<std::mutex> g(g_lock);
        file = FileOf(handle);
        if (!file) return DEV_INVALID_HANDLE;
        g_handles[handle].closing = true;
    }
    // Cleanup cancels what the driver still holds for this handle; close waits for it.
    g_backend->close(file);
    std::lock_guard<std::mutex> g(g_lock);
    g_handles[handle] = HandleSlot{};
    return DEV_SUCCESS;
}

uint32_t DevIoControl(DevHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                      uint32_t* transferred, DevOverlapped* ov) {
    return Submit(handle, DEV_REQUEST_CONTROL, code, in, inLength, out, outLength, transferred, ov);
}

uint32_t DevRead(DevHandle handle, void* buffer, uint32_t length, uint32_t* transferred, DevOverlapped* ov) {
    return Submit(handle, DEV_REQUEST_READ, 0, nullptr, 0, buffer, length, transferred, ov);
}

uint32_t DevWrite(DevHandle handle, const void* buffer, uint32_t length, uint32_t* transferred, DevOverlapped* ov) {
    return Submit(handle, DEV_REQUEST_WRITE, 0, buffer, length, nullptr, 0, transferred, ov);
}

uint32_t DevCancelIo(DevHandle handle) {
    std::vector<std::pair<uint64_t, void*>> victims;
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (!FileOf(handle)) return DEV_INVALID_HANDLE;
        for (auto& r : g_requests)
            if (r.used && r.handle == handle && !r.done && r.irp) {
                g_backend->reference(r.irp);
                victims.emplace_back(r.order, r.irp);
            }
    }
    // Newest first: a queued request goes before the one ahead of it finishes and
    // would start it.
    std::sort(victims.begin(), victims.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (auto& v : victims) {
        g_backend->cancel(v.second);
        g_backend->dereference(v.second);
    }
    return DEV_SUCCESS;
}

uint32_t DevGetOverlappedResult(DevHandle handle, DevOverlapped* ov, uint32_t* transferred, bool wait) {
    if (transferred) *transferred = 0;
    if (!ov) return DEV_INVALID_PARAMETER;
    std::unique_lock<std::mutex> g(g_lock);
    if (handle < 0 || handle >= kMaxHandles || !g_handles[handle].used) return DEV_INVALID_HANDLE;
    if (ov->Status == DEV_PENDING) {
        if (!wait) return DEV_IO_INCOMPLETE;
        g_done.wait(g, [ov] { return ov->Status != DEV_PENDING; });
    }
    if (transferred) *transferred = ov->Information;
    return ov->Status;
}
