// The USB bus driver: one bus device object (PDO) per device on the bus, the
// request-block interface, and a bus thread per device that carries out its
// transfers one at a time and completes them (as completion at dispatch level).
#include <cstdio>
#include <mutex>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <thread>

#include "kernel/kernel_internal.h"
#include "kernel/usb.h"
#include "platform/clock.h"

thread_local bool t_kiOnBusThread = false;

namespace {

struct PipeRec {
    UCHAR endpoint;
    ULONG maxTransfer;
};

}  // namespace

struct KiBusSlot : UsbAbortSignal {
    bool used = false;
    UsbBusDevice* backend = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    std::thread thread;
    std::mutex lock;
    std::condition_variable cond;
    std::deque<IRP*> queue;
    IRP* current = nullptr;
    bool aborted = false;
    bool stop = false;
    bool gone = false;
    bool leaveReported = false;
    std::function<void()> abortHook;
    PipeRec pipes[32] = {};
    ULONG pipeCount = 0;

    // The unit's own delays (a slow transfer, one that never ends) run on the clock.
    // On a driven clock a unit that takes its time is time passing: it moves the
    // clock on a millisecond at a time, so that the host's time-out, which only
    // reads the clock, comes when it would have come had the unit taken that long.
    bool Wait(uint32_t ms) override {
        std::unique_lock<std::mutex> g(lock);
        const uint64_t deadline = ms == 0xFFFFFFFFu ? UINT64_MAX : ClockNow() + ms;
        for (;;) {
            if (aborted || stop) return false;
            if (ClockDriven()) {
                if (ClockNow() >= deadline) return true;
                ClockAdvance(1);
                cond.wait_for(g, std::chrono::microseconds(50));
                continue;
            }
            const int slice = ClockWaitSlice(deadline);
            if (slice == 0) return true;
            if (slice < 0) cond.wait(g);
            else cond.wait_for(g, std::chrono::milliseconds(slice));
        }
    }
    bool Aborted() override {
        std::lock_guard<std::mutex> g(lock);
        return aborted || stop;
    }
    void OnAbort(std::function<void()> hook) override {
        std::unique_lock<std::mutex> g(lock);
        if (aborted || stop) {
            g.unlock();
            if (hook) hook();
            return;
        }
        abortHook = std::move(hook);
    }
};

