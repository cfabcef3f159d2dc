// The I/O manager part of the kernel layer: objects, names, IRPs, completion,
// cancellation, the device queue, and user-mode files.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kernel/kernel_internal.h"
#include "kernel/wdm.h"

namespace {

std::mutex g_cancelLock;
std::recursive_mutex g_objectLock;  // names, links, stacks, driver device lists

constexpr int kMaxNames = 64;
struct NameEntry {
    char name[96];
    DEVICE_OBJECT* device;
};
struct LinkEntry {
    char link[96];
    char target[96];
};
NameEntry g_names[kMaxNames];
LinkEntry g_links[kMaxNames];

std::mutex g_fileLock;  // file pending counts
std::condition_variable g_fileCond;

UCHAR g_wdmMajor = 1, g_wdmMinor = 0x10;
void (*g_lastCloseHook)(DEVICE_OBJECT*) = nullptr;

[[noreturn]] void BugCheck(const char* what) {
    std::fprintf(stderr, "kernel bug check: %s\n", what);
    std::abort();
}

void FreeDeviceMemory(DEVICE_OBJECT* d) {
    ExFreePool(d->DeviceExtension);
    ExFreePool(d);
}

}  // namespace

// ---- stack locations ----

IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) { return &irp->Stack[irp->CurrentLocation - 1]; }
IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) {
    if (irp->CurrentLocation < 2) BugCheck("no stack location left");
    return &irp->Stack[irp->CurrentLocation - 2];
}
void IoSkipCurrentIrpStackLocation(IRP* irp) { ++irp->CurrentLocation; }
void IoCopyCurrentIrpStackLocationToNext(IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    std::memcpy(static_cast<void*>(next), sp, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
void IoMarkIrpPending(IRP* irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, void* context, bool onSuccess, bool onError,
                            bool onCancel) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError) next->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

IRP* IoAllocateIrp(char stackSize) {
    if (stackSize < 1 || stackSize > kMaxStack) return nullptr;
    auto* irp = static_cast<IRP*>(ExAllocatePool(sizeof(IRP)));
    if (!irp) return nullptr;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<char>(stackSize + 1);
    irp->References = 1;
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    return irp;
}
void IoReferenceIrp(IRP* irp) { InterlockedIncrement(&irp->References); }
void IoDereferenceIrp(IRP* irp) {
    if (InterlockedDecrement(&irp->References) == 0) ExFreePool(irp);
}
void IoFreeIrp(IRP* irp) { IoDereferenceIrp(irp); }

NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp) {
    if (irp->CurrentLocation <= 1) BugCheck("IoCallDriver without a stack location");
    --irp->CurrentLocation;
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    sp->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[sp->MajorFunction];
    if (!dispatch) BugCheck("no dispatch routine");
    return dispatch(device, irp);
}

// Runs when completion has walked past the top stack location.
static void IopFinishIrp(IRP* irp) {
    if (__atomic_exchange_n(&irp->Completed, true, __ATOMIC_SEQ_CST)) BugCheck("IRP completed twice");
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PIO_FINISH finish = irp->Finish;
    KEVENT* event = irp->UserEvent;
    if (finish) finish(irp, irp->FinishContext);
    if (event) KeSetEvent(event);
    IoDereferenceIrp(irp);
}

void IoCompleteRequest(IRP* irp, char) {
    if (irp->IoStatus.Status == STATUS_PENDING) BugCheck("IRP completed with STATUS_PENDING");
    if (irp->Completed || irp->CurrentLocation > irp->StackCount) BugCheck("IRP completed twice");
    for (;;) {
        IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        ++irp->CurrentLocation;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        void* context = sp->Context;
        UCHAR control = sp->Control;
        sp->CompletionRoutine = nullptr;
        sp->Control = 0;
        bool top = irp->CurrentLocation > irp->StackCount;
        DEVICE_OBJECT* upper = top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        NTSTATUS s = irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(s) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(s) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (IoIsIrpCancelled(irp) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (routine(upper, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && !top) {
            IoMarkIrpPending(irp);
        }
        if (top) break;
    }
    if (irp->Finish || irp->UserEvent || irp->UserIosb) IopFinishIrp(irp);
}

bool IoCancelIrp(IRP* irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, true, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine) {
        routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);  // releases the lock
        return true;
    }
    IoReleaseCancelSpinLock(irql);
    return false;
}

