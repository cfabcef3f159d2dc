#pragma once
#include <string>

// The in-process driver host: loads one function driver, puts the devices of the
// USB bus under it through the plug-and-play manager, and lets tests play the
// system's part (plug-and-play and power requests).
#include "kernel/usb.h"
#include "kernel/wdm.h"

// Runs the driver's entry once, then gives it every device on the bus: the
// simulated units (attached now, from PELMO_SIM_USB, or later through the sim
// bus) and the real units named by PELMO_USB_IDS (libusb, on Windows WinUSB).
NTSTATUS KeHostStart(PDRIVER_INITIALIZE entry);
// The entry of the driver the host loads for devio (its glue sets it at start-up).
void KeSetHostDriverEntry(PDRIVER_INITIALIZE entry);
PDRIVER_INITIALIZE KeHostDriverEntry();
bool KeHostRunning();
// Removes every device (files must be closed), unloads the driver, stops the threads.
void KeHostStop();
DRIVER_OBJECT* KeHostDriver();
// After KeHostStop: frees what the host keeps for the process's life (bus slots, the
// worker's record), for a library that is being unloaded. False if something still
// runs; nothing may use the host afterwards.
bool KeHostRelease();

// Waits until arrivals and removals queued so far have been carried out.
void KeWaitPnpIdle();
// Bus id of a simulated unit's device (its sim bus id), or -1.
int KeBusIdOfSimUnit(int simId);
// The bus device object (PDO) of a bus device, or null.
DEVICE_OBJECT* KeBusPdo(int busId);
// The function device (the driver's device object) of a bus device, or null.
DEVICE_OBJECT* KeFunctionDevice(int busId);
// Sends a plug-and-play request to the top of a bus device's stack and waits for it.
NTSTATUS KePnpRequest(int busId, UCHAR minor);
// Sends a power request (system or device state) and waits for it.
NTSTATUS KePowerRequest(int busId, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// Real units: the vendor:product pairs of PELMO_USB_IDS ("1234:5678,1234:5679").
struct UsbIdPair {
    uint16_t vendor, product;
};
// Parses the list; false on a malformed entry. At most `max` pairs are kept.
bool ParseUsbIds(const char* text, UsbIdPair* out, int max, int* count);
// True when vendor:product is one of the pairs.
bool UsbIdsMatch(const UsbIdPair* ids, int count, uint16_t vendor, uint16_t product);
// How a real unit names itself on the bus: "USB vvvv:pppp".
std::string UsbUnitName(uint16_t vendor, uint16_t product);
// Vendor and product of a Windows hardware id ("USB\VID_1234&PID_5678&REV_0100");
// false for any other form.
bool UsbHardwareIdPair(const char* id, uint16_t* vendor, uint16_t* product);
// Puts every matching device on the bus; returns how many (0 without such devices). The
// real-unit backend of the build defines it: libusb (usb_libusb.cpp) on Linux, WinUSB
// (usb_winusb.cpp) on Windows.
int KeScanUsbUnits(const UsbIdPair* ids, int count);
