#include "platform/clock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/clock_wall.h"

namespace {

// A driven clock starts where the wall clock stood, so that values from before and
// after the switch still compare.
std::atomic<uint64_t> g_driven{0};
std::atomic<int> g_mode{-1};  // -1 not yet decided, 0 wall clock, 1 driven

bool Driven() {
    int m = g_mode.load(std::memory_order_acquire);
    if (m < 0) {
        const char* v = std::getenv("PELMO_CLOCK");
        const int decided = v != nullptr && std::strcmp(v, "driven") == 0 ? 1 : 0;
        g_driven.store(WallNow());
        int expected = -1;
        if (!g_mode.compare_exchange_strong(expected, decided)) return expected == 1;
        m = decided;
    }
    return m == 1;
}

// Real time a driven wait blocks before it reads the clock again.
constexpr int kDrivenSliceMs = 2;

}  // namespace

uint64_t ClockNow() { return Driven() ? g_driven.load() : WallNow(); }

uint32_t ClockMilliseconds() { return static_cast<uint32_t>(ClockNow()); }

void SleepMilliseconds(uint32_t ms) {
    if (Driven()) {
        g_driven.fetch_add(ms);
        ms = 0;  // a driven wait still lets the other threads run
    }
    WallSleep(ms);
}

int ClockWaitSlice(uint64_t deadline) {
    if (deadline == UINT64_MAX) return -1;
    const uint64_t now = ClockNow();
    if (now >= deadline) return 0;
    if (Driven()) return kDrivenSliceMs;
    const uint64_t left = deadline - now;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

void ClockDrive(bool driven) {
    Driven();  // decide the start first, so that the environment cannot undo this
    if (driven && g_mode.load() == 0) g_driven.store(WallNow());
    g_mode.store(driven ? 1 : 0, std::memory_order_release);
}

bool ClockDriven() { return Driven(); }

void ClockAdvance(uint32_t ms) { g_driven.fetch_add(ms); }
