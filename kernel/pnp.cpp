// The plug-and-play and power managers and the driver host.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel/host.h"
#include "kernel/kernel_internal.h"

namespace {

struct Node {
    bool used = false;
    int sourceId = -1;  // the id its source knows it by
    DEVICE_OBJECT* fdo = nullptr;
    bool surprise = false;
    bool removed = false;
};

std::recursive_mutex g_pnp;  // one PnP action at a time
std::mutex g_hostLock;
Node g_nodes[kMaxBusDevices];
DRIVER_OBJECT* g_driver = nullptr;
DRIVER_OBJECT g_busDriver;
bool g_running = false;

bool DeviceAlive(DEVICE_OBJECT* d) {
    if (!g_driver || !d) return false;
    for (DEVICE_OBJECT* p = g_driver->DeviceObject; p; p = p->NextDevice)
        if (p == d) return true;
    return false;
}

// A request for the top of a bus device's stack, as the system sends it: not yet
// answered by anyone. Sets *status and returns null when there is no such device.
IRP* NewStackRequest(int busId, UCHAR major, UCHAR minor, DEVICE_OBJECT** top, NTSTATUS* status) {
    DEVICE_OBJECT* pdo = KiBusPdo(busId);
    if (!pdo) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    *top = IoGetAttachedDevice(pdo);
    IRP* irp = IoAllocateIrp((*top)->StackSize);
    if (!irp) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    return irp;
}

NTSTATUS SendPnp(int busId, UCHAR minor) {
    DEVICE_OBJECT* top = nullptr;
    NTSTATUS status;
    IRP* irp = NewStackRequest(busId, IRP_MJ_PNP, minor, &top, &status);
    if (!irp) return status;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    if (minor == IRP_MN_QUERY_CAPABILITIES) sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    return KiSendAndWait(top, irp);
}

void DestroyWhenFree(int busId);

void DestroyNow(int busId) {
    KiBusDestroy(busId);
    g_nodes[busId] = Node{};
}

// The bus device goes once the driver has deleted its device (at once, or later
// from its removal work item).
void DestroyWhenFree(int busId) {
    if (DeviceAlive(g_nodes[busId].fdo)) {
        KiQueueWork([busId] {
            KeDelayExecutionThread(10);
            std::lock_guard<std::recursive_mutex> g(g_pnp);
            DestroyWhenFree(busId);
        });
        return;
    }
    DestroyNow(busId);
}

void Remove(int busId) {
    Node& n = g_nodes[busId];
    if (n.removed) return;
    n.removed = true;
    if (n.fdo) SendPnp(busId, IRP_MN_REMOVE_DEVICE);
    DestroyWhenFree(busId);
}

void Arrive(UsbBusDevice* backend, int sourceId) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (!g_running) {
        delete backend;
        return;
    }
    int busId = KiBusCreate(backend, &g_busDriver);
    if (busId < 0) {
        delete backend;
        return;
    }
    g_nodes[busId] = Node{true, sourceId, nullptr, false, false};
    DEVICE_OBJECT* pdo = KiBusPdo(busId);
    g_driver->DriverExtension->AddDevice(g_driver, pdo);
    // No function device (the driver declined): the bus device stays without a driver.
    if (!pdo->AttachedDevice) return;
    g_nodes[busId].fdo = pdo->AttachedDevice;
    if (NT_SUCCESS(SendPnp(busId, IRP_MN_START_DEVICE))) SendPnp(busId, IRP_MN_QUERY_CAPABILITIES);
}

void Leave(int busId) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (busId < 0 || !g_nodes[busId].used) return;
    Node& n = g_nodes[busId];
    KiBusMarkGone(busId);
    if (!n.fdo || n.removed) {
        if (!n.removed) DestroyNow(busId);
        return;
    }
    if (!n.surprise) {
        n.surprise = true;
        SendPnp(busId, IRP_MN_SURPRISE_REMOVAL);
    }
    // Removal follows once the last handle on the device is closed.
    if (InterlockedRead(&n.fdo->ReferenceCount) == 0) Remove(busId);
}

