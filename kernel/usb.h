#pragma once
// The USB bus driver's request-block (URB) interface, in the shape of the
// platform's: descriptors, select configuration, bulk/interrupt transfers,
// submitted to the bus's device object with IOCTL_INTERNAL_USB_SUBMIT_URB.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel/wdm.h"

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 4;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 5;

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength, bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    USHORT idVendor, idProduct, bcdDevice;
    UCHAR iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength, bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces, bConfigurationValue, iConfiguration, bmAttributes, MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints;
    UCHAR bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength, bDescriptorType, bEndpointAddress, bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength, bDescriptorType;
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 &&
              sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
#define USB_ENDPOINT_DIRECTION_IN(a) (((a)&0x80) != 0)

typedef void* USBD_PIPE_HANDLE;
typedef void* USBD_CONFIGURATION_HANDLE;
typedef void* USBD_INTERFACE_HANDLE;
enum USBD_PIPE_TYPE { UsbdPipeTypeControl, UsbdPipeTypeIsochronous, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt };

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
struct USBD_INTERFACE_INFORMATION {
    USHORT Length;  // of this structure with all its pipes
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class, SubClass, Protocol, Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
constexpr size_t UsbdInterfaceInformationSize(ULONG pipes) {
    return sizeof(USBD_INTERFACE_INFORMATION) + (pipes ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
}
struct USBD_INTERFACE_LIST_ENTRY {
    USB_INTERFACE_DESCRIPTOR* InterfaceDescriptor;
    USBD_INTERFACE_INFORMATION* Interface;
};

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;

constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x2;

typedef int32_t USBD_STATUS;
constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600);
constexpr USBD_STATUS USBD_STATUS_BUFFER_TOO_SMALL = static_cast<USBD_STATUS>(0xC0003000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);

struct URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
};
struct URB_SELECT_CONFIGURATION {
    URB_HEADER Hdr;
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;  // null: unconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // first of the interfaces, each Interface.Length long
};
struct URB_CONTROL_DESCRIPTOR_REQUEST {
    URB_HEADER Hdr;
    void* TransferBuffer;
    ULONG TransferBufferLength;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
};
struct URB_BULK_OR_INTERRUPT_TRANSFER {
    URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    void* TransferBuffer;
    MDL* TransferBufferMDL;
};
union URB {
    URB_HEADER UrbHeader;
    URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
};

void UsbBuildGetDescriptorRequest(URB* urb, USHORT length, UCHAR type, UCHAR index, USHORT language, void* buffer,
                                  MDL* mdl, ULONG bufferLength, URB* link);
void UsbBuildInterruptOrBulkTransferRequest(URB* urb, USHORT length, USBD_PIPE_HANDLE pipe, void* buffer, MDL* mdl,
                                            ULONG bufferLength, ULONG flags, URB* link);
void UsbBuildSelectConfigurationRequest(URB* urb, USHORT length, USB_CONFIGURATION_DESCRIPTOR* config);
// Interface descriptor of the given number and alternate setting (-1: any) at or after start.
USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(USB_CONFIGURATION_DESCRIPTOR* config, void* start,
                                                              LONG number, LONG alternate, LONG cls, LONG subClass,
                                                              LONG protocol);
// First descriptor of the type at or after start, within the configuration set.
USB_COMMON_DESCRIPTOR* USBD_ParseDescriptors(void* buffer, ULONG length, void* start, LONG type);
// A select-configuration URB from pool for the listed interfaces (list ends with a null
// descriptor); each entry's Interface points into the URB. Free with ExFreePool.
URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* config, USBD_INTERFACE_LIST_ENTRY* list);

// ---- bus backends (kernel's own) ----

// How a backend finishes a transfer.
enum UsbBusResult : uint8_t { USB_BUS_OK, USB_BUS_STALL, USB_BUS_GONE, USB_BUS_CANCELLED, USB_BUS_ERROR };

// Lets a backend wait inside a transfer and hear the bus abort it.
class UsbAbortSignal {
public:
    // Waits up to ms (0xFFFFFFFF: until aborted); false when aborted.
    virtual bool Wait(uint32_t ms) = 0;
    virtual bool Aborted() = 0;
    // Called (once, on the aborting thread) when the transfer is aborted while it runs.
    virtual void OnAbort(std::function<void()> hook) = 0;

protected:
    ~UsbAbortSignal() = default;
};

// One device on a bus, as a backend presents it. Calls come from the device's bus
// thread, one at a time.
class UsbBusDevice {
public:
    virtual ~UsbBusDevice() = default;
    virtual UsbBusResult GetDescriptor(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length,
                                       ULONG* moved) = 0;
    // value 0 unconfigures.
    virtual UsbBusResult SetConfiguration(UCHAR value) = 0;
    virtual UsbBusResult Transfer(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved, UsbAbortSignal& abort) = 0;
    virtual std::string Describe() const = 0;
    // True when nothing else tells the bus that the device was unplugged (libusb
    // without hot-plug events): a transfer that finds it gone then removes it.
    virtual bool LeavesOnGone() const { return false; }
};

// Puts a device on the bus: the PnP manager creates its bus device object, calls
// the driver's AddDevice and starts the stack. The bus owns the device from now on.
// `sourceId` is the id its source knows it by (-1: none), for UsbBusSourceLeave.
void UsbBusArrive(UsbBusDevice* device, int sourceId = -1);
// The device a source knows as `sourceId` left the bus; true if the bus has it.
void UsbBusSourceLeave(int sourceId);
bool UsbBusHasSourceDevice(int sourceId);

// A source of bus devices beside libusb (the simulated units' glue registers one):
// started by the host after the driver is loaded, to put its devices on the bus and
// report later arrivals and departures; stopped before the host removes them.
struct UsbBusSource {
    void (*start)();
    void (*stop)();
};
void UsbBusRegisterSource(const UsbBusSource* source);
// The device left the bus: surprise removal, then removal once its handles are closed.
void UsbBusLeave(int busId);
