#pragma once
#include <cstdint>

// The system's object behind one event of devio.h; devio_events.cpp keeps the table,
// the lock and the signalled state, the system's file only makes, sets and waits.
struct DevOsEvent {
    intptr_t object = -1;  // an eventfd, or an event HANDLE
    int waitable = -1;     // what a transfer's wait watches: the descriptor, or a wait token
};

bool DevOsEventOpen(DevOsEvent* e);
void DevOsEventClose(DevOsEvent* e);
bool DevOsEventSet(const DevOsEvent& e);
bool DevOsEventReset(const DevOsEvent& e);

enum DevOsWait { DEV_OS_READY_EVENT, DEV_OS_READY_STOP, DEV_OS_READY_WATCH, DEV_OS_NOTHING, DEV_OS_FAILED };
// Waits up to waitMs (-1: no limit) for the event, the stop object or the watched one
// (negative: none); the event wins when several are ready, then the stop object.
// DEV_OS_NOTHING after the time or an interruption: the caller looks again.
DevOsWait DevOsEventWait(const DevOsEvent& e, int watchFd, int stopFd, int waitMs);
