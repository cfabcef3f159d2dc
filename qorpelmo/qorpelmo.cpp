// The qorpelmo driver's own routines: entry, devices, request dispatch with its
// parameter checks, the one-at-a-time queue and the mapping onto pipes.
#include "qorpelmo/qorpelmo.h"

#include <cstdio>

static QORPELMO_EXTENSION* Ext(DEVICE_OBJECT* device) {
    return static_cast<QORPELMO_EXTENSION*>(device->DeviceExtension);
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, const char* registryPath) {
    NTSTATUS s = WkDrvInitializePnpDriver(driver, registryPath);
    if (!NT_SUCCESS(s)) return s;
    driver->DriverExtension->AddDevice = QorpelmoAddDevice;
    driver->MajorFunction[IRP_MJ_READ] = QorpelmoDriverDispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = QorpelmoDriverDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QorpelmoDriverDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = QorpelmoCleanup;
    driver->DriverStartIo = QorpelmoStartIo;
    driver->DriverUnload = QorpelmoUnload;
    return STATUS_SUCCESS;
}

void QorpelmoUnload(DRIVER_OBJECT* driver) { WkDrvFreePnpDriver(driver); }

NTSTATUS QorpelmoAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    for (ULONG n = 0; n < QORPELMO_MAX_DEVICES; ++n) {
        DEVICE_OBJECT* device = nullptr;
        NTSTATUS s = QorpelmoCreateDevice(driver, pdo, n, &device);
        if (NT_SUCCESS(s)) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            return STATUS_SUCCESS;
        }
        if (device) QorpelmoDeleteDevice(device);
    }
    // Ten units already have devices: this one gets none, and that is not an error.
    return STATUS_SUCCESS;
}

NTSTATUS QorpelmoCreateDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo, ULONG number, DEVICE_OBJECT** out) {
    char name[48];
    std::snprintf(name, sizeof name, "\\Device\\Qorpelmo%u", number);
    *out = nullptr;
    DEVICE_OBJECT* device = nullptr;
    NTSTATUS s = IoCreateDevice(driver, sizeof(QORPELMO_EXTENSION), name, QORPELMO_DEVICE_TYPE, 0, false, &device);
    if (!NT_SUCCESS(s)) return s;
    *out = device;
    QORPELMO_EXTENSION* ext = Ext(device);
    *ext = QORPELMO_EXTENSION{};
    ext->Number = number;
    s = WkUsbDevInitialize(&ext->Usb, device, pdo);
    if (!NT_SUCCESS(s)) return s;
    // The unit stays powered while the system works; system sleep takes it down.
    ext->Usb.Dev.IdlePowerDown = false;
    ext->Usb.Dev.SystemPowerFollows = true;
    s = IoCreateSymbolicLink(ext->Usb.Dev.LinkName, ext->Usb.Dev.DeviceName);
    if (!NT_SUCCESS(s)) return s;
    ext->Usb.Dev.LinkCreated = true;
    return STATUS_SUCCESS;
}

void QorpelmoDeleteDevice(DEVICE_OBJECT* device) {
    QORPELMO_EXTENSION* ext = Ext(device);
    if (ext->Usb.Dev.LinkCreated) {
        IoDeleteSymbolicLink(ext->Usb.Dev.LinkName);
        ext->Usb.Dev.LinkCreated = false;
    }
    WkUsbDevFree(&ext->Usb);
    IoDeleteDevice(device);
}

bool SendCmdCheckParameters(IO_STACK_LOCATION* sp) {
    return sp->Parameters.DeviceIoControl.InputBufferLength == QORPELMO_COMMAND_LENGTH &&
           sp->Parameters.DeviceIoControl.OutputBufferLength == 0;
}

bool RecvRspCheckParameters(IO_STACK_LOCATION* sp) {
    return sp->Parameters.DeviceIoControl.InputBufferLength == 0 &&
           sp->Parameters.DeviceIoControl.OutputBufferLength == QORPELMO_ANSWER_LENGTH;
}

static NTSTATUS Queue(DEVICE_OBJECT* device, IRP* irp) {
    WkIrqStartPacket(device, irp, QorpelmoIrpCancelCallback);
    return STATUS_PENDING;
}

NTSTATUS QorpelmoDriverDispatch(DEVICE_OBJECT* device, IRP* irp) {
    NTSTATUS s = WkPnpIrpPrologue(device, irp);
    if (s != STATUS_SUCCESS) return s;
    irp->IoStatus.Information = 0;
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        ULONG length = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length : sp->Parameters.Write.Length;
        if (length == 0) return WkPnpCompleteIrp(device, irp, STATUS_INVALID_PARAMETER);
        return Queue(device, irp);
    }
    case IRP_MJ_DEVICE_CONTROL:
        switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_QORPELMO_SEND_CMD:
            if (!SendCmdCheckParameters(sp)) return WkPnpCompleteIrp(device, irp, STATUS_INVALID_PARAMETER);
            return Queue(device, irp);
        case IOCTL_QORPELMO_RECV_RSP:
            if (!RecvRspCheckParameters(sp)) return WkPnpCompleteIrp(device, irp, STATUS_INVALID_PARAMETER);
            return Queue(device, irp);
        case IOCTL_QORPELMO_GET_PACKET_SIZE: {
            if (sp->Parameters.DeviceIoControl.InputBufferLength != 0 ||
                sp->Parameters.DeviceIoControl.OutputBufferLength != 1)
                return WkPnpCompleteIrp(device, irp, STATUS_INVALID_PARAMETER);
            USB_ENDPOINT_DESCRIPTOR* ep = WkUsbGetEndpointDescriptor(&Ext(device)->Usb, QORPELMO_PIPE_BULK_OUT);
            if (!ep) return WkPnpCompleteIrp(device, irp, STATUS_INVALID_DEVICE_STATE);
            *static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer) = static_cast<UCHAR>(ep->wMaxPacketSize & 0xFF);
            irp->IoStatus.Information = 1;
            return WkPnpCompleteIrp(device, irp, STATUS_SUCCESS);
        }
        default: return WkPnpCompleteIrp(device, irp, STATUS_NOT_IMPLEMENTED);
        }
    default: return WkPnpCompleteIrp(device, irp, STATUS_NOT_IMPLEMENTED);
    }
}

