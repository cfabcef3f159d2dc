#pragma once
// The qorpelmo driver: one device per unit, "\Device\Qorpelmo<n>" with the link
// "\DosDevices\Qorpelmo<n>", four pipes (answer in, command out, bulk in, bulk out),
// three device controls and plain reads and writes, run one at a time.
#include "qorpelmo/framework/wk.h"

constexpr ULONG QORPELMO_DEVICE_TYPE = 0x8000;
constexpr ULONG IOCTL_QORPELMO_SEND_CMD = 0x80002000;
constexpr ULONG IOCTL_QORPELMO_RECV_RSP = 0x80002004;
constexpr ULONG IOCTL_QORPELMO_GET_PACKET_SIZE = 0x80002008;
constexpr ULONG QORPELMO_MAX_DEVICES = 10;
constexpr ULONG QORPELMO_COMMAND_LENGTH = 10;
constexpr ULONG QORPELMO_ANSWER_LENGTH = 8;

enum QorpelmoPipe : ULONG {
    QORPELMO_PIPE_ANSWER = 0,
    QORPELMO_PIPE_COMMAND = 1,
    QORPELMO_PIPE_BULK_IN = 2,
    QORPELMO_PIPE_BULK_OUT = 3
};

struct QORPELMO_EXTENSION {
    WK_USB_DEVICE Usb;  // first: the framework finds its part here
    ULONG Number;
    void* ReadVa;   // system address of the current read buffer
    void* WriteVa;  // and of the current write buffer
};

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, const char* registryPath);
NTSTATUS QorpelmoAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);
NTSTATUS QorpelmoDriverDispatch(DEVICE_OBJECT* device, IRP* irp);
void QorpelmoStartIo(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS QorpelmoCleanup(DEVICE_OBJECT* device, IRP* irp);
void QorpelmoUnload(DRIVER_OBJECT* driver);

NTSTATUS QorpelmoCreateDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo, ULONG number, DEVICE_OBJECT** device);
void QorpelmoDeleteDevice(DEVICE_OBJECT* device);
bool SendCmdCheckParameters(IO_STACK_LOCATION* sp);
bool RecvRspCheckParameters(IO_STACK_LOCATION* sp);
NTSTATUS QorpelmoIoctlSendCmd(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS QorpelmoIoctlRecvRsp(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS QorpelmoReadFile(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS QorpelmoWriteFile(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS QorpelmoDeviceIoCompletion(DEVICE_OBJECT* device, IRP* irp, void* context);
void QorpelmoIrpCancelCallback(DEVICE_OBJECT* device, IRP* irp);
