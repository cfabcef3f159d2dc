#pragma once
// SetupAPI and WinUSB behind plain types: the kernel's own USB and WDM names
// cannot live beside <windows.h>, so the WinUSB bus device reaches the system
// through these calls only.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A present USB device: the path to open and its first hardware id.
struct WinusbPresent {
    std::string path;
    std::string hardwareId;
};
// Every present device of the hub's USB device interface.
std::vector<WinusbPresent> WinusbPresentDevices();

struct WinusbDevice;
// Opens the device and initialises WinUSB on it; null on failure (*error: GetLastError).
WinusbDevice* WinusbOpen(const char* path, unsigned long* error);
void WinusbClose(WinusbDevice* device);

enum WinusbResult : uint8_t { WINUSB_OK, WINUSB_STALL, WINUSB_GONE, WINUSB_ABORTED, WINUSB_FAILED };

WinusbResult WinusbDescriptor(WinusbDevice* device, uint8_t type, uint8_t index, uint16_t language, void* buffer,
                              uint32_t length, uint32_t* moved);
// The pipe ids of interface 0's first alternate setting by index, in the order of its
// endpoint descriptors; how many (at most max), -1 when they cannot be read.
int WinusbPipes(WinusbDevice* device, uint8_t* ids, int max);
// One bulk transfer on the pipe (its id says the direction). `aborted` is asked every
// 50 ms while the transfer runs; when it says so the pipe is aborted.
WinusbResult WinusbTransfer(WinusbDevice* device, uint8_t pipe, void* buffer, uint32_t length, uint32_t* moved,
                            const std::function<bool()>& aborted);
