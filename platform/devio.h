#pragma once
#include <cstdint>

// User-mode access to the unit devices of the qorpelmo driver: open by name,
// device controls, reads and writes, overlapped completion with events, cancel.
// The driver runs inside this process on our kernel layer; the first DevOpen
// starts it (driver entry once, then one device per unit on the bus).
//
// Every call returns a DevStatus. With an overlapped block an operation either
// completes at once (DEV_SUCCESS or a failure; the block's event is signalled
// too) or returns DEV_PENDING and signals the block's event when it finishes;
// DevGetOverlappedResult then gives its final status and byte count. Without an
// overlapped block the call waits until the request has finished.
// The caller's buffers must stay valid until a pending request has finished.

enum DevStatus : uint32_t {
    DEV_SUCCESS = 0,
    DEV_PENDING = 1,            // request queued; completion signals the event
    DEV_CANCELLED = 2,          // cancelled (DevCancelIo, handle closed, device going away)
    DEV_INVALID_PARAMETER = 3,  // wrong buffer lengths, zero-length read or write
    DEV_NOT_IMPLEMENTED = 4,    // unknown control code
    DEV_SHARING_VIOLATION = 5,  // the device is held exclusively by another handle
    DEV_DELETE_PENDING = 6,     // the device is being removed
    DEV_UNSUCCESSFUL = 7,       // refused (generic failure)
    DEV_NO_MEMORY = 8,          // no memory for the request
    DEV_NO_SUCH_DEVICE = 9,     // no device of that name
    DEV_INVALID_HANDLE = 10,    // not an open handle
    DEV_IO_INCOMPLETE = 11,     // DevGetOverlappedResult without waiting: still pending
    DEV_TIMEOUT = 12,           // a wait ran out (DevGetOverlappedResultTimeout)
    DEV_DEVICE_ERROR = 13,      // the bus reported a transfer error (stall, babble, ...)
    DEV_DEVICE_GONE = 14,       // the bus no longer reaches the unit
    DEV_INSUFFICIENT_RESOURCES = 15,
    DEV_TOO_MANY_OPEN = 16,  // handle or event table full
};

// Short name of a status ("STATUS_CANCELLED", ...), for logs and test output.
const char* DevStatusName(uint32_t status);

// The driver's device controls.
constexpr uint32_t DEV_IOCTL_SEND_COMMAND = 0x80002000;     // in: exactly 10 bytes, out: none
constexpr uint32_t DEV_IOCTL_RECEIVE_ANSWER = 0x80002004;   // in: none, out: exactly 8 bytes
constexpr uint32_t DEV_IOCTL_GET_PACKET_SIZE = 0x80002008;  // in: none, out: exactly 1 byte

// ---- events (stand-ins for Windows event objects) ----

typedef int32_t DevEvent;
constexpr DevEvent DEV_NO_EVENT = -1;
constexpr uint32_t DEV_INFINITE = 0xFFFFFFFFu;

// Creates an event; manualReset events stay signalled until DevResetEvent, the
// others are cleared by the wait that sees them. DEV_NO_EVENT when the table is full.
DevEvent DevCreateEvent(bool manualReset, bool initialState);
void DevCloseEvent(DevEvent ev);
void DevSetEvent(DevEvent ev);
void DevResetEvent(DevEvent ev);
// A file descriptor that polls readable (POLLIN) while the event is signalled, so
// that a caller can watch it together with other descriptors (stdin). Reading it
// is not allowed; use DevResetEvent. -1 for a bad event.
int DevEventFd(DevEvent ev);

enum DevWaitResult : uint32_t {
    DEV_WAIT_EVENT = 0,  // the event is signalled
    DEV_WAIT_FD = 1,     // watchFd became readable (e.g. a key on stdin)
    DEV_WAIT_TIMEOUT = 2,
    DEV_WAIT_FAILED = 3,
    DEV_WAIT_STOP = 4,  // stopFd became readable (the program is to end)
};
// Waits up to timeoutMs (DEV_INFINITE: no limit) for the event, and also for
// watchFd and stopFd to become readable when they are >= 0. The event wins when
// several are ready, then stopFd.
uint32_t DevWaitEvent(DevEvent ev, int watchFd, uint32_t timeoutMs, int stopFd = -1);