namespace {

// Not destroyed at exit: bus threads of a host that was not stopped still use them.
// Made at the first use, so a process (or a loaded library) that never reaches the bus
// holds none; given back by KiBusRelease once the host has stopped (library unload).
KiBusSlot* g_slots = nullptr;
std::mutex g_slotTable;
KiBusSlot* Slots() {
    static std::once_flag made;
    std::call_once(made, [] { g_slots = new KiBusSlot[kMaxBusDevices]; });
    return g_slots;
}

NTSTATUS StatusOf(UsbBusResult r, URB* urb) {
    switch (r) {
    case USB_BUS_OK: urb->UrbHeader.Status = USBD_STATUS_SUCCESS; return STATUS_SUCCESS;
    case USB_BUS_STALL: urb->UrbHeader.Status = USBD_STATUS_STALL_PID; return STATUS_IO_DEVICE_ERROR;
    case USB_BUS_GONE: urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE; return STATUS_DEVICE_NOT_CONNECTED;
    case USB_BUS_CANCELLED: urb->UrbHeader.Status = USBD_STATUS_CANCELED; return STATUS_CANCELLED;
    default: urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING; return STATUS_IO_DEVICE_ERROR;
    }
}

NTSTATUS SelectConfiguration(KiBusSlot* s, URB* urb) {
    URB_SELECT_CONFIGURATION& sel = urb->UrbSelectConfiguration;
    USB_CONFIGURATION_DESCRIPTOR* config = sel.ConfigurationDescriptor;
    if (!config) {
        s->pipeCount = 0;
        return StatusOf(s->backend->SetConfiguration(0), urb);
    }
    UsbBusResult r = s->backend->SetConfiguration(config->bConfigurationValue);
    if (r != USB_BUS_OK) return StatusOf(r, urb);
    s->pipeCount = 0;
    auto* p = reinterpret_cast<UCHAR*>(&sel.Interface);
    auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    while (p + sizeof(USBD_INTERFACE_INFORMATION) <= end) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(p);
        if (info->Length < sizeof(USBD_INTERFACE_INFORMATION)) break;
        USB_INTERFACE_DESCRIPTOR* id = USBD_ParseConfigurationDescriptorEx(config, config, info->InterfaceNumber,
                                                                           info->AlternateSetting, -1, -1, -1);
        if (!id || id->bNumEndpoints > info->NumberOfPipes) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->InterfaceHandle = info;
        info->NumberOfPipes = id->bNumEndpoints;
        UCHAR* walk = reinterpret_cast<UCHAR*>(id);
        for (ULONG k = 0; k < id->bNumEndpoints; ++k) {
            auto* ep = reinterpret_cast<USB_ENDPOINT_DESCRIPTOR*>(
                USBD_ParseDescriptors(config, config->wTotalLength, walk + walk[0], USB_ENDPOINT_DESCRIPTOR_TYPE));
            if (!ep || s->pipeCount >= 32) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
                return STATUS_INVALID_PARAMETER;
            }
            walk = reinterpret_cast<UCHAR*>(ep);
            USBD_PIPE_INFORMATION& pipe = info->Pipes[k];
            pipe.EndpointAddress = ep->bEndpointAddress;
            pipe.MaximumPacketSize = ep->wMaxPacketSize;
            pipe.Interval = ep->bInterval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & 3);
            PipeRec& rec = s->pipes[s->pipeCount++];
            rec.endpoint = ep->bEndpointAddress;
            rec.maxTransfer = pipe.MaximumTransferSize ? pipe.MaximumTransferSize : 4096;
            pipe.PipeHandle = &rec;
        }
        p += info->Length;
    }
    sel.ConfigurationHandle = s;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS Transfer(KiBusSlot* s, URB* urb) {
    URB_BULK_OR_INTERRUPT_TRANSFER& t = urb->UrbBulkOrInterruptTransfer;
    auto* rec = static_cast<PipeRec*>(t.PipeHandle);
    if (!rec || rec < s->pipes || rec >= s->pipes + s->pipeCount) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_PARAMETER;
    }
    bool in = USB_ENDPOINT_DIRECTION_IN(rec->endpoint);
    if (in != ((t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) || t.TransferBufferLength > rec->maxTransfer) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    void* buffer = t.TransferBuffer ? t.TransferBuffer : MmGetSystemAddressForMdlSafe(t.TransferBufferMDL);
    ULONG moved = 0;
    UsbBusResult r = s->backend->Transfer(rec->endpoint, buffer, t.TransferBufferLength, &moved, *s);
    ULONG asked = t.TransferBufferLength;
    t.TransferBufferLength = moved;
    NTSTATUS status = StatusOf(r, urb);
    if (NT_SUCCESS(status) && in && moved < asked && !(t.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
        urb->UrbHeader.Status = USBD_STATUS_BUFFER_TOO_SMALL;
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS RunUrb(KiBusSlot* s, URB* urb, bool gone) {
    if (gone) return StatusOf(USB_BUS_GONE, urb);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        URB_CONTROL_DESCRIPTOR_REQUEST& d = urb->UrbControlDescriptorRequest;
        ULONG moved = 0;
        UsbBusResult r = s->backend->GetDescriptor(d.DescriptorType, d.Index, d.LanguageId, d.TransferBuffer,
                                                   d.TransferBufferLength, &moved);
        d.TransferBufferLength = moved;
        return StatusOf(r, urb);
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(s, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return Transfer(s, urb);
    default: urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER; return STATUS_INVALID_PARAMETER;
    }
}

void CompleteUrbIrp(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp);
}

// Cancel routine of a transfer that waits on the bus or is running there.
void BusCancel(DEVICE_OBJECT* device, IRP* irp) {
    auto* s = static_cast<KiBusSlot*>(device->BusContext);
    bool dequeued = false;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(s->lock);
        for (auto it = s->queue.begin(); it != s->queue.end(); ++it)
            if (*it == irp) {
                s->queue.erase(it);
                dequeued = true;
                break;
            }
        if (!dequeued && s->current == irp) {
            s->aborted = true;
            hook = std::move(s->abortHook);
            s->abortHook = nullptr;
            s->cond.notify_all();
        }
    }
    IoReleaseCancelSpinLock(0);
    if (hook) hook();
    if (dequeued) {
        auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        CompleteUrbIrp(irp, STATUS_CANCELLED);
    }
}

void BusThread(KiBusSlot* s) {
    t_kiOnBusThread = true;
    for (;;) {
        IRP* irp;
        bool gone;  // set by the removal on another thread, so read under the lock
        {
            std::unique_lock<std::mutex> g(s->lock);
            s->cond.wait(g, [s] { return s->stop || !s->queue.empty(); });
            if (s->queue.empty()) return;
            irp = s->queue.front();
            s->queue.pop_front();
            s->current = irp;
            s->aborted = false;
            gone = s->gone;
        }
        auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        NTSTATUS status = RunUrb(s, urb, gone);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, nullptr);
        {
            std::lock_guard<std::mutex> g(s->lock);
            s->current = nullptr;
            s->abortHook = nullptr;
        }
        IoReleaseCancelSpinLock(irql);
        bool leave = status == STATUS_DEVICE_NOT_CONNECTED && !s->leaveReported && s->backend->LeavesOnGone();
        if (!leave) {
            CompleteUrbIrp(irp, status);
            continue;
        }
        // Queued before the failure shows, so that whoever sees it can wait for the removal,
        // but run after it: a surprise removal racing the completion would turn the
        // transfer's "device gone" into "cancelled".
        s->leaveReported = true;
        auto completed = std::make_shared<std::promise<void>>();
        std::shared_future<void> done = completed->get_future().share();
        KiBusLeaveAfter(static_cast<int>(s - Slots()), [done] { done.wait(); });
        CompleteUrbIrp(irp, status);
        completed->set_value();
    }
}

}  // namespace

