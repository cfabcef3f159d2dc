#include "platform/wait_win32.h"

#include <io.h>

#include <mutex>

namespace {

constexpr int kSlots = 256;
HANDLE g_slots[kSlots];
std::mutex g_lock;

}  // namespace

HANDLE WaitObjectOf(int token) {
    if (token < 0) return nullptr;
    if (token < WAIT_TOKEN_FIRST) {
        const intptr_t h = _get_osfhandle(token);
        return h == -1 || h == -2 ? nullptr : reinterpret_cast<HANDLE>(h);
    }
    std::lock_guard<std::mutex> g(g_lock);
    const int i = token - WAIT_TOKEN_FIRST;
    return i < kSlots ? g_slots[i] : nullptr;
}

int WaitTokenFor(HANDLE handle) {
    std::lock_guard<std::mutex> g(g_lock);
    for (int i = 0; i < kSlots; ++i)
        if (g_slots[i] == nullptr) {
            g_slots[i] = handle;
            return WAIT_TOKEN_FIRST + i;
        }
    return -1;
}

void WaitTokenRelease(int token) {
    std::lock_guard<std::mutex> g(g_lock);
    const int i = token - WAIT_TOKEN_FIRST;
    if (i >= 0 && i < kSlots) g_slots[i] = nullptr;
}
