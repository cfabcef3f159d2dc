#pragma once
#include <cstdint>

// The system's side of the clock (clock.cpp keeps the driven clock above it).

// Milliseconds of a monotonic clock.
uint64_t WallNow();
// Blocks for ms milliseconds; 0 gives the processor to another thread.
void WallSleep(uint32_t ms);