NTSTATUS KiBusDispatch(DEVICE_OBJECT* device, IRP* irp) {
    auto* s = static_cast<KiBusSlot*>(device->BusContext);
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        auto* urb = static_cast<URB*>(sp->Parameters.Others.Argument1);
        IoMarkIrpPending(irp);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (IoIsIrpCancelled(irp)) {
            IoReleaseCancelSpinLock(irql);
            urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            CompleteUrbIrp(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        bool stopped;
        {
            std::lock_guard<std::mutex> g(s->lock);
            stopped = s->stop;
            if (!stopped) {
                IoSetCancelRoutine(irp, BusCancel);
                s->queue.push_back(irp);
                s->cond.notify_all();
            }
        }
        IoReleaseCancelSpinLock(irql);
        if (stopped) CompleteUrbIrp(irp, StatusOf(USB_BUS_GONE, urb));
        return STATUS_PENDING;
    }
    case IRP_MJ_PNP:
        switch (sp->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES: {
            DEVICE_CAPABILITIES* caps = sp->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = true;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int i = PowerSystemSleeping1; i < PowerSystemMaximum; ++i) caps->DeviceState[i] = PowerDeviceD3;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
        default: break;
        }
        break;
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_SYSTEM_CONTROL: break;
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp);
    return status;
}

int KiBusCreate(UsbBusDevice* backend, DRIVER_OBJECT* busDriver) {
    std::lock_guard<std::mutex> g(g_slotTable);
    for (int i = 0; i < kMaxBusDevices; ++i) {
        KiBusSlot* s = &Slots()[i];
        if (s->used) continue;
        char name[48];
        std::snprintf(name, sizeof name, "\\Device\\USBPDO-%d", i);
        DEVICE_OBJECT* pdo = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(busDriver, 0, name, 0x22, 0, false, &pdo))) return -1;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        pdo->BusContext = s;
        s->used = true;
        s->backend = backend;
        s->pdo = pdo;
        s->stop = false;
        s->gone = false;
        s->leaveReported = false;
        s->pipeCount = 0;
        s->queue.clear();
        s->thread = std::thread(BusThread, s);
        return i;
    }
    return -1;
}

void KiBusMarkGone(int id) {
    if (id < 0 || id >= kMaxBusDevices) return;
    std::lock_guard<std::mutex> g(Slots()[id].lock);
    Slots()[id].gone = true;
}

DEVICE_OBJECT* KiBusPdo(int id) {
    std::lock_guard<std::mutex> g(g_slotTable);
    return id >= 0 && id < kMaxBusDevices && Slots()[id].used ? Slots()[id].pdo : nullptr;
}

