// USB transport, user side: the record table, opening units by the unit number
// they report, and the overlapped waits that time out or are cancelled by Esc.
#include "link/usb.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/errors.h"
#include "link/line_driver.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/shutdown.h"

namespace {

UsbRecord g_records[USB_RECORD_COUNT];
UsbTimings g_timings;
uint32_t g_pollCount = 0;

// Shared by every USB transfer: one operation at a time in the process.
DevEvent g_ioEvent = DEV_NO_EVENT;
DevOverlapped g_overlapped;

// The cancel key's source: a terminal, or -1 for none.
int g_consoleFd = -1;
bool g_consoleChosen = false;
void ChooseConsole() {
    if (g_consoleChosen) return;
    g_consoleChosen = true;
    g_consoleFd = ConsoleTerminalFd();
}

// The driver host starts at the first device open and stops itself at exit.
bool CreateWaitObjects() {
    ChooseConsole();
    if (g_ioEvent == DEV_NO_EVENT) {
        g_ioEvent = DevCreateEvent(true, false);
        ShutdownRegister(UsbShutdown);
    }
    return g_ioEvent != DEV_NO_EVENT;
}

void Arm() {
    DevResetEvent(g_ioEvent);
    g_overlapped = DevOverlapped{};
    g_overlapped.Event = g_ioEvent;
}

// Cancels the device's pending request and lets it finish, so that neither the
// shared block nor the caller's buffer is written after the wait has given up.
void CancelPending(UsbRecord* r) {
    DevCancelIo(r->device);
    uint32_t ignored = 0;
    DevGetOverlappedResult(r->device, &g_overlapped, &ignored, true);
}

// Waits for the pending request on the I/O event and the console together.
// An ending signal cancels as the cancel key does, at the latest in the wait it
// interrupts.
uint32_t WaitPending(UsbRecord* r, uint32_t timeoutMs, uint32_t* transferred) {
    for (;;) {
        if (ConsoleEndStatus() != 0) {
            CancelPending(r);
            return USB_RESULT_CANCELLED;
        }
        ConsoleWatchKeysRaw(g_consoleFd);
        switch (DevWaitEvent(g_ioEvent, g_consoleFd, timeoutMs, ConsoleEndFd())) {
        case DEV_WAIT_EVENT: {
            uint32_t status = DevGetOverlappedResult(r->device, &g_overlapped, transferred, true);
            return status == DEV_SUCCESS ? USB_RESULT_OK : USB_RESULT_SYSTEM;
        }
        case DEV_WAIT_STOP: CancelPending(r); return USB_RESULT_CANCELLED;
        case DEV_WAIT_TIMEOUT: CancelPending(r); return USB_RESULT_TIMEOUT;
        case DEV_WAIT_FD:
            if (ConsoleCancelKeyPressed(&g_consoleFd)) {
                CancelPending(r);
                return USB_RESULT_CANCELLED;
            }
            continue;  // any other key: the wait starts again with the full time
        default: CancelPending(r); return USB_RESULT_SYSTEM;
        }
    }
}

// Finishes a request just issued: at once, or after the wait.
uint32_t Complete(UsbRecord* r, uint32_t status, uint32_t timeoutMs, uint32_t* transferred) {
    if (status == DEV_PENDING) return WaitPending(r, timeoutMs, transferred);
    return status == DEV_SUCCESS ? USB_RESULT_OK : USB_RESULT_SYSTEM;
}

uint32_t AskPacketSize(UsbRecord* r, uint8_t* size) {
    Arm();
    uint32_t n = 0;
    uint32_t status = DevIoControl(r->device, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, size, 1, &n, &g_overlapped);
    if (uint32_t result = Complete(r, status, g_timings.waitMs, &n)) return result;
    return n == 1 ? USB_RESULT_OK : USB_RESULT_WRONG_COUNT;
}

const char* ResultText(uint32_t result) {
    switch (result) {
    case USB_RESULT_TIMEOUT: return "timed out";
    case USB_RESULT_CANCELLED: return "cancelled";
    case USB_RESULT_WRONG_COUNT: return "wrong byte count";
    case USB_RESULT_OTHER_COMMAND: return "answer to another command";
    default: return "system error";
    }
}

// Why device n did not turn out to be the unit asked for, or empty when it is missing.
std::string DeviceNote(uint32_t n, uint32_t openStatus, uint32_t sizeResult, uint8_t size, uint32_t statusCode,
                       const uint8_t* status) {
    char why[96];
    if (openStatus == DEV_NO_SUCH_DEVICE) return "";
    if (openStatus != DEV_SUCCESS) {
        // Held by a record of this process: say which unit holds it.
        if (openStatus == DEV_SHARING_VIOLATION)
            for (const UsbRecord& r : g_records)
                if (r.device != DEV_INVALID_HANDLE_VALUE && r.deviceNumber == n) {
                    std::snprintf(why, sizeof why, "unit %u, open already", r.status[STATUS_UNIT]);
                    return why;
                }
        std::snprintf(why, sizeof why, "cannot be opened (%s)", DevStatusName(openStatus));
    } else if (sizeResult != USB_RESULT_OK) {
        std::snprintf(why, sizeof why, "no packet size (%s)", ResultText(sizeResult));
    } else if (size == 0) {
        std::snprintf(why, sizeof why, "packet size 0");
    } else if (statusCode != LINK_OK) {
        std::snprintf(why, sizeof why, "the status command failed with code %u", statusCode);
    } else {
        std::snprintf(why, sizeof why, "unit %u", status[STATUS_UNIT]);
    }
    return why;
}

// ---- the kind driver ----

using UsbCalls =
    LineKindDriver<UsbRecord, UsbLineOf, UsbClose, UsbWrite, UsbRead, UsbCompare, UsbSetReset, UsbGetReset, UsbSetFold>;

uint32_t DriverOpen(uint32_t unit, uint32_t, uint32_t, LinkOpenResult* out) {
    UsbRecord* r = nullptr;
    if (uint32_t code = UsbOpen(unit, &r, &out->failure)) return code;
    return UsbCalls::Opened(r, out);
}

const KindDriver kUsbDriver = UsbCalls::With(DriverOpen);

}  // namespace

