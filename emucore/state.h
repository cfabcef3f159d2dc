#pragma once
#include <cstddef>
#include <cstdint>

// The library's process-global state: one current unit, the view snapshot and
// the debug stream. Unguarded: the caller never overlaps calls.

namespace emucore {

struct CurrentUnit {
    uint32_t CurHandle = 0;  // 0 = no unit open
    uint32_t CurUnit = 0;    // 0..3 USB, 4 virtual
    uint32_t CurType = 0;    // index into DeviceSizeTable
    uint32_t CurMaxK = 0;    // 0 = not sized
};
extern CurrentUnit g_cur;

constexpr uint32_t VIRTUAL_UNIT = 4;

uint32_t CurDevSize();

// Small mapping tables from caller arguments to engine values.
uint32_t MapVerify(int32_t v);  // above 2 -> 0
uint32_t MapFold(int32_t f);    // above 2 -> 1

// One trace line through the debug stream (printf conventions).
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Closes the debug stream's file (the library is being unloaded).
void DebugStreamClose();

// Replaces the caller's text with one formatted line, cut to the text capacity.
void SetText(char* text, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A printable stand-in for a string argument the caller left null.
inline const char* Str(const char* s) { return s ? s : ""; }

}  // namespace emucore