void IoAcquireCancelSpinLock(KIRQL* irql) {
    g_cancelLock.lock();
    *irql = 0;
}
void IoReleaseCancelSpinLock(KIRQL) { g_cancelLock.unlock(); }

// ---- device queue ----

void KeInitializeDeviceQueue(KDEVICE_QUEUE* q) {
    InitializeListHead(&q->DeviceListHead);
    q->Busy = false;
}
bool KeInsertDeviceQueue(KDEVICE_QUEUE* q, KDEVICE_QUEUE_ENTRY* e) {
    if (!q->Busy) {
        q->Busy = true;
        e->Inserted = false;
        return false;
    }
    InsertTailList(&q->DeviceListHead, &e->DeviceListEntry);
    e->Inserted = true;
    return true;
}
KDEVICE_QUEUE_ENTRY* KeRemoveDeviceQueue(KDEVICE_QUEUE* q) {
    LIST_ENTRY* l = RemoveHeadList(&q->DeviceListHead);
    if (!l) {
        q->Busy = false;
        return nullptr;
    }
    auto* e = CONTAINING_RECORD(l, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    e->Inserted = false;
    return e;
}
bool KeRemoveEntryDeviceQueue(KDEVICE_QUEUE*, KDEVICE_QUEUE_ENTRY* e) {
    if (!e->Inserted) return false;
    RemoveEntryList(&e->DeviceListEntry);
    e->Inserted = false;
    return true;
}

namespace {
// StartIo runs once at a time per thread and device: a request that finishes inside
// StartIo (or inside the completion it triggers) asks for the next one, and the
// outer StartIo loop starts it, instead of recursing once per queued request.
// The request handed to StartIo is referenced from the moment it is taken off the
// queue until StartIo returns: between the two another thread may cancel and
// complete it, and its memory must not come back as a new request that StartIo
// would take for its own (and send down the stack a second time).
thread_local DEVICE_OBJECT* t_startIoDevice = nullptr;
thread_local bool t_nextWanted = false;

IRP* DequeueNext(DEVICE_OBJECT* d) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    d->CurrentIrp = nullptr;
    KDEVICE_QUEUE_ENTRY* e = KeRemoveDeviceQueue(&d->DeviceQueue);
    IRP* irp = e ? CONTAINING_RECORD(e, IRP, Tail.Overlay.DeviceQueueEntry) : nullptr;
    d->CurrentIrp = irp;
    if (irp) IoReferenceIrp(irp);
    IoReleaseCancelSpinLock(irql);
    return irp;
}

void RunStartIo(DEVICE_OBJECT* d, IRP* irp) {
    DEVICE_OBJECT* savedDevice = t_startIoDevice;
    bool savedWanted = t_nextWanted;
    t_startIoDevice = d;
    t_nextWanted = false;
    d->DriverObject->DriverStartIo(d, irp);
    IoDereferenceIrp(irp);
    while (t_nextWanted) {
        t_nextWanted = false;
        IRP* next = DequeueNext(d);
        if (!next) break;
        d->DriverObject->DriverStartIo(d, next);
        IoDereferenceIrp(next);
    }
    t_startIoDevice = savedDevice;
    t_nextWanted = savedWanted;
}
}  // namespace

void IoStartPacket(DEVICE_OBJECT* d, IRP* irp, ULONG*, PDRIVER_CANCEL cancel) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (cancel) IoSetCancelRoutine(irp, cancel);
    bool queued = KeInsertDeviceQueue(&d->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry);
    if (!queued) {
        d->CurrentIrp = irp;
        IoReferenceIrp(irp);  // for RunStartIo
    }
    // Cancelled before its cancel routine was in place: nobody else will cancel it now.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && cancel) {
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        if (routine) {
            routine(d, irp);  // releases the lock
            if (!queued) IoDereferenceIrp(irp);
            return;
        }
    }
    IoReleaseCancelSpinLock(irql);
    if (!queued) RunStartIo(d, irp);
}

