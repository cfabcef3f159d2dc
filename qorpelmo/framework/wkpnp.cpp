// Framework: plug-and-play, power, open/close, request counting, stall queue,
// device queue.
#include <cstdio>
#include <cstring>
#include <vector>

#include "qorpelmo/framework/wk.h"

static char g_driverExtensionId;

// ---- driver part ----

NTSTATUS WkDrvInitializePnpDriver(DRIVER_OBJECT* driver, const char* registryPath) {
    void* p = nullptr;
    NTSTATUS s = IoAllocateDriverObjectExtension(driver, &g_driverExtensionId, sizeof(WK_DRIVER_EXTENSION), &p);
    if (!NT_SUCCESS(s)) return s;
    auto* ext = static_cast<WK_DRIVER_EXTENSION*>(p);
    size_t n = std::strlen(registryPath) + 1;
    ext->RegistryPath = static_cast<char*>(ExAllocatePool(n));
    if (!ext->RegistryPath) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(ext->RegistryPath, registryPath, n);
    driver->MajorFunction[IRP_MJ_CREATE] = WkPnpCreateFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = WkPnpCloseHandle;
    driver->MajorFunction[IRP_MJ_PNP] = WkPnpDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = WkPowDispatch;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = WkWmiSystemControlDispatch;
    return STATUS_SUCCESS;
}

void WkDrvFreePnpDriver(DRIVER_OBJECT* driver) {
    auto* ext = static_cast<WK_DRIVER_EXTENSION*>(IoGetDriverObjectExtension(driver, &g_driverExtensionId));
    if (!ext) return;
    ExFreePool(ext->RegistryPath);
    ext->RegistryPath = nullptr;
}

// ---- device part ----

NTSTATUS WkDevInitialize(WK_DEVICE* wk, DEVICE_OBJECT* device, DEVICE_OBJECT* pdo) {
    wk->DeviceObject = device;
    wk->Pdo = pdo;
    std::snprintf(wk->DeviceName, sizeof wk->DeviceName, "%s", device->Name);
    const char* slash = std::strrchr(device->Name, '\\');
    std::snprintf(wk->ShortName, sizeof wk->ShortName, "%s", slash ? slash + 1 : device->Name);
    std::snprintf(wk->LinkName, sizeof wk->LinkName, "\\DosDevices\\%s", wk->ShortName);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    wk->PnpState = WK_PNP_NOT_STARTED;
    wk->RequestCount = 1;
    KeInitializeEvent(&wk->NoRequestsEvent, NotificationEvent, true);
    KeInitializeEvent(&wk->RemoveEvent, NotificationEvent, false);
    InitializeListHead(&wk->StallQueue);
    wk->Stopped = 1;
    wk->Stoppable = 1;
    wk->Removable = 1;
    wk->DevicePowerState = PowerDeviceD0;
    wk->SystemPowerState = PowerSystemWorking;
    wk->PowerDownAllowed = 1;
    wk->IdlePowerDown = true;
    wk->SystemPowerFollows = false;
    wk->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
    if (!wk->LowerDevice) {
        KeUninitializeEvent(&wk->NoRequestsEvent);
        KeUninitializeEvent(&wk->RemoveEvent);
        return STATUS_NO_SUCH_DEVICE;
    }
    wk->StartIoQueuing = true;
    return STATUS_SUCCESS;
}

void WkDevFree(WK_DEVICE* wk) {
    if (wk->LowerDevice) {
        IoDetachDevice(wk->LowerDevice);
        wk->LowerDevice = nullptr;
        KeUninitializeEvent(&wk->NoRequestsEvent);
        KeUninitializeEvent(&wk->RemoveEvent);
    }
}

// ---- request counting ----

void WkPnpIncrementRequestCount(WK_DEVICE* wk) {
    if (InterlockedIncrement(&wk->RequestCount) == 2) KeClearEvent(&wk->NoRequestsEvent);
}

void WkPnpDecrementRequestCount(WK_DEVICE* wk) {
    LONG n = InterlockedDecrement(&wk->RequestCount);
    if (n == 1) KeSetEvent(&wk->NoRequestsEvent);
    if (n == 0) KeSetEvent(&wk->RemoveEvent);
}

NTSTATUS WkPnpCompleteIrp(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp);
    WkPnpDecrementRequestCount(WkDeviceOf(device));
    return status;
}

// ---- the stall queue ----

static void StalledIrpCancel(DEVICE_OBJECT* device, IRP* irp) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(0);
    irp->IoStatus.Information = 0;
    WkPnpCompleteIrp(device, irp, STATUS_CANCELLED);
}

