// The simulated USB units as a source of the kernel's bus: at static initialisation
// this registers a source that, when the driver host starts, puts the units already
// attached (and those of PELMO_SIM_USB) on the bus and follows later attachments and
// detachments. Built as an object library that the kernel target hands to every
// program and shared library linking it (see sim/CMakeLists.txt), for the same reason
// as lpt_glue.cpp: nothing names this file.
#include <memory>
#include <string>

#include "kernel/usb.h"
#include "platform/shutdown.h"
#include "sim/usb_unit.h"

namespace {

// A simulated unit as a device on the bus.
class SimBusDevice : public UsbBusDevice {
public:
    explicit SimBusDevice(std::shared_ptr<sim::UsbUnit> unit) : unit_(std::move(unit)) {}
    UsbBusResult GetDescriptor(UCHAR type, UCHAR index, USHORT, void* buffer, ULONG length, ULONG* moved) override {
        *moved = 0;
        if (unit_->gone()) return USB_BUS_GONE;
        int n = unit_->getDescriptor(type, index, static_cast<uint8_t*>(buffer), length);
        if (n < 0) return USB_BUS_STALL;
        *moved = static_cast<ULONG>(n);
        return USB_BUS_OK;
    }
    UsbBusResult SetConfiguration(UCHAR value) override {
        if (unit_->gone()) return USB_BUS_GONE;
        return unit_->setConfiguration(value) ? USB_BUS_OK : USB_BUS_STALL;
    }
    UsbBusResult Transfer(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved, UsbAbortSignal& abort) override {
        uint32_t m = 0;
        sim::UsbXferResult r = unit_->transfer(endpoint, static_cast<uint8_t*>(buffer), length, &m,
                                               [&abort](uint32_t ms) { return abort.Wait(ms); });
        *moved = m;
        switch (r) {
        case sim::USBX_OK: return USB_BUS_OK;
        case sim::USBX_STALL: return USB_BUS_STALL;
        case sim::USBX_GONE: return USB_BUS_GONE;
        case sim::USBX_CANCELLED: return USB_BUS_CANCELLED;
        default: return USB_BUS_ERROR;
        }
    }
    std::string Describe() const override { return "simulated unit " + std::to_string(unit_->options().unit); }

private:
    std::shared_ptr<sim::UsbUnit> unit_;
};

// The bus knows each unit by its simulator id.
void Arrived(int simId, void*) {
    auto unit = sim::FindUsbUnit(simId);
    if (unit) UsbBusArrive(new SimBusDevice(unit), simId);
}

void Left(int simId, void*) { UsbBusSourceLeave(simId); }

void Start() {
    // The units go at the end, after the host that has them on its bus has stopped.
    ShutdownRegister(sim::DetachAllUsbUnits);
    sim::SetUsbBusListener({Arrived, Left, nullptr});
    for (int id : sim::AttachedUsbUnits())
        if (!UsbBusHasSourceDevice(id)) Arrived(id, nullptr);
    sim::AttachUsbUnitsFromEnvironment();
}

void Stop() { sim::SetUsbBusListener({}); }

constexpr UsbBusSource kSource{Start, Stop};

struct Registration {
    Registration() { UsbBusRegisterSource(&kSource); }
} g_registration;

}  // namespace
