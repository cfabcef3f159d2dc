#include <windows.h>

#include "platform/clock_wall.h"

uint64_t WallNow() { return GetTickCount64(); }

void WallSleep(uint32_t ms) { SleepEx(ms, FALSE); }