void IoStartNextPacket(DEVICE_OBJECT* d, bool) {
    if (t_startIoDevice == d) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        d->CurrentIrp = nullptr;
        IoReleaseCancelSpinLock(irql);
        t_nextWanted = true;
        return;
    }
    IRP* next = DequeueNext(d);
    if (next) RunStartIo(d, next);
}

// ---- devices, names and links ----

static NameEntry* FindName(const char* name) {
    for (auto& n : g_names)
        if (n.device && strcasecmp(n.name, name) == 0) return &n;
    return nullptr;
}

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extensionSize, const char* name, ULONG type, ULONG characteristics,
                        bool, DEVICE_OBJECT** out) {
    std::lock_guard<std::recursive_mutex> g(g_objectLock);
    *out = nullptr;
    NameEntry* slot = nullptr;
    if (name && *name) {
        if (std::strlen(name) >= sizeof slot->name) return STATUS_INVALID_PARAMETER;
        if (FindName(name)) return STATUS_OBJECT_NAME_COLLISION;
        for (auto& n : g_names)
            if (!n.device) {
                slot = &n;
                break;
            }
        if (!slot) return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* d = static_cast<DEVICE_OBJECT*>(ExAllocatePool(sizeof(DEVICE_OBJECT)));
    if (!d) return STATUS_INSUFFICIENT_RESOURCES;
    d->DeviceExtension = ExAllocatePool(extensionSize);
    if (!d->DeviceExtension) {
        ExFreePool(d);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    d->DriverObject = driver;
    d->DeviceType = type;
    d->Characteristics = characteristics;
    d->StackSize = 1;
    d->Flags = DO_DEVICE_INITIALIZING;
    KeInitializeDeviceQueue(&d->DeviceQueue);
    if (slot) {
        std::snprintf(d->Name, sizeof d->Name, "%s", name);
        std::snprintf(slot->name, sizeof slot->name, "%s", name);
        slot->device = d;
    }
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
    *out = d;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(DEVICE_OBJECT* d) {
    bool freeNow;
    {
        std::lock_guard<std::recursive_mutex> g(g_objectLock);
        for (auto& n : g_names)
            if (n.device == d) n.device = nullptr;
        for (DEVICE_OBJECT** p = &d->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice)
            if (*p == d) {
                *p = d->NextDevice;
                break;
            }
        d->DeletePending = true;
        freeNow = InterlockedRead(&d->PointerCount) == 0;
    }
    if (freeNow) FreeDeviceMemory(d);
}

void ObReferenceObject(DEVICE_OBJECT* d) { InterlockedIncrement(&d->PointerCount); }
void ObDereferenceObject(DEVICE_OBJECT* d) {
    std::unique_lock<std::recursive_mutex> g(g_objectLock);
    if (InterlockedDecrement(&d->PointerCount) == 0 && d->DeletePending) {
        g.unlock();
        FreeDeviceMemory(d);
    }
}

NTSTATUS IoCreateSymbolicLink(const char* link, const char* target) {
    std::lock_guard<std::recursive_mutex> g(g_objectLock);
    if (std::strlen(link) >= sizeof g_links[0].link || std::strlen(target) >= sizeof g_links[0].target)
        return STATUS_INVALID_PARAMETER;
    for (auto& l : g_links)
        if (l.link[0] && strcasecmp(l.link, link) == 0) return STATUS_OBJECT_NAME_COLLISION;
    for (auto& l : g_links)
        if (!l.link[0]) {
            std::snprintf(l.link, sizeof l.link, "%s", link);
            std::snprintf(l.target, sizeof l.target, "%s", target);
            return STATUS_SUCCESS;
        }
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS IoDeleteSymbolicLink(const char* link) {
    std::lock_guard<std::recursive_mutex> g(g_objectLock);
    for (auto& l : g_links)
        if (l.link[0] && strcasecmp(l.link, link) == 0) {
            l.link[0] = 0;
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

DEVICE_OBJECT* IoGetAttachedDevice(DEVICE_OBJECT* d) {
    std::lock_guard<std::recursive_mutex> g(g_objectLock);
    while (d->AttachedDevice) d = d->AttachedDevice;
    return d;
}

DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* source, DEVICE_OBJECT* target) {
    std::lock_guard<std::recursive_mutex> g(g_objectLock);
    DEVICE_OBJECT* top = IoGetAttachedDevice(target);
    if (top->StackSize + 1 > kMaxStack) return nullptr;
    top->AttachedDevice = source;
    source->LowerDevice = top;
    source->StackSize = static_cast<char>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(DEVICE_OBJECT* target) {
    std::lock_guard<std::recursive_mutex> g(g_objectLock);
    if (target->AttachedDevice) target->AttachedDevice->LowerDevice = nullptr;
    target->AttachedDevice = nullptr;
}

NTSTATUS IoAllocateDriverObjectExtension(DRIVER_OBJECT* driver, void* id, ULONG size, void** extension) {
    *extension = nullptr;
    if (driver->ClientExtension) return STATUS_OBJECT_NAME_COLLISION;
    driver->ClientExtension = ExAllocatePool(size);
    if (!driver->ClientExtension) return STATUS_INSUFFICIENT_RESOURCES;
    driver->ClientId = id;
    *extension = driver->ClientExtension;
    return STATUS_SUCCESS;
}
void* IoGetDriverObjectExtension(DRIVER_OBJECT* driver, void* id) {
    return driver->ClientId == id ? driver->ClientExtension : nullptr;
}

bool IoIsWdmVersionAvailable(UCHAR major, UCHAR minor) {
    return g_wdmMajor > major || (g_wdmMajor == major && g_wdmMinor >= minor);
}
void KeSetWdmVersion(UCHAR major, UCHAR minor) {
    g_wdmMajor = major;
    g_wdmMinor = minor;
}

void* MmGetSystemAddressForMdlSafe(MDL* mdl) { return mdl ? mdl->Address : nullptr; }
ULONG MmGetMdlByteCount(MDL* mdl) { return mdl ? mdl->Length : 0; }

IRP* IoBuildDeviceIoControlRequest(ULONG code, DEVICE_OBJECT* device, void* in, ULONG inLength, void* out,
                                   ULONG outLength, bool internal, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    IRP* irp = IoAllocateIrp(device->StackSize);
    if (!irp) return nullptr;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
    irp->UserBuffer = out;
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    return irp;
}

// ---- files: the I/O manager as user mode reaches it ----

void IoSetLastCloseHook(void (*hook)(DEVICE_OBJECT*)) { g_lastCloseHook = hook; }

NTSTATUS KiSendAndWait(DEVICE_OBJECT* top, IRP* irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, false);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    IoReferenceIrp(irp);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done);  // also after a synchronous completion: it signals the event
    IoDereferenceIrp(irp);
    KeUninitializeEvent(&done);
    return iosb.Status;
}

static IRP* FileIrp(FILE_OBJECT* file, DEVICE_OBJECT* top, UCHAR major) {
    IRP* irp = IoAllocateIrp(top->StackSize);
    if (!irp) return nullptr;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = file;
    return irp;
}

NTSTATUS IoOpenFile(const char* name, ULONG shareAccess, FILE_OBJECT** out) {
    *out = nullptr;
    const char* rest = name;
    if (std::strncmp(rest, "\\\\.\\", 4) == 0 || std::strncmp(rest, "\\??\\", 4) == 0) rest += 4;
    char link[128];
    std::snprintf(link, sizeof link, "\\DosDevices\\%s", rest);
    DEVICE_OBJECT* device = nullptr;
    {
        std::lock_guard<std::recursive_mutex> g(g_objectLock);
        for (auto& l : g_links)
            if (l.link[0] && strcasecmp(l.link, link) == 0) {
                NameEntry* n = FindName(l.target);
                if (n) device = n->device;
            }
        if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
        ObReferenceObject(device);
    }
    auto* file = static_cast<FILE_OBJECT*>(ExAllocatePool(sizeof(FILE_OBJECT)));
    DEVICE_OBJECT* top = IoGetAttachedDevice(device);
    IRP* irp = file ? FileIrp(file, top, IRP_MJ_CREATE) : nullptr;
    if (!irp) {
        ExFreePool(file);
        ObDereferenceObject(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->DeviceObject = device;
    IoGetNextIrpStackLocation(irp)->Parameters.Create.ShareAccess = shareAccess;
    IoGetNextIrpStackLocation(irp)->Parameters.Create.DesiredAccess = 3;
    InterlockedIncrement(&device->ReferenceCount);
    NTSTATUS s = KiSendAndWait(top, irp);
    if (!NT_SUCCESS(s)) {
        InterlockedDecrement(&device->ReferenceCount);
        ExFreePool(file);
        ObDereferenceObject(device);
        return s;
    }
    *out = file;
    return STATUS_SUCCESS;
}

void IoCloseFile(FILE_OBJECT* file) {
    DEVICE_OBJECT* device = file->DeviceObject;
    DEVICE_OBJECT* top = IoGetAttachedDevice(device);
    if (IRP* irp = FileIrp(file, top, IRP_MJ_CLEANUP)) KiSendAndWait(top, irp);
    {
        std::unique_lock<std::mutex> g(g_fileLock);
        g_fileCond.wait(g, [file] { return InterlockedRead(&file->PendingRequests) == 0; });
    }
    if (IRP* irp = FileIrp(file, top, IRP_MJ_CLOSE)) KiSendAndWait(top, irp);
    bool last = InterlockedDecrement(&device->ReferenceCount) == 0;
    if (last && g_lastCloseHook) g_lastCloseHook(device);
    ObDereferenceObject(device);
    ExFreePool(file);
}

static void FileFinish(IRP* irp, void*) {
    if (irp->OwnsSystemBuffer) {
        if (NT_SUCCESS(irp->IoStatus.Status) && irp->UserOut) {
            ULONG n = static_cast<ULONG>(irp->IoStatus.Information);
            if (n > irp->UserOutLength) n = irp->UserOutLength;
            std::memcpy(irp->UserOut, irp->AssociatedIrp.SystemBuffer, n);
        }
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (irp->ClientFinish) irp->ClientFinish(irp, irp->ClientContext);
    FILE_OBJECT* file = irp->OriginalFileObject;
    std::lock_guard<std::mutex> g(g_fileLock);
    InterlockedDecrement(&file->PendingRequests);
    g_fileCond.notify_all();
}

NTSTATUS IoSubmitFileRequest(FILE_OBJECT* file, UCHAR major, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, PIO_FINISH finish, void* context, IRP** irpOut) {
    *irpOut = nullptr;
    DEVICE_OBJECT* top = IoGetAttachedDevice(file->DeviceObject);
    IRP* irp = FileIrp(file, top, major);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        irp->Mdl.Address = major == IRP_MJ_READ ? out : const_cast<void*>(in);
        irp->Mdl.Length = major == IRP_MJ_READ ? outLength : inLength;
        irp->MdlAddress = &irp->Mdl;
        irp->UserBuffer = irp->Mdl.Address;
        if (major == IRP_MJ_READ) sp->Parameters.Read.Length = outLength;
        else sp->Parameters.Write.Length = inLength;
    } else {
        // Buffered control: one system buffer for input and output.
        ULONG size = inLength > outLength ? inLength : outLength;
        if (size) {
            irp->AssociatedIrp.SystemBuffer = ExAllocatePool(size);
            if (!irp->AssociatedIrp.SystemBuffer) {
                IoFreeIrp(irp);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            if (in && inLength) std::memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
            irp->OwnsSystemBuffer = true;
        }
        irp->UserOut = out;
        irp->UserOutLength = outLength;
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    }
    irp->OriginalFileObject = file;
    irp->Finish = FileFinish;
    irp->ClientFinish = finish;
    irp->ClientContext = context;
    InterlockedIncrement(&file->PendingRequests);
    IoReferenceIrp(irp);  // the caller's
    *irpOut = irp;
    return IoCallDriver(top, irp);
}
