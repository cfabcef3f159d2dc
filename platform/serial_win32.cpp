// Serial ports on Windows: communications devices opened exclusively and
// overlapped, whose waits also watch the console for the cancel key.
#include "platform/serial.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial_line.h"
#include "platform/wait_win32.h"

namespace {

constexpr uint32_t kForever = 0xFFFFFFFFu;

// A port as the interface hands it out: an index into this table.
struct Port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;   // manual reset: a read's completion
    HANDLE writeEvent = nullptr;  // auto reset: a write's completion
};
constexpr int kPortCount = 16;
Port g_ports[kPortCount];
std::mutex g_portsLock;

Port* PortOf(int fd) {
    if (fd < 0 || fd >= kPortCount) return nullptr;
    std::lock_guard<std::mutex> g(g_portsLock);
    return g_ports[fd].handle == INVALID_HANDLE_VALUE ? nullptr : &g_ports[fd];
}

int TakeSlot(HANDLE handle, HANDLE readEvent, HANDLE writeEvent) {
    std::lock_guard<std::mutex> g(g_portsLock);
    for (int i = 0; i < kPortCount; ++i) {
        if (g_ports[i].handle != INVALID_HANDLE_VALUE) continue;
        g_ports[i] = Port{handle, readEvent, writeEvent};
        return i;
    }
    return -1;
}

void FreeSlot(int fd) {
    std::lock_guard<std::mutex> g(g_portsLock);
    Port& p = g_ports[fd];
    CloseHandle(p.handle);
    CloseHandle(p.readEvent);
    CloseHandle(p.writeEvent);
    p = Port{};
}

// The program is to end: what the driver still holds for the line is dropped, so
// that the close does not wait for it.
bool Stopped(HANDLE h) {
    if (ConsoleEndStatus() == 0) return false;
    PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    return true;
}

// A line the driver will not set by hand (RTS under handshake control, a port with
// no modem lines) is skipped, as on a device that does not have it.
bool ModemLine(HANDLE h, DWORD function) {
    if (EscapeCommFunction(h, function)) return true;
    const DWORD e = GetLastError();
    return e == ERROR_INVALID_PARAMETER || e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION;
}

enum WaitEnd { WAIT_DONE, WAIT_TIMED_OUT, WAIT_CANCELLED, WAIT_BROKE };

// Waits for the overlapped request on `event` until `deadline` (a ClockNow value,
// UINT64_MAX: none), the cancel key on the console, or the end of the program. The
// request is still in flight on every result but WAIT_DONE.
WaitEnd WaitFor(HANDLE port, HANDLE event, uint64_t deadline, int* consoleFd) {
    for (;;) {
        if (Stopped(port)) return WAIT_CANCELLED;
        ConsoleWatchKeysRaw(*consoleFd);
        // The request first: when it and a key are both there, the bytes count.
        HANDLE handles[3] = {event};
        DWORD count = 1;
        if (HANDLE end = WaitObjectOf(ConsoleEndFd())) handles[count++] = end;
        HANDLE keys = WaitObjectOf(*consoleFd);
        if (keys != nullptr) handles[count++] = keys;
        const int slice = ClockWaitSlice(deadline);
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, slice < 0 ? INFINITE : static_cast<DWORD>(slice));
        if (r == WAIT_OBJECT_0) return WAIT_DONE;
        if (r == WAIT_TIMEOUT) {
            if (ClockWaitSlice(deadline) == 0) return WAIT_TIMED_OUT;
            continue;
        }
        if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) {
            if (handles[r - WAIT_OBJECT_0] == keys && ConsoleCancelKeyPressed(consoleFd)) return WAIT_CANCELLED;
            continue;  // the end is seen at the top
        }
        return WAIT_BROKE;
    }
}

// Ends a request that is still in flight and gives what it moved before it ended.
DWORD Abandon(HANDLE h, OVERLAPPED* ov) {
    CancelIo(h);
    DWORD moved = 0;
    GetOverlappedResult(h, ov, &moved, TRUE);
    return moved;
}

}  // namespace

void SerialPortDefaultName(uint32_t com, char* name, size_t size) {
    // The device namespace form: the only one that also reaches COM10 and above.
    std::snprintf(name, size, "\\\\.\\COM%u", com);
}

