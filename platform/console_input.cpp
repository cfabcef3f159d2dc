#include <cstdint>
#include <cstdio>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/console_input.h"

namespace {
bool g_ctrlCQuit = false;
bool g_anyCtrlC = false;
uint64_t g_lastCtrlC = 0;  // on the clock, so that a test can drive the one-second window
}  // namespace

bool ConsoleCtrlCQuit() { return g_ctrlCQuit; }

int ConsoleReadByte() {
    std::fflush(stdout);
    return ConsoleNextInputByte();
}

ConsoleLine ConsoleReadLine(char* buffer, size_t size) {
    std::fflush(stdout);
    size_t n = 0, length = 0;
    int c;
    bool any = false, nul = false, lastCR = false;
    while ((c = ConsoleNextInputByte()) >= 0) {
        any = true;
        if (c == '\n') break;
        if (c == 0) nul = true;
        ++length;
        lastCR = c == '\r';
        if (n + 1 < size) buffer[n++] = static_cast<char>(c);
    }
    // A CR in front of the line end belongs to the line end (files from DOS).
    if (lastCR) {
        --length;
        if (n > length) n = length;
    }
    buffer[n] = '\0';
    if (!any) return CONSOLE_LINE_END;
    if (length > size - 1) return CONSOLE_LINE_TOO_LONG;
    if (nul) return CONSOLE_LINE_NUL;
    return CONSOLE_LINE_OK;
}

bool ConsoleNoteCtrlC() {
    const uint64_t now = ClockNow();
    if (g_anyCtrlC && now - g_lastCtrlC < 1000) g_ctrlCQuit = true;
    g_anyCtrlC = true;
    g_lastCtrlC = now;
    return g_ctrlCQuit;
}