// ---- device handles ----

typedef int32_t DevHandle;
constexpr DevHandle DEV_INVALID_HANDLE_VALUE = -1;

// Share modes for DevOpen (0 = no sharing: the handle takes the device exclusively).
constexpr uint32_t DEV_SHARE_READ = 1;
constexpr uint32_t DEV_SHARE_WRITE = 2;

// Overlapped block: set Event before the call (or DEV_NO_EVENT to only poll);
// the other fields belong to devio while the request is in flight.
struct DevOverlapped {
    DevEvent Event = DEV_NO_EVENT;
    uint32_t Status = DEV_SUCCESS;  // DEV_PENDING while in flight, then the final status
    uint32_t Information = 0;       // bytes transferred
    uint32_t Reserved = 0;          // request slot, devio's own
};

// Opens "\\.\QORPELMO<n>" (case-insensitive; "\\.\" may be omitted).
// shareMode 0 asks for exclusive access. *handle is DEV_INVALID_HANDLE_VALUE on failure.
uint32_t DevOpen(const char* name, uint32_t shareMode, DevHandle* handle);
// Closes the handle; its pending requests complete with DEV_CANCELLED first.
uint32_t DevClose(DevHandle handle);

// DeviceIoControl. *transferred (may be null) is set when the call completes at once.
uint32_t DevIoControl(DevHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                      uint32_t* transferred, DevOverlapped* ov);
// ReadFile / WriteFile: one bulk transfer of at most 0x8000 bytes.
uint32_t DevRead(DevHandle handle, void* buffer, uint32_t length, uint32_t* transferred, DevOverlapped* ov);
uint32_t DevWrite(DevHandle handle, const void* buffer, uint32_t length, uint32_t* transferred, DevOverlapped* ov);
// Cancels every request of this handle that has not finished; they complete with DEV_CANCELLED.
uint32_t DevCancelIo(DevHandle handle);
// The final status of an overlapped request (DEV_IO_INCOMPLETE if !wait and still in
// flight); *transferred gets its byte count.
uint32_t DevGetOverlappedResult(DevHandle handle, DevOverlapped* ov, uint32_t* transferred, bool wait);

// ---- the in-process driver host ----

// Starts the driver host if it is not running (DevOpen does this itself).
uint32_t DevHostStart();
// Removes every device and stops the host; open handles become invalid. For tests
// and process exit; a later DevOpen starts it again.
void DevHostStop();
// After DevHostStop: frees what the host keeps for the process's life, for a library
// that is being unloaded. False if something still runs.
bool DevHostRelease();

// ---- the host behind these calls ----

// The driver host registers its table here (its glue does, at static initialisation),
// so that this layer knows nothing of it: files and requests are its own objects.
enum DevRequestKind : uint8_t { DEV_REQUEST_CONTROL, DEV_REQUEST_READ, DEV_REQUEST_WRITE };
struct DevBackend {
    bool (*running)();
    uint32_t (*start)();
    void (*stop)();
    bool (*releaseHost)();
    uint32_t (*open)(const char* name, uint32_t shareMode, void** file);
    void (*close)(void* file);  // cancels what the file still has in flight and waits for it
    // Hands a request to the driver. *request gets it, referenced for the caller, or null
    // when it never reached the driver (the status says why). Its completion calls
    // DevRequestFinished(context, ...) once, possibly before submit returns; a request
    // still in flight on return gives DEV_PENDING.
    uint32_t (*submit)(void* file, DevRequestKind kind, uint32_t code, const void* in, uint32_t inLength, void* out,
                       uint32_t outLength, void* context, void** request);
    void (*reference)(void* request);
    void (*dereference)(void* request);
    void (*cancel)(void* request);
};
void DevRegisterBackend(const DevBackend* backend);
// Called by the host when a submitted request has finished.
void DevRequestFinished(void* context, uint32_t status, uint32_t information);
