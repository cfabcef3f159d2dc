#pragma once
// Pieces of the kernel layer shared between its own files.
#include <functional>

#include "kernel/wdm.h"

// The worker thread that runs work items and the PnP manager's deferred jobs.
void KiQueueWork(std::function<void()> job);
// Sends a request down the stack from `top` and waits for its completion, as the
// system does for its own requests; returns the final status.
NTSTATUS KiSendAndWait(DEVICE_OBJECT* top, IRP* irp);
// A device seen gone by one of its transfers: the removal is queued at once (so that
// whoever sees the failure can wait for it) but starts only once `ready` returns,
// after the failed transfer has completed with its own status.
void KiBusLeaveAfter(int busId, std::function<void()> ready);
void KiWaitWorkIdle();
bool KiOnWorker();
void KiStopWorker();
// Frees the stopped worker's record; false (nothing freed) while it runs.
bool KiReleaseWorker();

#include "kernel/usb.h"

// One device on the USB bus: its backend, its bus device object (PDO) and the
// bus thread that runs its transfers.
struct KiBusSlot;
constexpr int kMaxBusDevices = 32;
// Creates the PDO and starts the bus thread; -1 when the bus is full.
int KiBusCreate(UsbBusDevice* backend, DRIVER_OBJECT* busDriver);
// Fails every transfer from now on (the device left the bus).
void KiBusMarkGone(int busId);
// Stops the bus thread (queued transfers fail) and deletes the PDO and the backend.
void KiBusDestroy(int busId);
// Frees the bus slot table when no slot is in use; false otherwise.
bool KiBusRelease();
DEVICE_OBJECT* KiBusPdo(int busId);
extern thread_local bool t_kiOnBusThread;
NTSTATUS KiBusDispatch(DEVICE_OBJECT* device, IRP* irp);