uint32_t SerialPortOpen(const char* path, uint32_t baud, uint32_t settleMs, int* fd, int* errorNumber) {
    *fd = -1;
    *errorNumber = 0;
    // No sharing: a second program, or a second open of ours, is refused.
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        *errorNumber = static_cast<int>(e);
        switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT: return SERIAL_PORT_MISSING;
        case ERROR_ACCESS_DENIED:  // what a communications device in use answers
        case ERROR_SHARING_VIOLATION: return SERIAL_PORT_BUSY;
        default: return SERIAL_PORT_FAILED;
        }
    }
    uint32_t result = SERIAL_PORT_OK;
    bool rateRefused = false;
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &probe)) {
        *errorNumber = ERROR_INVALID_FUNCTION;
        result = SERIAL_PORT_NOT_TTY;
    } else if (!SetupComm(h, SERIAL_DRIVER_BUFFER, SERIAL_DRIVER_BUFFER)) {
        *errorNumber = static_cast<int>(GetLastError());
        result = SERIAL_PORT_FAILED;
    } else if (!SerialLineSetup(h, baud, &rateRefused)) {
        *errorNumber = static_cast<int>(GetLastError());
        result = rateRefused ? SERIAL_PORT_BAD_RATE : SERIAL_PORT_FAILED;
    } else {
        // Write time-outs stay off; the read time-outs are set before every read.
        COMMTIMEOUTS none{};
        if (!SetCommTimeouts(h, &none)) {
            *errorNumber = static_cast<int>(GetLastError());
            result = SERIAL_PORT_FAILED;
        }
    }
    if (result == SERIAL_PORT_OK) {
        SleepMilliseconds(settleMs);
        if (!ModemLine(h, SETRTS) || !ModemLine(h, SETDTR)) {
            *errorNumber = static_cast<int>(GetLastError());
            result = SERIAL_PORT_FAILED;
        }
    }
    HANDLE readEvent = nullptr, writeEvent = nullptr;
    if (result == SERIAL_PORT_OK) {
        readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        const int slot = readEvent && writeEvent ? TakeSlot(h, readEvent, writeEvent) : -1;
        if (slot >= 0) {
            *fd = slot;
            return SERIAL_PORT_OK;
        }
        *errorNumber = readEvent && writeEvent ? ERROR_TOO_MANY_OPEN_FILES : static_cast<int>(GetLastError());
        result = SERIAL_PORT_FAILED;
    }
    if (readEvent) CloseHandle(readEvent);
    if (writeEvent) CloseHandle(writeEvent);
    CloseHandle(h);
    return result;
}

void SerialPortClose(int fd) {
    Port* p = PortOf(fd);
    if (p == nullptr) return;
    ModemLine(p->handle, CLRRTS);
    ModemLine(p->handle, CLRDTR);
    FreeSlot(fd);
}

uint32_t SerialPortBaud(int fd) {
    Port* p = PortOf(fd);
    return p ? SerialLineBaud(p->handle) : 0;
}

int SerialPortWrite(int fd, const uint8_t* data, uint32_t length, uint32_t timeoutMs, int consoleFd) {
    Port* p = PortOf(fd);
    if (p == nullptr) return 0;
    if (length == 0) return 1;
    const uint64_t deadline = timeoutMs == kForever ? UINT64_MAX : ClockNow() + timeoutMs;
    OVERLAPPED ov{};
    ov.hEvent = p->writeEvent;
    // With no write time-out the request completes once the driver has sent every byte.
    if (!WriteFile(p->handle, data, length, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return 0;
    switch (WaitFor(p->handle, ov.hEvent, deadline, &consoleFd)) {
    case WAIT_DONE: break;
    case WAIT_CANCELLED: Abandon(p->handle, &ov); return -1;
    case WAIT_TIMED_OUT:
    case WAIT_BROKE: Abandon(p->handle, &ov); return 0;
    }
    DWORD moved = 0;
    return GetOverlappedResult(p->handle, &ov, &moved, FALSE) ? 1 : 0;
}

bool SerialPortReadSome(int fd, uint8_t* buffer, uint32_t length, uint32_t timeoutMs, int consoleFd, int32_t* count) {
    *count = 0;
    Port* p = PortOf(fd);
    if (p == nullptr) return false;
    if (length == 0) return true;
    const uint64_t deadline = timeoutMs == kForever ? UINT64_MAX : ClockNow() + timeoutMs;
    for (;;) {
        if (ConsoleEndStatus() != 0) {
            *count = -1;
            return true;
        }
        // Both at their maximum and a total constant: the read returns with the first
        // bytes that are there, or with none after the constant. Without a limit the
        // constant is the longest there is and the request is simply made again.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = timeoutMs == kForever ? MAXDWORD - 1 : (timeoutMs ? timeoutMs : 1);
        if (!SetCommTimeouts(p->handle, &t)) return false;
        OVERLAPPED ov{};
        ov.hEvent = p->readEvent;
        ResetEvent(ov.hEvent);
        DWORD moved = 0;
        if (!ReadFile(p->handle, buffer, length, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
        switch (WaitFor(p->handle, ov.hEvent, deadline, &consoleFd)) {
        case WAIT_DONE:
            if (!GetOverlappedResult(p->handle, &ov, &moved, FALSE)) return false;
            break;
        case WAIT_CANCELLED:
            // Bytes that came with the key are the line's; the caller drops the exchange.
            Abandon(p->handle, &ov);
            *count = -1;
            return true;
        case WAIT_TIMED_OUT:
            // The clock ran out before the driver's own time-out (a driven clock).
            moved = Abandon(p->handle, &ov);
            *count = static_cast<int32_t>(moved);
            return true;
        case WAIT_BROKE: Abandon(p->handle, &ov); return false;
        }
        if (moved > 0) {
            *count = static_cast<int32_t>(moved);
            return true;
        }
        if (timeoutMs != kForever) return true;  // time-out: 0 bytes
    }
}

bool SerialPortPurge(int fd) {
    Port* p = PortOf(fd);
    return p && PurgeComm(p->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool SerialPortBreak(int fd, bool on) {
    Port* p = PortOf(fd);
    if (p == nullptr) return false;
    return on ? SetCommBreak(p->handle) : ClearCommBreak(p->handle);
}
