// Framework, USB part: configuration at start, endpoint lookup, request blocks,
// asynchronous bulk transfers.
#include <cstring>

#include "qorpelmo/framework/wk.h"

static void UsbPowerDown(DEVICE_OBJECT*) {}
static void UsbPowerUp(DEVICE_OBJECT*) {}

NTSTATUS WkUsbDevInitialize(WK_USB_DEVICE* usb, DEVICE_OBJECT* device, DEVICE_OBJECT* pdo) {
    NTSTATUS s = WkDevInitialize(&usb->Dev, device, pdo);
    if (!NT_SUCCESS(s)) return s;
    std::memset(&usb->DeviceDescriptor, 0, sizeof usb->DeviceDescriptor);
    usb->ConfigurationDescriptor = nullptr;
    usb->InterfaceInformation = nullptr;
    usb->ConfigurationHandle = nullptr;
    usb->SurpriseRemovalOK = false;
    // Every block taken from the pool is a full URB, the largest kind used here.
    ExInitializeNPagedLookasideList(&usb->UrbPool, sizeof(URB), 16);
    usb->UrbPoolReady = true;
    usb->Dev.PowerDownHandler = UsbPowerDown;
    usb->Dev.PowerUpHandler = UsbPowerUp;
    return STATUS_SUCCESS;
}

void WkUsbDevFree(WK_USB_DEVICE* usb) {
    ExFreePool(usb->InterfaceInformation);
    usb->InterfaceInformation = nullptr;
    ExFreePool(usb->ConfigurationDescriptor);
    usb->ConfigurationDescriptor = nullptr;
    if (usb->UrbPoolReady) {
        ExDeleteNPagedLookasideList(&usb->UrbPool);
        usb->UrbPoolReady = false;
    }
    WkDevFree(&usb->Dev);
}

NTSTATUS WkUsbSubmitUrb(WK_USB_DEVICE* usb, URB* urb, IRP* irp, PIO_COMPLETION_ROUTINE completion, void* context) {
    WK_DEVICE* wk = &usb->Dev;
    if (irp) {
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, completion, context, true, true, true);
        IoCallDriver(wk->LowerDevice, irp);
        return STATUS_PENDING;
    }
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, false);
    IRP* request = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, wk->LowerDevice, nullptr, 0, nullptr, 0,
                                                 true, &done, &iosb);
    if (!request) {
        KeUninitializeEvent(&done);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(request)->Parameters.Others.Argument1 = urb;
    WkPnpIncrementRequestCount(wk);
    IoCallDriver(wk->LowerDevice, request);
    KeWaitForSingleObject(&done);
    KeUninitializeEvent(&done);
    WkPnpDecrementRequestCount(wk);
    return iosb.Status;
}

static NTSTATUS ReadDescriptor(WK_USB_DEVICE* usb, UCHAR type, void* buffer, ULONG length, ULONG* moved) {
    auto* urb = static_cast<URB*>(ExAllocateFromNPagedLookasideList(&usb->UrbPool));
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildGetDescriptorRequest(urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, nullptr, length,
                                 nullptr);
    NTSTATUS s = WkUsbSubmitUrb(usb, urb, nullptr, nullptr, nullptr);
    *moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreeToNPagedLookasideList(&usb->UrbPool, urb);
    return s;
}