void LastClose(DEVICE_OBJECT* device) {
    KiQueueWork([device] {
        std::lock_guard<std::recursive_mutex> g(g_pnp);
        for (int i = 0; i < kMaxBusDevices; ++i)
            if (g_nodes[i].used && g_nodes[i].fdo == device && g_nodes[i].surprise && !g_nodes[i].removed) Remove(i);
    });
}

int BusIdOfSource(int sourceId) {
    if (sourceId < 0) return -1;  // libusb's devices have no source id
    for (int i = 0; i < kMaxBusDevices; ++i)
        if (g_nodes[i].used && g_nodes[i].sourceId == sourceId) return i;
    return -1;
}

void WaitUnlessInside() {
    if (!t_kiOnBusThread && !KiOnWorker()) KeWaitPnpIdle();
}

const UsbBusSource* g_source = nullptr;

}  // namespace

// ---- power manager ----

NTSTATUS PoCallDriver(DEVICE_OBJECT* device, IRP* irp) { return IoCallDriver(device, irp); }
void PoStartNextPowerIrp(IRP*) {}
POWER_STATE PoSetPowerState(DEVICE_OBJECT*, POWER_STATE_TYPE, POWER_STATE state) { return state; }

namespace {
struct PowerRequest {
    DEVICE_OBJECT* device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE complete;
    void* context;
};
NTSTATUS PowerRequestDone(DEVICE_OBJECT*, IRP* irp, void* context) {
    auto* r = static_cast<PowerRequest*>(context);
    IO_STATUS_BLOCK iosb = irp->IoStatus;
    if (r->complete) r->complete(r->device, r->minor, r->state, r->context, &iosb);
    delete r;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS PoRequestPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE complete,
                           void* context, IRP** irpOut) {
    DEVICE_OBJECT* top = IoGetAttachedDevice(device);
    // One spare location on top holds the requester's completion.
    IRP* irp = IoAllocateIrp(static_cast<char>(top->StackSize + 1));
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    --irp->CurrentLocation;
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = state;
    IoSetCompletionRoutine(irp, PowerRequestDone, new PowerRequest{device, minor, state, complete, context}, true, true,
                           true);
    if (irpOut) *irpOut = irp;
    IoCallDriver(top, irp);
    return STATUS_PENDING;
}

// ---- host ----

NTSTATUS KeHostStart(PDRIVER_INITIALIZE entry) {
    std::lock_guard<std::mutex> h(g_hostLock);
    if (g_running) return STATUS_SUCCESS;
    auto* driver = static_cast<DRIVER_OBJECT*>(ExAllocatePool(sizeof(DRIVER_OBJECT)));
    auto* ext = static_cast<DRIVER_EXTENSION*>(ExAllocatePool(sizeof(DRIVER_EXTENSION)));
    if (!driver || !ext) {
        ExFreePool(driver);
        ExFreePool(ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    driver->DriverExtension = ext;
    ext->DriverObject = driver;
    driver->DriverName = "\\Driver\\qorpelmo";
    NTSTATUS s = entry(driver, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelmo");
    if (!NT_SUCCESS(s) || !ext->AddDevice) {
        ExFreePool(ext);
        ExFreePool(driver);
        return NT_SUCCESS(s) ? STATUS_UNSUCCESSFUL : s;
    }
    g_busDriver = DRIVER_OBJECT{};
    g_busDriver.DriverName = "\\Driver\\usbhub";
    for (auto& f : g_busDriver.MajorFunction) f = KiBusDispatch;
    {
        std::lock_guard<std::recursive_mutex> g(g_pnp);
        g_driver = driver;
        g_running = true;
    }
    IoSetLastCloseHook(LastClose);

    // The registered source's devices (the simulated units), then the real ones.
    if (g_source) g_source->start();
    if (const char* ids = std::getenv("PELMO_USB_IDS")) {
        UsbIdPair pairs[16];
        int n = 0;
        if (ParseUsbIds(ids, pairs, 16, &n) && n > 0) KeScanUsbUnits(pairs, n);
    }
    KeWaitPnpIdle();
    return STATUS_SUCCESS;
}

namespace {
PDRIVER_INITIALIZE g_hostEntry = nullptr;
}  // namespace

void KeSetHostDriverEntry(PDRIVER_INITIALIZE entry) { g_hostEntry = entry; }
PDRIVER_INITIALIZE KeHostDriverEntry() { return g_hostEntry; }

bool KeHostRunning() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return g_running;
}

DRIVER_OBJECT* KeHostDriver() { return g_driver; }

void KeHostStop() {
    std::lock_guard<std::mutex> h(g_hostLock);
    if (!g_running) return;
    if (g_source) g_source->stop();
    KeWaitPnpIdle();
    {
        std::lock_guard<std::recursive_mutex> g(g_pnp);
        for (int i = 0; i < kMaxBusDevices; ++i) {
            Node& n = g_nodes[i];
            if (!n.used || n.removed) continue;
            if (n.fdo && !n.surprise && InterlockedRead(&n.fdo->ReferenceCount) == 0) {
                SendPnp(i, IRP_MN_QUERY_REMOVE_DEVICE);
                Remove(i);
            } else {
                Leave(i);
            }
        }
        g_running = false;
    }
    KeWaitPnpIdle();
    {
        std::lock_guard<std::recursive_mutex> g(g_pnp);
        for (int i = 0; i < kMaxBusDevices; ++i)
            if (g_nodes[i].used && !DeviceAlive(g_nodes[i].fdo)) DestroyNow(i);
        if (g_driver->DriverUnload) g_driver->DriverUnload(g_driver);
        ExFreePool(g_driver->ClientExtension);
        ExFreePool(g_driver->DriverExtension);
        ExFreePool(g_driver);
        g_driver = nullptr;
    }
    KiStopWorker();
}

bool KeHostRelease() {
    {
        std::lock_guard<std::recursive_mutex> g(g_pnp);
        if (g_running) return false;
    }
    const bool bus = KiBusRelease();
    return KiReleaseWorker() && bus;
}

void KeWaitPnpIdle() { KiWaitWorkIdle(); }

int KeBusIdOfSimUnit(int simId) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return BusIdOfSource(simId);
}

DEVICE_OBJECT* KeBusPdo(int busId) { return KiBusPdo(busId); }

DEVICE_OBJECT* KeFunctionDevice(int busId) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (busId < 0 || busId >= kMaxBusDevices || !g_nodes[busId].used || g_nodes[busId].removed) return nullptr;
    return g_nodes[busId].fdo;
}

NTSTATUS KePnpRequest(int busId, UCHAR minor) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (busId < 0 || busId >= kMaxBusDevices || !g_nodes[busId].used) return STATUS_NO_SUCH_DEVICE;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        Remove(busId);
        return STATUS_SUCCESS;
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL) {
        Leave(busId);
        return STATUS_SUCCESS;
    }
    return SendPnp(busId, minor);
}

