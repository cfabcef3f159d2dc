#pragma once
// A small kernel layer in the shape of WDM, enough for the qorpelmo driver:
// driver and device objects, names and symbolic links, requests (IRPs) with
// stack locations, completion and cancel routines, the device queue with
// StartIo and the cancel lock, events, interlocked counters, lookaside lists,
// work items, and the plug-and-play and power managers. Everything runs inside
// the user process: "dispatch level" code runs on bus and worker threads, and
// the cancel lock is the one lock that orders it.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

typedef int32_t NTSTATUS;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef uintptr_t ULONG_PTR;
typedef uint8_t KIRQL;
typedef bool BOOLEAN;

#define NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS STATUS_DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = static_cast<NTSTATUS>(0xC0000185);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009D);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = static_cast<NTSTATUS>(0xC0000184);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);

// ---- lists ----
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
void InitializeListHead(LIST_ENTRY* head);
bool IsListEmpty(const LIST_ENTRY* head);
void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry);
LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head);
void RemoveEntryList(LIST_ENTRY* entry);
#define CONTAINING_RECORD(address, type, field) \
    reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field))

// ---- interlocked operations (return the new value, or the old one for exchange) ----
LONG InterlockedIncrement(LONG* target);
LONG InterlockedDecrement(LONG* target);
LONG InterlockedExchange(LONG* target, LONG value);
LONG InterlockedCompareExchange(LONG* target, LONG exchange, LONG comparand);
LONG InterlockedRead(LONG* target);

// ---- events ----
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
struct KEVENT {
    std::mutex* Lock;
    std::condition_variable* Cond;
    bool Signalled;
    EVENT_TYPE Type;
};
void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, bool state);
void KeUninitializeEvent(KEVENT* event);  // frees what KeInitializeEvent took
LONG KeSetEvent(KEVENT* event);
void KeClearEvent(KEVENT* event);
LONG KeReadStateEvent(KEVENT* event);
// timeoutMs 0xFFFFFFFF waits forever; STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(KEVENT* event, uint32_t timeoutMs = 0xFFFFFFFFu);
void KeDelayExecutionThread(uint32_t ms);

// ---- pool and lookaside lists ----
void* ExAllocatePool(size_t bytes);  // zeroed; null when the pool is exhausted
void ExFreePool(void* p);
// Tests: the next `count` pool allocations after `skip` successful ones fail.
void KeFailPoolAllocations(uint32_t skip, uint32_t count);
struct NPAGED_LOOKASIDE_LIST {
    std::mutex* Lock;
    LIST_ENTRY* FreeList;  // singly linked through the first word of each block
    size_t Size;
    uint32_t Depth;
    uint32_t Count;
};
void ExInitializeNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list, size_t size, uint32_t depth);
void* ExAllocateFromNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list);
void ExFreeToNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list, void* p);
void ExDeleteNPagedLookasideList(NPAGED_LOOKASIDE_LIST* list);

// ---- objects ----
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
struct FILE_OBJECT;

typedef NTSTATUS (*PDRIVER_DISPATCH)(DEVICE_OBJECT* device, IRP* irp);
typedef void (*PDRIVER_STARTIO)(DEVICE_OBJECT* device, IRP* irp);
typedef void (*PDRIVER_UNLOAD)(DRIVER_OBJECT* driver);
typedef NTSTATUS (*PDRIVER_ADD_DEVICE)(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(DRIVER_OBJECT* driver, const char* registryPath);
typedef void (*PDRIVER_CANCEL)(DEVICE_OBJECT* device, IRP* irp);
typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(DEVICE_OBJECT* device, IRP* irp, void* context);

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1b;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;
constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

constexpr ULONG DO_BUFFERED_IO = 0x4;
constexpr ULONG DO_DIRECT_IO = 0x10;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x80;
constexpr ULONG DO_POWER_PAGABLE = 0x2000;

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

enum SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
};
enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
};
enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState };
union POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
};

struct DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    bool SurpriseRemovalOK;
    bool Removable;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
};

struct KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    bool Inserted;
};
struct KDEVICE_QUEUE {
    LIST_ENTRY DeviceListHead;
    bool Busy;
};

struct DRIVER_EXTENSION {
    DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
};

struct DRIVER_OBJECT {
    DEVICE_OBJECT* DeviceObject;  // first of the driver's devices
    DRIVER_EXTENSION* DriverExtension;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    const char* DriverName;
    void* ClientExtension;  // IoAllocateDriverObjectExtension
    void* ClientId;
};