NTSTATUS WkUsbSetupConfiguration(WK_USB_DEVICE* usb) {
    ULONG moved = 0;
    NTSTATUS s =
        ReadDescriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, &usb->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR), &moved);
    if (!NT_SUCCESS(s)) return s;

    // The whole configuration set: a first read of 265 bytes tells its length.
    ULONG size = kWkFirstConfigRead;
    USB_CONFIGURATION_DESCRIPTOR* config = nullptr;
    for (;;) {
        config = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(ExAllocatePool(size));
        if (!config) return STATUS_NO_MEMORY;
        s = ReadDescriptor(usb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, size, &moved);
        if (!NT_SUCCESS(s)) {
            ExFreePool(config);
            return s;
        }
        // A set shorter than its own header, or one that did not arrive whole, is unusable.
        if (moved < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            (config->wTotalLength <= size && moved < config->wTotalLength)) {
            ExFreePool(config);
            return STATUS_UNSUCCESSFUL;
        }
        if (config->wTotalLength <= size) break;
        size = config->wTotalLength;
        ExFreePool(config);
    }

    // One entry per interface number: its first descriptor, whatever its alternate setting.
    UCHAR numbers[32];
    ULONG count = 0;
    for (auto* p = reinterpret_cast<UCHAR*>(config);;) {
        auto* id = USBD_ParseConfigurationDescriptorEx(config, p, -1, -1, -1, -1, -1);
        if (!id) break;
        bool seen = false;
        for (ULONG i = 0; i < count; ++i) seen |= numbers[i] == id->bInterfaceNumber;
        if (!seen && count < 32) numbers[count++] = id->bInterfaceNumber;
        p = reinterpret_cast<UCHAR*>(id) + id->bLength;
    }
    if (count == 0) {
        ExFreePool(config);
        return STATUS_UNSUCCESSFUL;
    }
    auto* list =
        static_cast<USBD_INTERFACE_LIST_ENTRY*>(ExAllocatePool((count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (!list) {
        ExFreePool(config);
        return STATUS_NO_MEMORY;
    }
    for (ULONG i = 0; i < count; ++i)
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, numbers[i], -1, -1, -1, -1);
    URB* urb = USBD_CreateConfigurationRequestEx(config, list);
    if (!urb) {
        ExFreePool(list);
        ExFreePool(config);
        return STATUS_NO_MEMORY;
    }
    for (ULONG i = 0; i < count; ++i) {
        USBD_INTERFACE_INFORMATION* info = list[i].Interface;
        for (ULONG k = 0; k < info->NumberOfPipes; ++k)
            info->Pipes[k].MaximumTransferSize = (i == 0 && k < 4) ? kWkFirstInterfacePipeLimits[k] : kWkOtherPipeLimit;
    }
    s = WkUsbSubmitUrb(usb, urb, nullptr, nullptr, nullptr);
    if (NT_SUCCESS(s)) {
        USBD_INTERFACE_INFORMATION* info = list[0].Interface;
        usb->InterfaceInformation = static_cast<USBD_INTERFACE_INFORMATION*>(ExAllocatePool(info->Length));
        if (!usb->InterfaceInformation) {
            s = STATUS_NO_MEMORY;
        } else {
            std::memcpy(usb->InterfaceInformation, info, info->Length);
            usb->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
            usb->ConfigurationDescriptor = config;
            config = nullptr;
        }
    }
    ExFreePool(urb);
    ExFreePool(list);
    ExFreePool(config);
    return s;
}

NTSTATUS WkUsbReleaseConfiguration(WK_USB_DEVICE* usb, bool surpriseRemoved) {
    NTSTATUS s = STATUS_SUCCESS;
    if (!surpriseRemoved && usb->ConfigurationHandle) {
        auto* urb = static_cast<URB*>(ExAllocatePool(sizeof(URB_SELECT_CONFIGURATION)));
        if (!urb) {
            s = STATUS_NO_MEMORY;
        } else {
            UsbBuildSelectConfigurationRequest(urb, sizeof(URB_SELECT_CONFIGURATION), nullptr);
            s = WkUsbSubmitUrb(usb, urb, nullptr, nullptr, nullptr);
            ExFreePool(urb);
        }
    }
    usb->ConfigurationHandle = nullptr;
    ExFreePool(usb->InterfaceInformation);
    usb->InterfaceInformation = nullptr;
    ExFreePool(usb->ConfigurationDescriptor);
    usb->ConfigurationDescriptor = nullptr;
    return s;
}

USB_ENDPOINT_DESCRIPTOR* WkUsbGetEndpointDescriptor(WK_USB_DEVICE* usb, ULONG index) {
    USB_CONFIGURATION_DESCRIPTOR* config = usb->ConfigurationDescriptor;
    if (!config) return nullptr;
    LONG number = usb->InterfaceInformation ? usb->InterfaceInformation->InterfaceNumber : -1;
    LONG alternate = usb->InterfaceInformation ? usb->InterfaceInformation->AlternateSetting : -1;
    USB_INTERFACE_DESCRIPTOR* id = USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, -1, -1, -1);
    if (!id || index >= id->bNumEndpoints) return nullptr;
    ULONG seen = 0;
    for (auto* p = reinterpret_cast<UCHAR*>(id) + id->bLength;;) {
        USB_COMMON_DESCRIPTOR* d = USBD_ParseDescriptors(config, config->wTotalLength, p, -1);
        if (!d || d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) return nullptr;
        if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (seen == index) return reinterpret_cast<USB_ENDPOINT_DESCRIPTOR*>(d);
            ++seen;
        }
        p = reinterpret_cast<UCHAR*>(d) + d->bLength;
    }
}

NTSTATUS WkUsbAsynchronousBulkTransfer(WK_USB_DEVICE* usb, void* buffer, ULONG length, ULONG pipeIndex, IRP* irp,
                                       PIO_COMPLETION_ROUTINE completion) {
    if (!completion) return STATUS_INVALID_PARAMETER;
    USBD_INTERFACE_INFORMATION* info = usb->InterfaceInformation;
    // Not configured (stopped, failed start) or fewer pipes than asked for.
    if (!info || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_DEVICE_STATE;
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[pipeIndex];
    auto* urb = static_cast<URB*>(ExAllocateFromNPagedLookasideList(&usb->UrbPool));
    if (!urb) return STATUS_NO_MEMORY;
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress)) flags |= USBD_TRANSFER_DIRECTION_IN;
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(URB_BULK_OR_INTERRUPT_TRANSFER), pipe.PipeHandle, buffer,
                                           nullptr, length, flags, nullptr);
    return WkUsbSubmitUrb(usb, urb, irp, completion, urb);
}