uint32_t UsbOpen(uint32_t unit, UsbRecord** record, std::string* failure) {
    std::string ignored;
    std::string& why = failure ? *failure : ignored;
    why.clear();
    char line[96];
    if (unit > 3) {
        std::snprintf(line, sizeof line, "Unit number %X is not 0..3\n", unit);
        why = line;
        return LINK_NOT_AVAILABLE;
    }
    UsbRecord* free = nullptr;
    for (UsbRecord& r : g_records) {
        if (r.device == DEV_INVALID_HANDLE_VALUE) {
            free = &r;
        } else if (r.status[STATUS_UNIT] == unit) {
            ++r.users;
            *record = &r;
            return LINK_OK;
        }
    }
    if (free == nullptr) {
        std::snprintf(line, sizeof line, "All %u USB records are in use\n", USB_RECORD_COUNT);
        why = line;
        return LINK_NO_RESOURCE;
    }
    if (!CreateWaitObjects()) {
        why = "The event that USB transfers wait on could not be created\n";
        return LINK_NOT_WORKING;
    }

    std::string notes;
    for (uint32_t n = 0; n < USB_DEVICE_COUNT; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\QORPELMO%u", n);
        DevHandle h = DEV_INVALID_HANDLE_VALUE;
        const uint32_t opened = DevOpen(name, 0, &h);
        UsbRecord probe;
        uint8_t size = 0;
        uint32_t sizeResult = USB_RESULT_OK;
        uint32_t statusCode = LINK_OK;
        if (opened == DEV_SUCCESS) {
            probe.device = h;
            sizeResult = AskPacketSize(&probe, &size);
            // A packet size of 0 would leave nothing to cut bulk transfers into.
            if (sizeResult == USB_RESULT_OK && size != 0) {
                probe.inPacket = probe.outPacket = size;
                UsbPacketFields f;
                f.code = CMD_STATUS;
                statusCode = UsbCommand(UsbLineOf(&probe), f, probe.status);
                if (statusCode == LINK_OK && probe.status[STATUS_UNIT] == unit) {
                    probe.deviceNumber = n;
                    probe.users = 1;
                    *free = probe;
                    *record = free;
                    return LINK_OK;
                }
            }
            DevClose(h);
        }
        std::string note = DeviceNote(n, opened, sizeResult, size, statusCode, probe.status);
        if (!note.empty()) notes += std::string(name) + ": " + note + "\n";
    }
    if (notes.empty()) {
        why = "No USB device is present (\\\\.\\QORPELMO0..9)\n";
    } else {
        std::snprintf(line, sizeof line, "No USB device answers as unit %X\n", unit);
        why = line + notes;
    }
    return LINK_NOT_AVAILABLE;
}

