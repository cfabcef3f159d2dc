// Real units through WinUSB: devices whose hardware id carries a vendor:product pair
// of PELMO_USB_IDS go on the bus; WinUSB has selected their first configuration
// itself, and the endpoints of interface 0 are used by index in descriptor order.

#include "kernel/host.h"
#include "kernel/usb.h"
#include "kernel/winusb_system.h"

namespace {

constexpr int kMaxPipes = 32;

UsbBusResult Bus(WinusbResult r) {
    switch (r) {
    case WINUSB_OK: return USB_BUS_OK;
    case WINUSB_STALL: return USB_BUS_STALL;
    case WINUSB_GONE: return USB_BUS_GONE;
    case WINUSB_ABORTED: return USB_BUS_CANCELLED;
    default: return USB_BUS_ERROR;
    }
}

class WinusbBusDevice : public UsbBusDevice {
public:
    WinusbBusDevice(WinusbDevice* d, uint16_t v, uint16_t p) : device_(d), vendor_(v), product_(p) {}
    ~WinusbBusDevice() override { WinusbClose(device_); }

    UsbBusResult GetDescriptor(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length,
                               ULONG* moved) override {
        uint32_t got = 0;
        const UsbBusResult r = Bus(WinusbDescriptor(device_, type, index, language, buffer, length, &got));
        *moved = got;
        return r;
    }
    // WinUSB runs the device in its first configuration and cannot change it: that one
    // is accepted, any other refused.
    UsbBusResult SetConfiguration(UCHAR value) override {
        pipeCount_ = 0;
        if (value == 0) return USB_BUS_OK;
        USB_CONFIGURATION_DESCRIPTOR config{};
        uint32_t got = 0;
        if (UsbBusResult r =
                Bus(WinusbDescriptor(device_, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &config, sizeof config, &got));
            r != USB_BUS_OK)
            return r;
        if (got < sizeof config || config.bConfigurationValue != value) return USB_BUS_ERROR;
        const int n = WinusbPipes(device_, pipes_, kMaxPipes);
        if (n < 0) return USB_BUS_ERROR;
        pipeCount_ = n;
        return USB_BUS_OK;
    }
    UsbBusResult Transfer(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved, UsbAbortSignal& abort) override {
        *moved = 0;
        int index = 0;
        while (index < pipeCount_ && pipes_[index] != endpoint) ++index;
        if (index == pipeCount_) return USB_BUS_ERROR;  // not a pipe of the configured interface
        uint32_t got = 0;
        const UsbBusResult r =
            Bus(WinusbTransfer(device_, pipes_[index], buffer, length, &got, [&abort] { return abort.Aborted(); }));
        *moved = got;
        return r;
    }
    bool LeavesOnGone() const override { return true; }
    std::string Describe() const override { return UsbUnitName(vendor_, product_); }

private:
    WinusbDevice* device_;
    uint16_t vendor_, product_;
    uint8_t pipes_[kMaxPipes] = {};
    int pipeCount_ = 0;
};

}  // namespace

int KeScanUsbUnits(const UsbIdPair* ids, int count) {
    int found = 0;
    for (const WinusbPresent& d : WinusbPresentDevices()) {
        uint16_t vendor = 0, product = 0;
        if (!UsbHardwareIdPair(d.hardwareId.c_str(), &vendor, &product)) continue;
        if (!UsbIdsMatch(ids, count, vendor, product)) continue;
        unsigned long error = 0;
        WinusbDevice* device = WinusbOpen(d.path.c_str(), &error);
        if (device == nullptr) continue;  // held by another program, or not bound to WinUSB
        UsbBusArrive(new WinusbBusDevice(device, vendor, product));
        ++found;
    }
    return found;
}
