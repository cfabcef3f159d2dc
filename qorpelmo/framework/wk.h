#pragma once
// The driver framework: plug-and-play and power state, request counting, the
// stall queue, exclusive open/close, the StartIo-style device queue, and the
// USB part (configuration, endpoint lookup, request blocks, bulk transfers).
#include "kernel/usb.h"
#include "kernel/wdm.h"

// Plug-and-play states.
enum : LONG {
    WK_PNP_NOT_STARTED = 0,
    WK_PNP_STARTED = 1,
    WK_PNP_STOP_PENDING = 2,
    WK_PNP_STOPPED = 3,
    WK_PNP_REMOVE_PENDING = 4,
    WK_PNP_REMOVED = 5,
    WK_PNP_SURPRISE_REMOVED = 6,
    WK_PNP_START_FAILED = 7,
};

struct WK_DRIVER_EXTENSION {
    char* RegistryPath;  // pool copy
};

typedef void (*WK_POWER_HANDLER)(DEVICE_OBJECT* device);

// The framework's device part. A driver's device extension starts with a
// WK_USB_DEVICE, which starts with this.
struct WK_DEVICE {
    DEVICE_OBJECT* DeviceObject;
    DEVICE_OBJECT* LowerDevice;
    DEVICE_OBJECT* Pdo;
    char DeviceName[64];
    char ShortName[64];
    char LinkName[96];
    bool LinkCreated;
    bool StartIoQueuing;
    LONG PnpState;
    LONG RequestCount;       // 1 at rest; an open handle holds one
    KEVENT NoRequestsEvent;  // set while the count is 1
    KEVENT RemoveEvent;      // set when the count reaches 0 after removal dropped the initial one
    LIST_ENTRY StallQueue;   // guarded by the cancel lock
    LONG Stopped;
    LONG Stoppable;
    LONG Removable;
    LONG OpenCount;
    LONG ExclusiveOpen;
    LONG DevicePowerState;  // D0 = 1 .. D3 = 4
    LONG SystemPowerState;
    LONG PoweringDown;
    LONG PowerDownAllowed;
    bool IdlePowerDown;
    bool SystemPowerFollows;
    bool QueryRemoveSeen;
    bool SurpriseRemoved;
    WK_POWER_HANDLER PowerDownHandler;
    WK_POWER_HANDLER PowerUpHandler;
    IO_WORKITEM* RemoveWorkItem;
};

struct WK_USB_DEVICE {
    WK_DEVICE Dev;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;
    USBD_INTERFACE_INFORMATION* InterfaceInformation;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    NPAGED_LOOKASIDE_LIST UrbPool;
    bool UrbPoolReady;
    bool SurpriseRemovalOK;
};

inline WK_DEVICE* WkDeviceOf(DEVICE_OBJECT* device) { return static_cast<WK_DEVICE*>(device->DeviceExtension); }
inline WK_USB_DEVICE* WkUsbDeviceOf(DEVICE_OBJECT* device) {
    return static_cast<WK_USB_DEVICE*>(device->DeviceExtension);
}

// Transfer limits per pipe of the first interface (by index); other pipes get 4096.
constexpr ULONG kWkFirstInterfacePipeLimits[4] = {16, 16, 0x8000, 0x8000};
constexpr ULONG kWkOtherPipeLimit = 4096;
constexpr ULONG kWkFirstConfigRead = 265;

// ---- driver part ----
NTSTATUS WkDrvInitializePnpDriver(DRIVER_OBJECT* driver, const char* registryPath);
void WkDrvFreePnpDriver(DRIVER_OBJECT* driver);

// ---- device part ----
NTSTATUS WkDevInitialize(WK_DEVICE* wk, DEVICE_OBJECT* device, DEVICE_OBJECT* pdo);
void WkDevFree(WK_DEVICE* wk);

// ---- plug-and-play, open/close, request counting ----
// STATUS_SUCCESS lets the request through; any other status means the prologue
// has completed it (or, for STATUS_PENDING, holds it in the stall queue).
NTSTATUS WkPnpIrpPrologue(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS WkPnpCompleteIrp(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status);
NTSTATUS WkPnpPassIrpDownStack(DEVICE_OBJECT* device, IRP* irp, bool wait);
void WkPnpIncrementRequestCount(WK_DEVICE* wk);
void WkPnpDecrementRequestCount(WK_DEVICE* wk);
void WkPnpReplayStalledIrps(WK_DEVICE* wk);
NTSTATUS WkPnpCreateFile(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS WkPnpCloseHandle(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS WkPnpDispatch(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS WkPowDispatch(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS WkWmiSystemControlDispatch(DEVICE_OBJECT* device, IRP* irp);

// ---- device queue ----
void WkIrqStartPacket(DEVICE_OBJECT* device, IRP* irp, PDRIVER_CANCEL cancel);
void WkIrqStartNextPacket(DEVICE_OBJECT* device);
void WkIrqCompleteIrpAndStartNext(DEVICE_OBJECT* device, IRP* irp, NTSTATUS status);
// Cancels every queued (and held) request of the file (null: of all files) and the
// request in progress if it matches, through their cancel routines.
void WkIrqFlushQueue(DEVICE_OBJECT* device, FILE_OBJECT* file);

// ---- USB part ----
NTSTATUS WkUsbDevInitialize(WK_USB_DEVICE* usb, DEVICE_OBJECT* device, DEVICE_OBJECT* pdo);
void WkUsbDevFree(WK_USB_DEVICE* usb);
NTSTATUS WkUsbSetupConfiguration(WK_USB_DEVICE* usb);
NTSTATUS WkUsbReleaseConfiguration(WK_USB_DEVICE* usb, bool surpriseRemoved);
USB_ENDPOINT_DESCRIPTOR* WkUsbGetEndpointDescriptor(WK_USB_DEVICE* usb, ULONG index);
NTSTATUS WkUsbSubmitUrb(WK_USB_DEVICE* usb, URB* urb, IRP* irp, PIO_COMPLETION_ROUTINE completion, void* context);
NTSTATUS WkUsbAsynchronousBulkTransfer(WK_USB_DEVICE* usb, void* buffer, ULONG length, ULONG pipeIndex, IRP* irp,
                                       PIO_COMPLETION_ROUTINE completion);
