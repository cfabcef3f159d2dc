// Session exports: the current unit, opening, reset line and RAM sizing.
#include <cstdarg>
#include <cstdio>

#include "emucore/emucore.h"
#include "emucore/state.h"
#include "link/link.h"
#include "link/ram.h"
#include "platform/clock.h"

namespace emucore {

CurrentUnit g_cur;

uint32_t CurDevSize() { return DeviceSizeForType(g_cur.CurType); }

uint32_t MapVerify(int32_t v) {
    static const uint32_t table[3] = {LOAD_ONLY, LOAD_VERIFY, VERIFY_ONLY};
    const uint32_t i = static_cast<uint32_t>(v);
    return i > 2 ? LOAD_ONLY : table[i];
}

uint32_t MapFold(int32_t f) {
    static const uint32_t table[3] = {FOLD_NONE, FOLD_SOCKET, FOLD_FULL};
    const uint32_t i = static_cast<uint32_t>(f);
    return i > 2 ? FOLD_SOCKET : table[i];
}

void SetText(char* text, const char* format, ...) {
    if (text == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, VXA_TEXT_SIZE, format, args);
    va_end(args);
}

namespace {

// Reset levels pass to the link layer as given: it keeps only the low two bits,
// and 3 there means "leave the line as it is".
uint32_t ResetLevel(int32_t level) { return static_cast<uint32_t>(level); }

}  // namespace
}  // namespace emucore

using namespace emucore;

extern "C" {

VXA_API int32_t VXAInit(void) { return 0; }

VXA_API int32_t VXAFind(void) {
    for (uint32_t unit = 0; unit < 4; ++unit) {
        Trace("VXAFind: unit %u\n", unit);
        uint32_t opened = 0;
        const uint32_t code = ZAMInit(&opened, SELECT_USB, unit, 0x8000, 0);
        UnitHandle(opened).reset();  // finding a unit is all: it is not kept open
        if (code == 0) {
            Trace("VXAFind: %u found\n", unit);
            return static_cast<int32_t>(unit);
        }
        Trace("VXAFind: %u failed code %u\n", unit, code);
    }
    Trace("VXAFind: returning 4\n");
    return VIRTUAL_UNIT;
}

VXA_API int32_t VXAOpen(int32_t unit, int32_t type) {
    Trace("VXAOpen: unit:%ld, type:%ld\n", static_cast<long>(unit), static_cast<long>(type));
    if (g_cur.CurHandle != 0) ZAMClose(g_cur.CurHandle);
    g_cur.CurHandle = 0;
    g_cur.CurMaxK = 0;
    g_cur.CurType = static_cast<uint32_t>(type) > 10 ? 0 : static_cast<uint32_t>(type);
    const uint32_t u = static_cast<uint32_t>(unit);
    const uint32_t selector = u == VIRTUAL_UNIT ? SELECT_VIRTUAL : SELECT_USB;
    uint32_t handle = 0;
    const uint32_t code = ZAMInit(&handle, selector, u, CurDevSize(), 0);
    if (code != 0) {
        Trace("VXAOpen: ZAMInit failed code %u\n", code);
        return -static_cast<int32_t>(code);
    }
    g_cur.CurHandle = handle;
    g_cur.CurUnit = u;
    Trace("VXAOpen: OK, handle=%Xh unit=%u type=%u size=%lXh\n", handle, u, g_cur.CurType,
          static_cast<unsigned long>(CurDevSize()));
    return static_cast<int32_t>(CurDevSize());
}

VXA_API int32_t VXASetReset(int32_t first, int32_t ms, int32_t second) {
    Trace("VXASetReset(%lu,%lu,%lu)\n", static_cast<unsigned long>(static_cast<uint32_t>(first)),
          static_cast<unsigned long>(static_cast<uint32_t>(ms)),
          static_cast<unsigned long>(static_cast<uint32_t>(second)));
    if (g_cur.CurHandle == 0) return -1;
    uint32_t code = ZAMSetReset(g_cur.CurHandle, ResetLevel(first));
    if (code != 0) return -static_cast<int32_t>(code);
    // A negative width is a caller's mistake, not a wait of weeks.
    if (ms > 0) SleepMilliseconds(static_cast<uint32_t>(ms));
    if (second != first) {
        code = ZAMSetReset(g_cur.CurHandle, ResetLevel(second));
        if (code != 0) return -static_cast<int32_t>(code);
    }
    return 0;
}

VXA_API int32_t VXAQTest(int32_t resetFlag, int32_t before, int32_t after) {
    Trace("VXAQTest: entry curhandle: %Xh curunit:%u, curtype:%u curmaxk:%u\n", g_cur.CurHandle, g_cur.CurUnit,
          g_cur.CurType, g_cur.CurMaxK);
    if (g_cur.CurHandle == 0) return -1;
    g_cur.CurMaxK = 0;
    if (g_cur.CurUnit == VIRTUAL_UNIT) {
        g_cur.CurMaxK = CurDevSize() >> 10;
    } else {
        if (resetFlag) {
            const int32_t r = VXASetReset(before, 0, before);
            if (r < 0) return r;
        }
        uint32_t maxK = 0;
        const uint32_t code = RamTestUnit(g_cur.CurHandle, &maxK);
        if (code != 0) return -static_cast<int32_t>(code);
        g_cur.CurMaxK = maxK;
        if (resetFlag) {
            const int32_t r = VXASetReset(after, 0, after);
            if (r < 0) return r;
        }
    }
    Trace("VXAQTest: exit curhandle: %Xh curunit:%u, curtype:%u curmaxk:%u\n", g_cur.CurHandle, g_cur.CurUnit,
          g_cur.CurType, g_cur.CurMaxK);
    return static_cast<int32_t>(g_cur.CurMaxK);
}

}  // extern "C"
