// The view snapshot: a host copy of the whole device, formatted as a hex dump.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "emucore/emucore.h"
#include "emucore/operation.h"
#include "emucore/state.h"
#include "link/ram.h"
#include "platform/shutdown.h"

namespace emucore {
namespace {

// The snapshot keeps its own size: a later open of another type must not
// change what addresses it can show.
std::unique_ptr<uint8_t[]> g_view;
uint32_t g_viewSize = 0;

}  // namespace
}  // namespace emucore

using namespace emucore;

extern "C" {

VXA_API int32_t VXAViewOpen(char* text, int32_t fold, int32_t resetFlag, int32_t before, int32_t after) {
    if (g_view == nullptr) {
        const uint32_t size = CurDevSize();
        std::unique_ptr<uint8_t[]> view(new (std::nothrow) uint8_t[size]);
        if (view == nullptr) {
            SetText(text, "INSUFFICIENT MEMORY TO ALLOCATE VIEW BUFFER");
            return 1;
        }
        OperationRecords rec;
        InfoSetup(rec, 0, fold);
        if (resetFlag) {
            const int32_t r = VXASetReset(before, 0, before);
            if (r < 0) {
                SetText(text, "DEVICE FAILURE SETTING RESET (SUBCODE 010-%ld)", -static_cast<long>(r));
                return 1;
            }
        }
        const uint32_t code = RamReadBlock(rec.set, view.get(), 0, size);
        if (code != 0) {
            SetText(text, "DEVICE FAILURE READING UNIT (SUBCODE 010-%lu)", static_cast<unsigned long>(code));
            if (resetFlag) VXASetReset(after, 0, after);
            return 1;
        }
        g_view = std::move(view);
        g_viewSize = size;
        ShutdownRegister([] { VXAViewClose(); });
    }
    if (resetFlag) {
        const int32_t r = VXASetReset(after, 0, after);
        if (r < 0) {
            SetText(text, "DEVICE FAILURE CLEARING RESET (SUBCODE 010-%ld)", -static_cast<long>(r));
            return 1;
        }
    }
    SetText(text, "%s", "");
    return 0;
}

VXA_API int32_t VXAViewFormat(char* out, int32_t first, int32_t count, int32_t perLine) {
    if (out == nullptr) return 1;
    // A line length of 0 or below would never advance; it is as invalid as the count.
    if (count <= 0 || perLine <= 0) {
        SetText(out, "ViewFormat:INVALID LENGTH");
        return 1;
    }
    if (g_view == nullptr) {
        SetText(out, "ViewFormat:NOT OPEN");
        return 1;
    }
    static const char kHex[] = "0123456789ABCDEF";
    // 64-bit: first + count and the line starts must not wrap for any 32-bit input.
    const int64_t lo = first;
    const int64_t hi = lo + count;
    char* p = out;
    for (int64_t line = lo - lo % perLine; line < hi; line += perLine) {
        // Six digits always, so every line has the size callers reserve for it.
        p += std::sprintf(p, " %06lX  ", static_cast<unsigned long>(static_cast<uint32_t>(line) & 0xFFFFFF));
        for (int64_t a = line; a < line + perLine; ++a) {
            if (a >= lo && a < hi && a >= 0 && a < g_viewSize) {
                const uint8_t b = g_view[static_cast<size_t>(a)];
                *p++ = kHex[b >> 4];
                *p++ = kHex[b & 15];
                *p++ = ' ';
            } else {
                *p++ = '-';
                *p++ = '-';
                *p++ = ' ';
            }
        }
        *p++ = ' ';
        *p++ = ' ';
        *p++ = ' ';
        for (int64_t a = line; a < line + perLine; ++a) {
            if (a >= lo && a < hi && a >= 0 && a < g_viewSize) {
                const uint8_t b = g_view[static_cast<size_t>(a)];
                *p++ = static_cast<char>(b >= 0x20 ? b : 0x7F);
            } else {
                *p++ = ' ';
            }
        }
        *p++ = '\r';
        *p++ = '\n';
    }
    *p = '\0';
    return 0;
}

VXA_API int32_t VXAViewClose(void) {
    g_view.reset();
    g_viewSize = 0;
    return 0;
}

}  // extern "C"
