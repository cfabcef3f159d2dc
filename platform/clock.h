#pragma once
#include <cstdint>

// The one clock of the transports, the driver host and the simulated units: every
// time-out, pacing gap, answer poll and key window reads it, so that a test can drive
// it instead of waiting on the wall clock.

// Milliseconds from an arbitrary fixed point; never goes backwards.
uint32_t ClockMilliseconds();
// The same without wrapping.
uint64_t ClockNow();

// Sleeps for the given milliseconds (0 yields the processor). On a driven clock the
// sleep moves the clock on by ms and returns at once.
void SleepMilliseconds(uint32_t ms);

// How long (real milliseconds) a wait for something with a time-out may block in one
// go before it must read the clock again: the time left until `deadline` (a ClockNow
// value; UINT64_MAX = none, -1 returned), 0 once it has passed. On a driven clock a
// short slice, since another thread moves the clock.
int ClockWaitSlice(uint64_t deadline);

// ---- driven clock, for tests ----
// From ClockDrive(true) on the clock stands still except where ClockAdvance or a
// sleep moves it; waits with a time-out end when it reaches their deadline. Also
// driven from the start when the environment has PELMO_CLOCK=driven (read once, at
// the first use of the clock).
void ClockDrive(bool driven);
bool ClockDriven();
void ClockAdvance(uint32_t ms);