static bool Holding(WK_DEVICE* wk) {
    LONG s = InterlockedRead(&wk->PnpState);
    return s == WK_PNP_STOP_PENDING || s == WK_PNP_STOPPED || s == WK_PNP_REMOVE_PENDING ||
           InterlockedRead(&wk->PoweringDown) != 0;
}

NTSTATUS WkPnpIrpPrologue(DEVICE_OBJECT* device, IRP* irp) {
    WK_DEVICE* wk = WkDeviceOf(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    // Plug-and-play and power requests pass uncounted: removal waits for the count.
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) return STATUS_SUCCESS;
    WkPnpIncrementRequestCount(wk);
    LONG state = InterlockedRead(&wk->PnpState);
    if (state == WK_PNP_REMOVED || state == WK_PNP_SURPRISE_REMOVED) {
        irp->IoStatus.Information = 0;
        return WkPnpCompleteIrp(device, irp, STATUS_DELETE_PENDING);
    }
    // The state is read again under the cancel lock, so that a replay that runs after
    // a state change cannot miss a request queued on the old state.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Holding(wk)) {
        if (IoIsIrpCancelled(irp)) {
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Information = 0;
            return WkPnpCompleteIrp(device, irp, STATUS_CANCELLED);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, StalledIrpCancel);
        InsertTailList(&wk->StallQueue, &irp->Tail.Overlay.ListEntry);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    IoReleaseCancelSpinLock(irql);
    return STATUS_SUCCESS;
}

void WkPnpReplayStalledIrps(WK_DEVICE* wk) {
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        LIST_ENTRY* e = RemoveHeadList(&wk->StallQueue);
        if (!e) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        IRP* irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        bool ours = IoSetCancelRoutine(irp, nullptr) != nullptr;  // else its cancel routine completes it
        IoReleaseCancelSpinLock(irql);
        if (!ours) continue;
        // The dispatch routine counts it again.
        WkPnpDecrementRequestCount(wk);
        DEVICE_OBJECT* device = wk->DeviceObject;
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        device->DriverObject->MajorFunction[major](device, irp);
    }
}

// ---- passing down ----

static NTSTATUS SignalOnComplete(DEVICE_OBJECT*, IRP*, void* context) {
    KeSetEvent(static_cast<KEVENT*>(context));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS WkPnpPassIrpDownStack(DEVICE_OBJECT* device, IRP* irp, bool wait) {
    WK_DEVICE* wk = WkDeviceOf(device);
    if (!wait) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(wk->LowerDevice, irp);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, false);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnComplete, &done, true, true, true);
    IoCallDriver(wk->LowerDevice, irp);
    KeWaitForSingleObject(&done);
    KeUninitializeEvent(&done);
    return irp->IoStatus.Status;
}

static NTSTATUS CompleteHere(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp);
    return status;
}

// ---- device queue ----

void WkIrqStartPacket(DEVICE_OBJECT* device, IRP* irp, PDRIVER_CANCEL cancel) {
    IoMarkIrpPending(irp);
    IoStartPacket(device, irp, nullptr, cancel);
}

void WkIrqStartNextPacket(DEVICE_OBJECT* device) { IoStartNextPacket(device, true); }

void WkIrqCompleteIrpAndStartNext(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status) {
    WkIrqStartNextPacket(device);
    WkPnpCompleteIrp(device, irp, status);
}

void WkIrqFlushQueue(DEVICE_OBJECT* device, FILE_OBJECT* file) {
    WK_DEVICE* wk = WkDeviceOf(device);
    std::vector<IRP*> victims;
    // The request in progress has moved down the stack: ask for the file it was issued on.
    auto matches = [file](IRP* irp) { return !file || irp->OriginalFileObject == file; };
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    LIST_ENTRY* head = &device->DeviceQueue.DeviceListHead;
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        IRP* irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
        if (matches(irp)) victims.push_back(irp);
    }
    // Held requests of a closing file go too: its close must not wait for a restart.
    if (file)
        for (LIST_ENTRY* e = wk->StallQueue.Flink; e != &wk->StallQueue; e = e->Flink) {
            IRP* irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            if (matches(irp)) victims.push_back(irp);
        }
    if (device->CurrentIrp && matches(device->CurrentIrp)) victims.push_back(device->CurrentIrp);
    for (IRP* irp : victims) IoReferenceIrp(irp);
    IoReleaseCancelSpinLock(irql);
    for (IRP* irp : victims) {
        IoCancelIrp(irp);
        IoDereferenceIrp(irp);
    }
}

