// The kind-driver registry and the built-in drivers used until a transport is installed.
#include "link/errors.h"
#include "link/link.h"
#include "link/transport.h"
#include "link/parallel.h"
#include "link/usb.h"

namespace {

// No transport for this kind in this build: every open fails with the code
// a unit that cannot be reached gives, and nothing else is ever called.
uint32_t SerialUnavailable(uint32_t com, uint32_t, uint32_t, LinkOpenResult*) {
    if (com == 0 || com > 98) return LINK_INVALID;
    return LINK_NOT_WORKING;  // the port cannot be opened
}
void CloseNothing(void*) {}
uint32_t WriteNothing(void*, uint32_t, const uint8_t*, uint32_t) { return LINK_NOT_AVAILABLE; }
uint32_t ReadNothing(void*, uint8_t*, uint32_t, uint32_t) { return LINK_NOT_AVAILABLE; }
uint32_t CompareNothing(void*, uint32_t*, uint8_t*, uint32_t, const uint8_t*, uint32_t) { return LINK_NOT_AVAILABLE; }
uint32_t ResetNothing(void*, uint32_t) { return LINK_NOT_AVAILABLE; }

const KindDriver kSerialUnavailable{SerialUnavailable, CloseNothing, WriteNothing, ReadNothing,
                                    CompareNothing,    ResetNothing, nullptr,      nullptr};

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
    case SLOT_SERIAL: return &kSerialUnavailable;
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