struct DEVICE_OBJECT {
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* NextDevice;      // next device of the same driver
    DEVICE_OBJECT* AttachedDevice;  // the device stacked on this one
    DEVICE_OBJECT* LowerDevice;     // the device this one is stacked on (kernel's own)
    IRP* CurrentIrp;
    ULONG Flags;
    ULONG Characteristics;
    void* DeviceExtension;
    ULONG DeviceType;
    char StackSize;
    KDEVICE_QUEUE DeviceQueue;
    LONG ReferenceCount;  // open files
    LONG PointerCount;    // references keeping the memory (kernel's own)
    bool DeletePending;
    char Name[64];     // "\Device\..." or "" when unnamed
    void* BusContext;  // bus driver's own (PDOs)
};

struct FILE_OBJECT {
    DEVICE_OBJECT* DeviceObject;
    void* FsContext;
    LONG PendingRequests;  // requests of this file not yet completed (kernel's own)
};

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

// The buffer of a direct-I/O request, standing in for the locked pages of an MDL.
struct MDL {
    void* Address;
    ULONG Length;
};
void* MmGetSystemAddressForMdlSafe(MDL* mdl);
ULONG MmGetMdlByteCount(MDL* mdl);

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG DesiredAccess;
            ULONG ShareAccess;
        } Create;
        struct {
            ULONG Length;
        } Read;
        struct {
            ULONG Length;
        } Write;
        // Laid out so that Others.Argument1 (the URB of an internal request) does not
        // overlap IoControlCode.
        struct {
            ULONG OutputBufferLength;
            ULONG Pad0;
            ULONG InputBufferLength;
            ULONG Pad1;
            ULONG IoControlCode;
            ULONG Pad2;
            void* Type3InputBuffer;
        } DeviceIoControl;
        struct {
            void* Argument1;
            void* Argument2;
            void* Argument3;
            void* Argument4;
        } Others;
        struct {
            DEVICE_CAPABILITIES* Capabilities;
        } DeviceCapabilities;
        struct {
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            ULONG ShutdownType;
        } Power;
        struct {
            ULONG_PTR ProviderId;
        } WMI;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    void* Context;
};

constexpr int kMaxStack = 6;

// Called when an IRP built by the I/O manager or the power manager has completed.
typedef void (*PIO_FINISH)(IRP* irp, void* context);

struct IRP {
    MDL* MdlAddress;
    union {
        void* SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    bool PendingReturned;
    bool Cancel;
    PDRIVER_CANCEL CancelRoutine;
    void* UserBuffer;
    char StackCount;
    char CurrentLocation;
    struct {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                void* DriverContext[4];
            };
            LIST_ENTRY ListEntry;
        } Overlay;
    } Tail;
    // Kernel's own: finishing of IRPs built by the I/O manager, references, links.
    PIO_FINISH Finish;
    void* FinishContext;
    KEVENT* UserEvent;  // set at completion of a driver-built synchronous IRP
    IO_STATUS_BLOCK* UserIosb;
    LONG References;
    bool Completed;
    FILE_OBJECT* OriginalFileObject;  // I/O-manager requests: the file they belong to
    PIO_FINISH ClientFinish;
    void* ClientContext;
    void* UserOut;  // buffered output copied here at completion
    ULONG UserOutLength;
    bool OwnsSystemBuffer;
    MDL Mdl;
    IO_STACK_LOCATION Stack[kMaxStack];
};

// Irp->Cancel as another thread may be setting it.
inline bool IoIsIrpCancelled(IRP* irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST); }
IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp);
IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp);
void IoSkipCurrentIrpStackLocation(IRP* irp);
void IoCopyCurrentIrpStackLocationToNext(IRP* irp);
void IoMarkIrpPending(IRP* irp);
void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, void* context, bool onSuccess, bool onError,
                            bool onCancel);
PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine);  // call with the cancel lock held or not

IRP* IoAllocateIrp(char stackSize);
void IoFreeIrp(IRP* irp);
void IoReferenceIrp(IRP* irp);  // keeps the IRP's memory after completion (kernel's own)
void IoDereferenceIrp(IRP* irp);
// Builds a device-control IRP for a lower device (next location set up); completion sets
// *event and fills *iosb, and the kernel frees the IRP.
IRP* IoBuildDeviceIoControlRequest(ULONG code, DEVICE_OBJECT* device, void* in, ULONG inLength, void* out,
                                   ULONG outLength, bool internal, KEVENT* event, IO_STATUS_BLOCK* iosb);

NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp);
void IoCompleteRequest(IRP* irp, char priorityBoost = 0);
bool IoCancelIrp(IRP* irp);

// The cancel lock: one for the whole kernel. Cancel routines are called with it held
// and release it themselves.
void IoAcquireCancelSpinLock(KIRQL* irql);
void IoReleaseCancelSpinLock(KIRQL irql);

// Device queue (callers of the Ke* routines hold the cancel lock).
void KeInitializeDeviceQueue(KDEVICE_QUEUE* queue);
bool KeInsertDeviceQueue(KDEVICE_QUEUE* queue, KDEVICE_QUEUE_ENTRY* entry);  // false: was idle, now busy
KDEVICE_QUEUE_ENTRY* KeRemoveDeviceQueue(KDEVICE_QUEUE* queue);              // null: now idle
bool KeRemoveEntryDeviceQueue(KDEVICE_QUEUE* queue, KDEVICE_QUEUE_ENTRY* entry);
void IoStartPacket(DEVICE_OBJECT* device, IRP* irp, ULONG* key, PDRIVER_CANCEL cancel);
void IoStartNextPacket(DEVICE_OBJECT* device, bool cancelable);

// Devices, names and links.
NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extensionSize, const char* name, ULONG type, ULONG characteristics,
                        bool exclusive, DEVICE_OBJECT** device);
void IoDeleteDevice(DEVICE_OBJECT* device);
NTSTATUS IoCreateSymbolicLink(const char* link, const char* deviceName);
NTSTATUS IoDeleteSymbolicLink(const char* link);
DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* source, DEVICE_OBJECT* target);
void IoDetachDevice(DEVICE_OBJECT* target);
DEVICE_OBJECT* IoGetAttachedDevice(DEVICE_OBJECT* device);  // top of the stack
void ObReferenceObject(DEVICE_OBJECT* device);
void ObDereferenceObject(DEVICE_OBJECT* device);
NTSTATUS IoAllocateDriverObjectExtension(DRIVER_OBJECT* driver, void* id, ULONG size, void** extension);
void* IoGetDriverObjectExtension(DRIVER_OBJECT* driver, void* id);
bool IoIsWdmVersionAvailable(UCHAR major, UCHAR minor);
// Tests: the WDM version IoIsWdmVersionAvailable reports (default 1.16).
void KeSetWdmVersion(UCHAR major, UCHAR minor);

// Work items: run one at a time on the kernel's worker thread.
typedef void (*PIO_WORKITEM_ROUTINE)(DEVICE_OBJECT* device, void* context);
struct IO_WORKITEM;
IO_WORKITEM* IoAllocateWorkItem(DEVICE_OBJECT* device);
void IoFreeWorkItem(IO_WORKITEM* item);
void IoQueueWorkItem(IO_WORKITEM* item, PIO_WORKITEM_ROUTINE routine, void* context);

// Power manager.
typedef void (*PREQUEST_POWER_COMPLETE)(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE state, void* context,
                                        IO_STATUS_BLOCK* status);
NTSTATUS PoCallDriver(DEVICE_OBJECT* device, IRP* irp);
void PoStartNextPowerIrp(IRP* irp);
POWER_STATE PoSetPowerState(DEVICE_OBJECT* device, POWER_STATE_TYPE type, POWER_STATE state);
NTSTATUS PoRequestPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE complete,
                           void* context, IRP** irp);

// ---- the I/O manager as user mode reaches it (kernel's own) ----

// Opens a device by its user-mode name ("\\.\NAME", case-insensitive) through the
// symbolic links: sends IRP_MJ_CREATE to the top of the device's stack.
NTSTATUS IoOpenFile(const char* name, ULONG shareAccess, FILE_OBJECT** file);
// Cleanup, then (when the file's requests have all finished) close; frees the file.
void IoCloseFile(FILE_OBJECT* file);
// Builds and sends a read (IRP_MJ_READ), write or device control for a file. The
// IRP finishes through `finish` (from any thread); the returned status is the
// dispatch routine's. *irpOut gets the IRP with one reference held for the caller
// (drop it with IoDereferenceIrp), so that the caller can cancel it.
// Called when the last file of a device is closed (the PnP manager's hook).
void IoSetLastCloseHook(void (*hook)(DEVICE_OBJECT* device));
NTSTATUS IoSubmitFileRequest(FILE_OBJECT* file, UCHAR major, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, PIO_FINISH finish, void* context, IRP** irpOut);