// ---- open and close ----

NTSTATUS WkPnpCreateFile(DEVICE_OBJECT* device, IRP* irp) {
    WK_DEVICE* wk = WkDeviceOf(device);
    LONG state = InterlockedRead(&wk->PnpState);
    if (state == WK_PNP_STOP_PENDING || state == WK_PNP_STOPPED) {
        NTSTATUS s = WkPnpIrpPrologue(device, irp);
        if (s != STATUS_SUCCESS) return s;
        WkPnpDecrementRequestCount(wk);  // an open keeps its own count below
    }
    InterlockedExchange(&wk->Stoppable, 0);
    InterlockedExchange(&wk->Removable, 0);
    NTSTATUS status = STATUS_SUCCESS;
    if (InterlockedRead(&wk->ExclusiveOpen)) {
        status = STATUS_SHARING_VIOLATION;
    } else {
        LONG n = InterlockedIncrement(&wk->OpenCount);
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.ShareAccess == 0) {
            if (n == 1 && InterlockedCompareExchange(&wk->ExclusiveOpen, 1, 0) == 0) {
                IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = wk;  // this handle holds exclusivity
            } else {
                status = STATUS_SHARING_VIOLATION;
                InterlockedDecrement(&wk->OpenCount);
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        // Only when no other handle is open: one that is must keep the device in place.
        if (InterlockedRead(&wk->OpenCount) == 0) {
            InterlockedExchange(&wk->Stoppable, 1);
            InterlockedExchange(&wk->Removable, 1);
        }
    } else {
        WkPnpIncrementRequestCount(wk);
    }
    irp->IoStatus.Information = 0;
    return CompleteHere(irp, status);
}

NTSTATUS WkPnpCloseHandle(DEVICE_OBJECT* device, IRP* irp) {
    WK_DEVICE* wk = WkDeviceOf(device);
    FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file && file->FsContext == wk) {
        InterlockedExchange(&wk->ExclusiveOpen, 0);
        file->FsContext = nullptr;
    }
    if (InterlockedDecrement(&wk->OpenCount) == 0) {
        InterlockedExchange(&wk->Stoppable, 1);
        InterlockedExchange(&wk->Removable, 1);
    }
    CompleteHere(irp, STATUS_SUCCESS);
    WkPnpDecrementRequestCount(wk);
    return STATUS_SUCCESS;
}

// ---- plug-and-play ----

static void RemoveWorkItemRoutine(DEVICE_OBJECT* device, void* context);

static void DeleteFunctionDevice(WK_USB_DEVICE* usb) {
    DEVICE_OBJECT* device = usb->Dev.DeviceObject;
    WkUsbDevFree(usb);
    IoDeleteDevice(device);
}

