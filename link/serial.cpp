// Serial transport: the record table shared per COM port, opening a port with the
// status command, and the line the frame layer runs over.
#include "link/serial.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/errors.h"
#include "link/line_driver.h"
#include "link/protocol.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial.h"

namespace {

SerialRecord g_records[SERIAL_RECORD_COUNT];
SerialTimings g_timings;
uint32_t g_longestWaitMs = 0;

int g_consoleFd = -1;
bool g_consoleChosen = false;
bool g_writeCancelled = false;  // the last line write ended by the cancel key or a signal

int Console() {
    if (!g_consoleChosen) {
        g_consoleChosen = true;
        g_consoleFd = ConsoleTerminalFd();
    }
    return g_consoleFd;
}

uint32_t Scaled(uint32_t ms) {
    uint32_t d = g_timings.waitDivisor ? g_timings.waitDivisor : 1;
    uint32_t s = ms / d;
    return s ? s : 1;
}

SerialRecord* Rec(void* p) { return static_cast<SerialRecord*>(p); }

bool LineWrite(void* p, const uint8_t* data, uint32_t length) {
    SerialRecord* r = Rec(p);
    // The line takes the bytes at its own pace: allow twice their wire time and the usual wait.
    uint64_t wire = (static_cast<uint64_t>(length) * r->byteTime + 999) / 1000;
    uint64_t limit = 2 * wire + SERIAL_WAIT_MS;
    if (limit > 0xFFFFFFF0u) limit = 0xFFFFFFF0u;
    const int written = SerialPortWrite(r->port, data, length, Scaled(static_cast<uint32_t>(limit)), Console());
    g_writeCancelled = written < 0;
    if (written != 1) return false;
    r->bytesSent += length;
    return true;
}

bool LineWriteCancelled(void*) { return g_writeCancelled; }

// Read exactly: each single read waits for the next byte at most `timeoutMs`.
bool LineRead(void* p, uint8_t* buffer, uint32_t length, uint32_t timeoutMs, int32_t* count) {
    SerialRecord* r = Rec(p);
    if (timeoutMs > g_longestWaitMs) g_longestWaitMs = timeoutMs;
    uint32_t done = 0;
    while (done < length) {
        int32_t n = 0;
        if (!SerialPortReadSome(r->port, buffer + done, length - done, Scaled(timeoutMs), Console(), &n)) return false;
        if (n <= 0) {
            *count = n;
            return true;
        }
        done += static_cast<uint32_t>(n);
        r->bytesReceived += static_cast<uint32_t>(n);
    }
    *count = static_cast<int32_t>(length);
    return true;
}

bool LineResync(void* p) { return SerialResync(Rec(p)); }

using SerialCalls = LineKindDriver<SerialRecord, SerialLineOf, SerialClose, SerialWrite, SerialRead, SerialCompare,
                                   SerialSetReset, SerialGetReset, SerialSetFold>;

uint32_t DriverOpen(uint32_t com, uint32_t, uint32_t, LinkOpenResult* out) {
    SerialRecord* r = nullptr;
    SerialOpenFailure failure;
    if (uint32_t code = SerialOpen(com, &r, &failure)) {
        out->failure = SerialOpenFailureText(failure);
        return code;
    }
    return SerialCalls::Opened(r, out);
}

const KindDriver kSerialDriver = SerialCalls::With(DriverOpen);

}  // namespace

bool SerialParseBaud(const char* text, uint32_t* baud) {
    if (text == nullptr) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') return false;
    // A minus sign wraps around to a huge value, which the range check refuses.
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(p, &end, 0);
    if (end == p || *end != '\0' || errno == ERANGE) return false;
    if (v < SERIAL_MIN_BAUD || v > SERIAL_MAX_BAUD) return false;
    *baud = static_cast<uint32_t>(v);
    return true;
}

std::string SerialPortPath(uint32_t com) {
    char name[32];
    std::snprintf(name, sizeof name, "ZAMCOM%u", com);
    if (const char* v = std::getenv(name); v != nullptr && *v != '\0') return v;
    std::snprintf(name, sizeof name, "/dev/ttyS%u", com - 1);
    return name;
}

