// The kind-driver registry and the built-in drivers used until a transport is installed.
#include "link/errors.h"
#include "link/link.h"
#include "link/transport.h"
#include "link/parallel.h"
#include "link/serial.h"
#include "link/usb.h"

namespace {

const KindDriver* g_usb = nullptr;
const KindDriver* g_serial = nullptr;
const KindDriver* g_parallel = nullptr;

const KindDriver** SlotFor(uint32_t kindBit) {
    switch (kindBit) {
    case SLOT_USB: return &g_usb;
    case SLOT_SERIAL: return &g_serial;
    case SLOT_PARALLEL: return &g_parallel;
    default: return nullptr;
    }
}

const KindDriver* BuiltIn(uint32_t kindBit) {
    switch (kindBit) {
    case SLOT_USB: return UsbKindDriver();
    case SLOT_SERIAL: return SerialKindDriver();
    case SLOT_PARALLEL: return ParallelKindDriver();
    default: return nullptr;
    }
}

}  // namespace

const KindDriver* LinkSetKindDriver(uint32_t kindBit, const KindDriver* driver) {
    const KindDriver** slot = SlotFor(kindBit);
    if (slot == nullptr) return nullptr;
    const KindDriver* before = LinkKindDriver(kindBit);
    *slot = driver;
    return before;
}

const KindDriver* LinkKindDriver(uint32_t kindBit) {
    const KindDriver** slot = SlotFor(kindBit);
    if (slot == nullptr) return nullptr;
    return *slot ? *slot : BuiltIn(kindBit);
}