NTSTATUS WkPnpDispatch(DEVICE_OBJECT* device, IRP* irp) {
    WK_USB_DEVICE* usb = WkUsbDeviceOf(device);
    WK_DEVICE* wk = &usb->Dev;
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = WkPnpPassIrpDownStack(device, irp, true);
        if (NT_SUCCESS(status)) {
            InterlockedExchange(&wk->Stopped, 0);
            status = WkUsbSetupConfiguration(usb);
            if (!NT_SUCCESS(status)) {
                InterlockedExchange(&wk->Stopped, 1);
                InterlockedExchange(&wk->PnpState, WK_PNP_START_FAILED);
            } else {
                InterlockedExchange(&wk->PnpState, WK_PNP_STARTED);
                WkPnpReplayStalledIrps(wk);
            }
        }
        return CompleteHere(irp, status);

    case IRP_MN_QUERY_STOP_DEVICE:
        if (InterlockedRead(&wk->PnpState) != WK_PNP_STOPPED) {
            if (!InterlockedRead(&wk->Stoppable)) return CompleteHere(irp, STATUS_UNSUCCESSFUL);
            InterlockedExchange(&wk->PnpState, WK_PNP_STOP_PENDING);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return WkPnpPassIrpDownStack(device, irp, false);

    case IRP_MN_STOP_DEVICE:
        InterlockedExchange(&wk->Stopped, 1);
        InterlockedExchange(&wk->PowerDownAllowed, 0);
        WkUsbReleaseConfiguration(usb, false);
        InterlockedExchange(&wk->PowerDownAllowed, 1);
        InterlockedExchange(&wk->PnpState, WK_PNP_STOPPED);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return WkPnpPassIrpDownStack(device, irp, false);

    case IRP_MN_CANCEL_STOP_DEVICE:
        WkPnpPassIrpDownStack(device, irp, true);
        if (!InterlockedRead(&wk->Stopped) &&
            InterlockedCompareExchange(&wk->PnpState, WK_PNP_STARTED, WK_PNP_STOP_PENDING) == WK_PNP_STOP_PENDING)
            WkPnpReplayStalledIrps(wk);
        return CompleteHere(irp, STATUS_SUCCESS);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (!InterlockedRead(&wk->Removable)) return CompleteHere(irp, STATUS_UNSUCCESSFUL);
        InterlockedExchange(&wk->PnpState, WK_PNP_REMOVE_PENDING);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return WkPnpPassIrpDownStack(device, irp, false);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        WkPnpPassIrpDownStack(device, irp, true);
        InterlockedExchange(&wk->PnpState, WK_PNP_STARTED);
        // Requests held while the removal was pending would otherwise wait for ever.
        WkPnpReplayStalledIrps(wk);
        return CompleteHere(irp, STATUS_SUCCESS);

    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&wk->PnpState, WK_PNP_SURPRISE_REMOVED);
        wk->SurpriseRemoved = true;
        WkPnpReplayStalledIrps(wk);
        WkIrqFlushQueue(device, nullptr);
        if (wk->LinkCreated) {
            IoDeleteSymbolicLink(wk->LinkName);
            wk->LinkCreated = false;
        }
        WkUsbReleaseConfiguration(usb, true);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return WkPnpPassIrpDownStack(device, irp, false);

    case IRP_MN_REMOVE_DEVICE: {
        wk->QueryRemoveSeen = InterlockedRead(&wk->PnpState) == WK_PNP_REMOVE_PENDING;
        InterlockedExchange(&wk->PnpState, WK_PNP_REMOVED);
        WkPnpReplayStalledIrps(wk);
        WkIrqFlushQueue(device, nullptr);
        WkPnpDecrementRequestCount(wk);  // the initial count
        InterlockedExchange(&wk->Stopped, 1);
        if (wk->LinkCreated) {
            IoDeleteSymbolicLink(wk->LinkName);
            wk->LinkCreated = false;
        }
        bool modern = IoIsWdmVersionAvailable(1, 0x10);
        if (modern) {
            KeWaitForSingleObject(&wk->RemoveEvent);
            if (!wk->SurpriseRemoved) WkUsbReleaseConfiguration(usb, false);
        } else {
            wk->RemoveWorkItem = IoAllocateWorkItem(device);
        }
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        PoSetPowerState(device, DevicePowerState, d3);
        InterlockedExchange(&wk->DevicePowerState, PowerDeviceD3);
        irp->IoStatus.Status = STATUS_SUCCESS;
        DEVICE_OBJECT* lower = wk->LowerDevice;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        if (modern) {
            DeleteFunctionDevice(usb);
        } else if (wk->RemoveWorkItem) {
            IoQueueWorkItem(wk->RemoveWorkItem, RemoveWorkItemRoutine, usb);
        } else {
            // No work item to be had: wait here as the newer platforms do.
            KeWaitForSingleObject(&wk->RemoveEvent);
            if (!wk->SurpriseRemoved) WkUsbReleaseConfiguration(usb, false);
            DeleteFunctionDevice(usb);
        }
        return status;
    }

    case IRP_MN_QUERY_CAPABILITIES: {
        status = WkPnpPassIrpDownStack(device, irp, true);
        if (NT_SUCCESS(status)) {
            sp->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = true;
            usb->SurpriseRemovalOK = true;
        }
        return CompleteHere(irp, status);
    }

    default: return WkPnpPassIrpDownStack(device, irp, false);
    }
}

// Older platforms: the device goes once nothing uses it any more; the work item looks
// again every second until then. The stack is already detached, so only this
// routine still reaches the bus (to unconfigure).
static void RemoveWorkItemRoutine(DEVICE_OBJECT* device, void* context) {
    auto* usb = static_cast<WK_USB_DEVICE*>(context);
    WK_DEVICE* wk = &usb->Dev;
    if (InterlockedRead(&wk->RequestCount) != 0 || InterlockedRead(&device->ReferenceCount) != 0) {
        KeDelayExecutionThread(1000);
        IoQueueWorkItem(wk->RemoveWorkItem, RemoveWorkItemRoutine, usb);
        return;
    }
    if (!wk->SurpriseRemoved) WkUsbReleaseConfiguration(usb, false);
    IoFreeWorkItem(wk->RemoveWorkItem);
    wk->RemoveWorkItem = nullptr;
    DeleteFunctionDevice(usb);
}