void KiBusDestroy(int id) {
    KiBusSlot* s = &Slots()[id];
    std::deque<IRP*> left;
    {
        std::lock_guard<std::mutex> g(s->lock);
        s->stop = true;
        left.swap(s->queue);
        s->cond.notify_all();
    }
    s->thread.join();
    for (IRP* irp : left) {
        if (!IoSetCancelRoutine(irp, nullptr)) continue;  // its cancel routine owns it
        auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        CompleteUrbIrp(irp, StatusOf(USB_BUS_GONE, urb));
    }
    std::lock_guard<std::mutex> g(g_slotTable);
    IoDeleteDevice(s->pdo);
    delete s->backend;
    s->backend = nullptr;
    s->pdo = nullptr;
    s->used = false;
}

// ---- request-block helpers ----

void UsbBuildGetDescriptorRequest(URB* urb, USHORT length, UCHAR type, UCHAR index, USHORT language, void* buffer,
                                  MDL* mdl, ULONG bufferLength, URB*) {
    std::memset(static_cast<void*>(urb), 0, length);
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbControlDescriptorRequest.TransferBuffer = buffer ? buffer : MmGetSystemAddressForMdlSafe(mdl);
    urb->UrbControlDescriptorRequest.TransferBufferLength = bufferLength;
    urb->UrbControlDescriptorRequest.DescriptorType = type;
    urb->UrbControlDescriptorRequest.Index = index;
    urb->UrbControlDescriptorRequest.LanguageId = language;
}

void UsbBuildInterruptOrBulkTransferRequest(URB* urb, USHORT length, USBD_PIPE_HANDLE pipe, void* buffer, MDL* mdl,
                                            ULONG bufferLength, ULONG flags, URB*) {
    std::memset(static_cast<void*>(urb), 0, length);
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = flags;
}

void UsbBuildSelectConfigurationRequest(URB* urb, USHORT length, USB_CONFIGURATION_DESCRIPTOR* config) {
    std::memset(static_cast<void*>(urb), 0, length);
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
}

USB_COMMON_DESCRIPTOR* USBD_ParseDescriptors(void* buffer, ULONG length, void* start, LONG type) {
    auto* p = static_cast<UCHAR*>(start);
    auto* end = static_cast<UCHAR*>(buffer) + length;
    while (p + 2 <= end) {
        auto* d = reinterpret_cast<USB_COMMON_DESCRIPTOR*>(p);
        if (d->bLength < 2 || p + d->bLength > end) return nullptr;  // malformed: stop
        if (type == -1 || d->bDescriptorType == type) return d;
        p += d->bLength;
    }
    return nullptr;
}

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(USB_CONFIGURATION_DESCRIPTOR* config, void* start,
                                                              LONG number, LONG alternate, LONG cls, LONG subClass,
                                                              LONG protocol) {
    auto* p = static_cast<UCHAR*>(start);
    for (;;) {
        auto* d = reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(
            USBD_ParseDescriptors(config, config->wTotalLength, p, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (!d) return nullptr;
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && (number == -1 || d->bInterfaceNumber == number) &&
            (alternate == -1 || d->bAlternateSetting == alternate) && (cls == -1 || d->bInterfaceClass == cls) &&
            (subClass == -1 || d->bInterfaceSubClass == subClass) &&
            (protocol == -1 || d->bInterfaceProtocol == protocol))
            return d;
        p = reinterpret_cast<UCHAR*>(d) + d->bLength;
    }
}

URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* config, USBD_INTERFACE_LIST_ENTRY* list) {
    size_t size = offsetof(URB_SELECT_CONFIGURATION, Interface);
    for (USBD_INTERFACE_LIST_ENTRY* e = list; e->InterfaceDescriptor; ++e)
        size += UsbdInterfaceInformationSize(e->InterfaceDescriptor->bNumEndpoints);
    if (size < sizeof(URB)) size = sizeof(URB);
    if (size > 0xFFFF) return nullptr;
    auto* urb = static_cast<URB*>(ExAllocatePool(size));
    if (!urb) return nullptr;
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), config);
    auto* p = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (USBD_INTERFACE_LIST_ENTRY* e = list; e->InterfaceDescriptor; ++e) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(p);
        ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(UsbdInterfaceInformationSize(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG k = 0; k < pipes; ++k) info->Pipes[k].MaximumTransferSize = 4096;
        e->Interface = info;
        p += info->Length;
    }
    return urb;
}

bool KiBusRelease() {
    std::lock_guard<std::mutex> g(g_slotTable);
    if (g_slots == nullptr) return true;
    for (int i = 0; i < kMaxBusDevices; ++i)
        if (g_slots[i].used) return false;
    delete[] g_slots;
    // Left null: a library being unloaded never makes them again.
    g_slots = nullptr;
    return true;
}
