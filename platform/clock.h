#pragma once
#include <cstdint>

// Milliseconds from an arbitrary fixed point; never goes backwards.
uint32_t ClockMilliseconds();

// Sleeps for the given milliseconds (0 yields the processor).
void SleepMilliseconds(uint32_t ms);