static NTSTATUS StartTransfer(DEVICE_OBJECT* device, IRP* irp, void* buffer, ULONG length, ULONG pipe) {
    return WkUsbAsynchronousBulkTransfer(&Ext(device)->Usb, buffer, length, pipe, irp, QorpelmoDeviceIoCompletion);
}

NTSTATUS QorpelmoReadFile(DEVICE_OBJECT* device, IRP* irp) {
    QORPELMO_EXTENSION* ext = Ext(device);
    ext->ReadVa = MmGetSystemAddressForMdlSafe(irp->MdlAddress);
    if (!ext->ReadVa) return STATUS_INSUFFICIENT_RESOURCES;
    return StartTransfer(device, irp, ext->ReadVa, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length,
                         QORPELMO_PIPE_BULK_IN);
}

NTSTATUS QorpelmoWriteFile(DEVICE_OBJECT* device, IRP* irp) {
    QORPELMO_EXTENSION* ext = Ext(device);
    ext->WriteVa = MmGetSystemAddressForMdlSafe(irp->MdlAddress);
    if (!ext->WriteVa) return STATUS_INSUFFICIENT_RESOURCES;
    return StartTransfer(device, irp, ext->WriteVa, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length,
                         QORPELMO_PIPE_BULK_OUT);
}

NTSTATUS QorpelmoIoctlSendCmd(DEVICE_OBJECT* device, IRP* irp) {
    return StartTransfer(device, irp, irp->AssociatedIrp.SystemBuffer,
                         IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength,
                         QORPELMO_PIPE_COMMAND);
}

NTSTATUS QorpelmoIoctlRecvRsp(DEVICE_OBJECT* device, IRP* irp) {
    return StartTransfer(device, irp, irp->AssociatedIrp.SystemBuffer,
                         IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength,
                         QORPELMO_PIPE_ANSWER);
}

void QorpelmoStartIo(DEVICE_OBJECT* device, IRP* irp) {
    // Cancelled meanwhile: its cancel routine owns it and completes it.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp != device->CurrentIrp || !IoSetCancelRoutine(irp, nullptr)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    IoReleaseCancelSpinLock(irql);
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS s;
    if (sp->MajorFunction == IRP_MJ_READ) s = QorpelmoReadFile(device, irp);
    else if (sp->MajorFunction == IRP_MJ_WRITE) s = QorpelmoWriteFile(device, irp);
    else if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_QORPELMO_SEND_CMD)
        s = QorpelmoIoctlSendCmd(device, irp);
    else s = QorpelmoIoctlRecvRsp(device, irp);
    if (s != STATUS_PENDING) {
        irp->IoStatus.Information = 0;
        WkIrqCompleteIrpAndStartNext(device, irp, s);
    }
}

NTSTATUS QorpelmoDeviceIoCompletion(DEVICE_OBJECT* device, IRP* irp, void* context) {
    auto* urb = static_cast<URB*>(context);
    QORPELMO_EXTENSION* ext = Ext(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (IoIsIrpCancelled(irp)) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
    } else if (NT_SUCCESS(irp->IoStatus.Status)) {
        irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else {
        irp->IoStatus.Information = 0;
    }
    ExFreeToNPagedLookasideList(&ext->Usb.UrbPool, urb);
    WkIrqStartNextPacket(device);
    WkPnpDecrementRequestCount(&ext->Usb.Dev);
    return STATUS_SUCCESS;
}

void QorpelmoIrpCancelCallback(DEVICE_OBJECT* device, IRP* irp) {
    irp->IoStatus.Information = 0;
    if (irp == device->CurrentIrp) {
        IoReleaseCancelSpinLock(0);
        WkIrqCompleteIrpAndStartNext(device, irp, STATUS_CANCELLED);
        return;
    }
    KeRemoveEntryDeviceQueue(&device->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry);
    IoReleaseCancelSpinLock(0);
    WkPnpCompleteIrp(device, irp, STATUS_CANCELLED);
}

NTSTATUS QorpelmoCleanup(DEVICE_OBJECT* device, IRP* irp) {
    WkIrqFlushQueue(device, IoGetCurrentIrpStackLocation(irp)->FileObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp);
    return STATUS_SUCCESS;
}