NTSTATUS KePowerRequest(int busId, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    DEVICE_OBJECT* top = nullptr;
    NTSTATUS status;
    IRP* irp = NewStackRequest(busId, IRP_MJ_POWER, minor, &top, &status);
    if (!irp) return status;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Power.Type = type;
    sp->Parameters.Power.State = state;
    return KiSendAndWait(top, irp);
}

void UsbBusArrive(UsbBusDevice* device, int sourceId) {
    KiQueueWork([device, sourceId] { Arrive(device, sourceId); });
    WaitUnlessInside();
}

void UsbBusSourceLeave(int sourceId) {
    KiQueueWork([sourceId] {
        std::lock_guard<std::recursive_mutex> g(g_pnp);
        Leave(BusIdOfSource(sourceId));
    });
    WaitUnlessInside();
}

bool UsbBusHasSourceDevice(int sourceId) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return BusIdOfSource(sourceId) >= 0;
}

void UsbBusRegisterSource(const UsbBusSource* source) { g_source = source; }

void UsbBusLeave(int busId) {
    KiQueueWork([busId] { Leave(busId); });
    WaitUnlessInside();
}

void KiBusLeaveAfter(int busId, std::function<void()> ready) {
    KiQueueWork([busId, ready] {
        ready();
        Leave(busId);
    });
}