uint32_t SerialOpen(uint32_t com, SerialRecord** record, SerialOpenFailure* failure) {
    *failure = SerialOpenFailure{};
    failure->com = com;
    if (com == 0 || com > SERIAL_MAX_COM) return LINK_INVALID;
    SerialRecord* free = nullptr;
    for (SerialRecord& r : g_records) {
        if (r.port < 0) {
            free = &r;  // the last free record seen
        } else if (r.com == com) {
            ++r.users;
            *record = &r;
            return LINK_OK;
        }
    }
    if (free == nullptr) return LINK_NO_RESOURCE;
    uint32_t baud = SERIAL_DEFAULT_BAUD;
    if (const char* bps = std::getenv("ZAMBPS"); bps != nullptr && !SerialParseBaud(bps, &baud)) {
        // Shown as typed, but never a terminal control.
        failure->badBaud = true;
        for (const char* c = bps; *c != '\0' && failure->zambps.size() < 64; ++c)
            failure->zambps += (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) ? '?' : *c;
        return LINK_NOT_AVAILABLE;
    }

    failure->path = SerialPortPath(com);
    failure->baud = baud;
    int fd = -1;
    failure->result = SerialPortOpen(failure->path.c_str(), baud, g_timings.settleMs, &fd, &failure->errorNumber);
    if (failure->result != 0) return LINK_NOT_WORKING;

    SerialRecord r;
    r.baud = baud;
    r.byteTime = 10000000 / baud;
    r.port = fd;
    r.com = com;
    r.users = 1;
    *free = r;
    if (uint32_t code = SerialStatus(SerialLineOf(free), free->status)) {
        SerialPortClose(fd);
        *free = SerialRecord{};
        return code;
    }
    *record = free;
    return LINK_OK;
}

void SerialClose(SerialRecord* record) {
    if (record == nullptr || record->port < 0) return;
    // Several link handles share one port: only the last one lets it go.
    if (record->users > 1) {
        --record->users;
        return;
    }
    SerialPortClose(record->port);
    *record = SerialRecord{};
}

std::string SerialOpenFailureText(const SerialOpenFailure& f) {
    if (f.badBaud)
        return "ZAMBPS '" + f.zambps + "' is not a rate between " + std::to_string(SERIAL_MIN_BAUD) + " and " +
               std::to_string(SERIAL_MAX_BAUD) + "\n";
    if (f.result == 0) return "";
    char why[160];
    switch (f.result) {
    case SERIAL_PORT_MISSING: std::snprintf(why, sizeof why, "no such device"); break;
    case SERIAL_PORT_NOT_TTY: std::snprintf(why, sizeof why, "not a serial port"); break;
    case SERIAL_PORT_BUSY: std::snprintf(why, sizeof why, "in use by another program"); break;
    case SERIAL_PORT_BAD_RATE: std::snprintf(why, sizeof why, "the device cannot run at %u baud", f.baud); break;
    default: std::snprintf(why, sizeof why, "%s", std::strerror(f.errorNumber)); break;
    }
    return "COM" + std::to_string(f.com) + " (" + f.path + "): " + why + "\n";
}

SerialLine SerialLineOf(SerialRecord* record) {
    SerialLine line;
    line.port = record;
    line.byteTime = record->byteTime;
    line.write = LineWrite;
    line.writeCancelled = LineWriteCancelled;
    line.read = LineRead;
    line.resync = LineResync;
    return line;
}

bool SerialResync(SerialRecord* r) {
    const uint32_t pause = g_timings.resyncPauseMs;
    if (!SerialPortPurge(r->port)) return false;
    if (!SerialPortBreak(r->port, true)) return false;
    SleepMilliseconds(pause);
    bool cleared = SerialPortBreak(r->port, false);
    SleepMilliseconds(pause);
    return cleared && SerialPortPurge(r->port);
}

const KindDriver* SerialKindDriver() { return &kSerialDriver; }
const SerialRecord* SerialRecords() { return g_records; }
void SerialSetTimings(const SerialTimings& timings) { g_timings = timings; }
SerialTimings SerialGetTimings() { return g_timings; }

uint32_t SerialTakeLongestWaitMs() {
    uint32_t v = g_longestWaitMs;
    g_longestWaitMs = 0;
    return v;
}

void SerialSetConsole(int fd) {
    if (fd != g_consoleFd) ConsoleWatchRestore();
    g_consoleChosen = true;
    g_consoleFd = fd;
}
