#include "zam32/progress.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr int64_t kShowAfterMs = 1000;  // quick operations never show the line
constexpr int64_t kRedrawMs = 200;

bool g_allowed = true;
bool g_running = false;
bool g_shown = false;
// On the transports' clock: the line shows after a second of the transfer's time.
uint64_t g_start = 0, g_lastDraw = 0;

int64_t MsSince(uint64_t t) { return static_cast<int64_t>(ClockNow() - t); }

bool OnTerminal() {
    static const bool terminal = ConsoleOutputIsTerminal();
    return terminal;
}

}  // namespace

void ProgressAllow(bool allowed) { g_allowed = allowed; }

void ProgressBegin() {
    g_running = true;
    g_shown = false;
    g_start = ClockNow();
}

void ProgressText(char* out, unsigned size, uint64_t done, uint64_t total, uint64_t elapsedMs) {
    const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 0;
    const uint64_t rate = elapsedMs ? done * 1000 / elapsedMs : 0;  // bytes per second
    char left[32] = "?";
    if (rate != 0 && total >= done) {
        const uint64_t seconds = (total - done + rate - 1) / rate;
        std::snprintf(left, sizeof left, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    }
    std::snprintf(out, size, "%llX of %llX bytes (%u%%), %llu KB/s, %s left", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total), percent, static_cast<unsigned long long>(rate / 1024), left);
}

void ProgressUpdate(uint64_t done, uint64_t total) {
    if (!g_running || !g_allowed || !OnTerminal()) return;
    const int64_t elapsed = MsSince(g_start);
    if (elapsed < kShowAfterMs) return;
    if (g_shown && MsSince(g_lastDraw) < kRedrawMs) return;
    char text[128];
    ProgressText(text, sizeof text, done, total, static_cast<uint64_t>(elapsed));
    // Carriage return, the text, then clear the rest of the line: one line, redrawn in place.
    std::fprintf(stdout, "\r%s\x1b[K", text);
    std::fflush(stdout);
    g_shown = true;
    g_lastDraw = ClockNow();
}

void ProgressErase() {
    if (!g_shown) return;
    std::fputs("\r\x1b[K", stdout);
    std::fflush(stdout);
    g_shown = false;
}

void ProgressEnd() {
    ProgressErase();
    g_running = false;
}
