#include "kernel/winusb_system.h"

#include <windows.h>
// After <windows.h>: the device interface GUID is defined in this file.
#include <initguid.h>
#include <setupapi.h>
#include <usbiodef.h>
#include <winusb.h>

struct WinusbDevice {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
};

namespace {

WinusbResult ResultOf(DWORD error) {
    switch (error) {
    case ERROR_GEN_FAILURE: return WINUSB_STALL;  // how WinUSB reports a stalled pipe
    case ERROR_OPERATION_ABORTED: return WINUSB_ABORTED;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE: return WINUSB_GONE;
    default: return WINUSB_FAILED;
    }
}

std::string HardwareId(HDEVINFO set, SP_DEVINFO_DATA* info) {
    char ids[1024] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, info, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids),
                                           sizeof ids - 2, nullptr) ||
        type != REG_MULTI_SZ)
        return "";
    return ids;  // the first of the list: the most specific
}

}  // namespace

std::vector<WinusbPresent> WinusbPresentDevices() {
    std::vector<WinusbPresent> found;
    HDEVINFO set =
        SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof item;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, i, &item); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &item, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<char> raw(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(raw.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &item, detail, size, nullptr, &info)) continue;
        found.push_back({detail->DevicePath, HardwareId(set, &info)});
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

WinusbDevice* WinusbOpen(const char* path, unsigned long* error) {
    *error = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!WinUsb_Initialize(file, &usb)) {
        *error = GetLastError();
        CloseHandle(file);
        return nullptr;
    }
    return new WinusbDevice{file, usb};
}

void WinusbClose(WinusbDevice* device) {
    if (device == nullptr) return;
    WinUsb_Free(device->usb);
    CloseHandle(device->file);
    delete device;
}

WinusbResult WinusbDescriptor(WinusbDevice* device, uint8_t type, uint8_t index, uint16_t language, void* buffer,
                              uint32_t length, uint32_t* moved) {
    ULONG got = 0;
    *moved = 0;
    if (!WinUsb_GetDescriptor(device->usb, type, index, language, static_cast<PUCHAR>(buffer), length, &got))
        return ResultOf(GetLastError());
    *moved = got;
    return WINUSB_OK;
}

int WinusbPipes(WinusbDevice* device, uint8_t* ids, int max) {
    USB_INTERFACE_DESCRIPTOR alt{};
    if (!WinUsb_QueryInterfaceSettings(device->usb, 0, &alt)) return -1;
    int n = 0;
    for (UCHAR k = 0; k < alt.bNumEndpoints && n < max; ++k) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (!WinUsb_QueryPipe(device->usb, 0, k, &pipe)) return -1;
        ids[n++] = pipe.PipeId;
    }
    return n;
}

WinusbResult WinusbTransfer(WinusbDevice* device, uint8_t pipe, void* buffer, uint32_t length, uint32_t* moved,
                            const std::function<bool()>& aborted) {
    *moved = 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return WINUSB_FAILED;
    OVERLAPPED ov{};
    ov.hEvent = event;
    auto* data = static_cast<PUCHAR>(buffer);
    const BOOL started = (pipe & 0x80) ? WinUsb_ReadPipe(device->usb, pipe, data, length, nullptr, &ov)
                                       : WinUsb_WritePipe(device->usb, pipe, data, length, nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        const DWORD e = GetLastError();
        CloseHandle(event);
        return ResultOf(e);
    }
    // In short slices, so that an abort from the bus is heard within 50 ms.
    bool abortSent = false;
    while (WaitForSingleObject(event, 50) == WAIT_TIMEOUT) {
        if (!abortSent && aborted()) {
            WinUsb_AbortPipe(device->usb, pipe);
            abortSent = true;
        }
    }
    ULONG got = 0;
    const BOOL ok = WinUsb_GetOverlappedResult(device->usb, &ov, &got, TRUE);
    const DWORD e = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(event);
    *moved = got;
    return ok ? WINUSB_OK : ResultOf(e);
}
