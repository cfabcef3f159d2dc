#include "platform/serial_line.h"

#include <windows.h>

namespace {

void Settings(DCB* d, uint32_t baud) {
    d->BaudRate = baud;
    d->ByteSize = 8;
    d->Parity = NOPARITY;
    d->StopBits = ONESTOPBIT;
    d->fBinary = TRUE;  // no end-of-file character
    d->fParity = FALSE;
    d->fOutxCtsFlow = FALSE;
    d->fOutxDsrFlow = FALSE;
    d->fDtrControl = DTR_CONTROL_DISABLE;  // raised by hand once the line is set
    d->fDsrSensitivity = FALSE;
    d->fOutX = FALSE;
    d->fInX = FALSE;
    d->fErrorChar = FALSE;
    d->fNull = FALSE;
    d->fRtsControl = RTS_CONTROL_HANDSHAKE;
    d->fAbortOnError = FALSE;
}

}  // namespace

bool SerialLineSetup(void* handle, uint32_t baud, bool* rateRefused) {
    *rateRefused = false;
    HANDLE h = static_cast<HANDLE>(handle);
    DCB d{};
    d.DCBlength = sizeof d;
    if (!GetCommState(h, &d)) return false;
    Settings(&d, baud);
    if (!SetCommState(h, &d)) {
        const DWORD e = GetLastError();
        // A driver refuses a rate it cannot make as a bad parameter; if it takes the
        // same settings at a rate every port has, the rate was what it refused.
        if (e == ERROR_INVALID_PARAMETER) {
            DCB plain = d;
            plain.BaudRate = CBR_9600;
            *rateRefused = SetCommState(h, &plain) != FALSE;
        }
        SetLastError(e);
        return false;
    }
    // Drivers round to what their clock can make; more than 3 % off is a refusal.
    const uint64_t got = SerialLineBaud(h);
    if (got == 0 || got * 100 < static_cast<uint64_t>(baud) * 97 || got * 100 > static_cast<uint64_t>(baud) * 103) {
        *rateRefused = true;
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

uint32_t SerialLineBaud(void* handle) {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!GetCommState(static_cast<HANDLE>(handle), &d)) return 0;
    return d.BaudRate;
}