void UsbClose(UsbRecord* record) {
    if (record == nullptr || record->device == DEV_INVALID_HANDLE_VALUE) return;
    // Several link handles share one record: only the last one lets it go.
    if (record->users > 1) {
        --record->users;
        return;
    }
    uint32_t holders = 0;
    for (const UsbRecord& r : g_records)
        if (r.device == record->device) ++holders;
    if (holders == 1) DevClose(record->device);
    *record = UsbRecord{};
}

uint32_t UsbSendCommand(UsbRecord* record, const uint8_t packet[USB_PACKET_BYTES]) {
    Arm();
    uint32_t n = 0;
    uint32_t status =
        DevIoControl(record->device, DEV_IOCTL_SEND_COMMAND, packet, USB_PACKET_BYTES, nullptr, 0, &n, &g_overlapped);
    if (uint32_t result = Complete(record, status, g_timings.waitMs, &n)) return result;
    return n == USB_PACKET_BYTES ? USB_RESULT_OK : USB_RESULT_WRONG_COUNT;
}

uint32_t UsbReceiveAnswer(UsbRecord* record, uint8_t answer[USB_ANSWER_BYTES], uint8_t expected) {
    uint32_t elapsed = 0;
    uint32_t step = 1;
    for (;;) {
        Arm();
        uint32_t n = 0;
        uint32_t status = DevIoControl(record->device, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, answer, USB_ANSWER_BYTES,
                                       &n, &g_overlapped);
        if (uint32_t result = Complete(record, status, g_timings.answerWaitMs, &n)) return result;
        if (n != USB_ANSWER_BYTES) return USB_RESULT_WRONG_COUNT;
        if (answer[1] != 0) {
            if (answer[0] == expected) return USB_RESULT_OK;
            // Another command's answer may still be in the pipe for a moment.
            if (elapsed >= g_timings.staleMs) return USB_RESULT_OTHER_COMMAND;
        } else if (answer[0] != expected && elapsed >= g_timings.staleMs) {
            return USB_RESULT_OTHER_COMMAND;
        }
        ++g_pollCount;
        if (ConsoleEndStatus() != 0) return USB_RESULT_CANCELLED;
        if (elapsed >= g_timings.pollLimitMs) return USB_RESULT_TIMEOUT;
        SleepMilliseconds(step);
        elapsed += step;
        if (step < 64) step *= 2;
    }
}

uint32_t UsbBulkWrite(UsbRecord* record, const uint8_t* data, uint32_t length) {
    Arm();
    uint32_t n = 0;
    uint32_t status = DevWrite(record->device, data, length, &n, &g_overlapped);
    if (uint32_t result = Complete(record, status, g_timings.waitMs, &n)) return result;
    return n == length ? USB_RESULT_OK : USB_RESULT_WRONG_COUNT;
}

uint32_t UsbBulkRead(UsbRecord* record, uint8_t* buffer, uint32_t length) {
    Arm();
    uint32_t n = 0;
    uint32_t status = DevRead(record->device, buffer, length, &n, &g_overlapped);
    // The count is not checked here: a short transfer shows in the unit's byte count.
    return Complete(record, status, g_timings.waitMs, &n);
}

UsbLine UsbLineOf(UsbRecord* record) {
    UsbLine line;
    line.port = record;
    line.packetSize = record->outPacket;
    line.send = [](void* p, const uint8_t* packet) { return UsbSendCommand(static_cast<UsbRecord*>(p), packet); };
    line.receive = [](void* p, uint8_t* answer, uint8_t expected) {
        return UsbReceiveAnswer(static_cast<UsbRecord*>(p), answer, expected);
    };
    line.bulkWrite = [](void* p, const uint8_t* data, uint32_t length) {
        return UsbBulkWrite(static_cast<UsbRecord*>(p), data, length);
    };
    line.bulkRead = [](void* p, uint8_t* buffer, uint32_t length) {
        return UsbBulkRead(static_cast<UsbRecord*>(p), buffer, length);
    };
    return line;
}

const KindDriver* UsbKindDriver() { return &kUsbDriver; }
const UsbRecord* UsbRecords() { return g_records; }
uint32_t UsbPollCount() { return g_pollCount; }
void UsbSetTimings(const UsbTimings& timings) { g_timings = timings; }
UsbTimings UsbGetTimings() { return g_timings; }

void UsbSetConsole(int fd) {
    if (fd != g_consoleFd) ConsoleWatchRestore();
    g_consoleChosen = true;
    g_consoleFd = fd;
}

void UsbShutdown() {
    ConsoleWatchRestore();
    if (g_ioEvent != DEV_NO_EVENT) {
        DevCloseEvent(g_ioEvent);
        g_ioEvent = DEV_NO_EVENT;
    }
}