// ---- power ----

static void DevicePowerForSystemDone(DEVICE_OBJECT*, UCHAR, POWER_STATE, void* context, IO_STATUS_BLOCK* status) {
    IRP* systemIrp = static_cast<IRP*>(context);
    systemIrp->IoStatus.Status = status->Status;
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp);
}

static NTSTATUS SystemPowerDone(DEVICE_OBJECT* device, IRP* irp, void*) {
    WK_DEVICE* wk = WkDeviceOf(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status) || !wk->SystemPowerFollows) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE d;
    d.DeviceState = sp->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    NTSTATUS s = PoRequestPowerIrp(wk->Pdo, sp->MinorFunction, d, DevicePowerForSystemDone, irp, nullptr);
    if (!NT_SUCCESS(s)) {
        irp->IoStatus.Status = s;
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS DevicePowerUpDone(DEVICE_OBJECT* device, IRP* irp, void*) {
    WK_DEVICE* wk = WkDeviceOf(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        POWER_STATE state = sp->Parameters.Power.State;
        InterlockedExchange(&wk->DevicePowerState, state.DeviceState);
        if (state.DeviceState == PowerDeviceD0) {
            InterlockedExchange(&wk->PoweringDown, 0);
            WkPnpReplayStalledIrps(wk);
        }
        PoSetPowerState(device, DevicePowerState, state);
        if (wk->PowerUpHandler) wk->PowerUpHandler(device);
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

static NTSTATUS QueryPowerDone(DEVICE_OBJECT* device, IRP* irp, void*) {
    WK_DEVICE* wk = WkDeviceOf(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        InterlockedExchange(&wk->PoweringDown, 0);
        WkPnpReplayStalledIrps(wk);
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

static NTSTATUS PassPowerDown(WK_DEVICE* wk, IRP* irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(wk->LowerDevice, irp);
}

static NTSTATUS PassPowerDownWith(WK_DEVICE* wk, IRP* irp, PIO_COMPLETION_ROUTINE done) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, done, nullptr, true, true, true);
    return PoCallDriver(wk->LowerDevice, irp);
}

NTSTATUS WkPowDispatch(DEVICE_OBJECT* device, IRP* irp) {
    WK_DEVICE* wk = WkDeviceOf(device);
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = sp->MinorFunction;
    if (minor != IRP_MN_QUERY_POWER && minor != IRP_MN_SET_POWER) return PassPowerDown(wk, irp);

    if (sp->Parameters.Power.Type == SystemPowerState) {
        InterlockedExchange(&wk->SystemPowerState, sp->Parameters.Power.State.SystemState);
        return PassPowerDownWith(wk, irp, SystemPowerDone);
    }

    LONG target = sp->Parameters.Power.State.DeviceState;
    LONG current = InterlockedRead(&wk->DevicePowerState);
    if (minor == IRP_MN_QUERY_POWER) {
        if (target <= current) return PassPowerDown(wk, irp);
        if (!InterlockedRead(&wk->PowerDownAllowed)) {
            PoStartNextPowerIrp(irp);
            return CompleteHere(irp, STATUS_UNSUCCESSFUL);
        }
        InterlockedExchange(&wk->PoweringDown, 1);
        if (InterlockedRead(&wk->OpenCount) == 0) return PassPowerDownWith(wk, irp, QueryPowerDone);
        InterlockedExchange(&wk->PoweringDown, 0);
        WkPnpReplayStalledIrps(wk);
        PoStartNextPowerIrp(irp);
        return CompleteHere(irp, STATUS_UNSUCCESSFUL);
    }

    // Set device power.
    if (target < current) return PassPowerDownWith(wk, irp, DevicePowerUpDone);
    PoSetPowerState(device, DevicePowerState, sp->Parameters.Power.State);
    InterlockedExchange(&wk->DevicePowerState, target);
    if (target == PowerDeviceD0) {
        InterlockedExchange(&wk->PoweringDown, 0);
        WkPnpReplayStalledIrps(wk);
    } else if (wk->PowerDownHandler) {
        wk->PowerDownHandler(device);
    }
    return PassPowerDown(wk, irp);
}

// ---- system control ----

NTSTATUS WkWmiSystemControlDispatch(DEVICE_OBJECT* device, IRP* irp) {
    // No data blocks of our own: every request belongs further down.
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(WkDeviceOf(device)->LowerDevice, irp);
}
