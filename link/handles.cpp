#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "link/errors.h"
#include "link/link.h"
#include "link/transport.h"
#include "platform/shutdown.h"

namespace {

LinkSlot g_slots[LINK_SLOT_COUNT];

constexpr uint32_t KIND_BITS = SLOT_PARALLEL | SLOT_VIRTUAL | SLOT_USB | SLOT_SERIAL;

// A parallel selector is a port number 1..4 or a base address itself.
bool ParallelAddressValid(uint32_t selector) {
    if (selector >= 1 && selector <= 4) return PortAddressTable[selector] != 0;
    return selector >= 0x100 && selector < 0xFFFD && (selector & 3) == 0;
}

}  // namespace

uint16_t PortAddressTable[5] = {0, 0x378, 0x278, 0x3BC, 0x3B8};

const uint32_t DeviceSizeTable[11] = {1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072, 262144, 524288, 1048576};

uint32_t DeviceSizeForType(uint32_t type) { return DeviceSizeTable[type > 10 ? 0 : type]; }

const DeviceTypeRow DeviceTypeTable[DEVICE_TYPE_ROWS] = {
    {"2716", 0x800, 0x2800, 0x2800},
    {"16", 0x800, 0x2800, 0x2800},
    {"2048", 0x800, 0x2800, 0x2800},
    {"800", 0x800, 0x2800, 0x2800},
    {"2K", 0x800, 0x2800, 0x2800},
    {"2732", 0x1000, 0x2000, 0x2000},
    {"32", 0x1000, 0x2000, 0x2000},
    {"4096", 0x1000, 0x2000, 0x2000},
    {"1000", 0x1000, 0x2000, 0x2000},
    {"4K", 0x1000, 0x2000, 0x2000},
    {"2764", 0x2000, 0x2C000, 0x2E000},
    {"64", 0x2000, 0x2C000, 0x2E000},
    {"8192", 0x2000, 0x2C000, 0x2E000},
    {"2000", 0x2000, 0x2C000, 0x2E000},
    {"8K", 0x2000, 0x2C000, 0x2E000},
    {"27128", 0x4000, 0x2C000, 0x2C000},
    {"128", 0x4000, 0x2C000, 0x2C000},
    {"16384", 0x4000, 0x2C000, 0x2C000},
    {"4000", 0x4000, 0x2C000, 0x2C000},
    {"16K", 0x4000, 0x2C000, 0x2C000},
    {"27256", 0x8000, 0x28000, 0x28000},
    {"256", 0x8000, 0x28000, 0x28000},
    {"32768", 0x8000, 0x28000, 0x28000},
    {"8000", 0x8000, 0x28000, 0x28000},
    {"32K", 0x8000, 0x28000, 0x28000},
    {"27512", 0x10000, 0x20000, 0x20000},
    {"512", 0x10000, 0x20000, 0x20000},
    {"65536", 0x10000, 0x20000, 0x20000},
    {"10000", 0x10000, 0x20000, 0x20000},
    {"64K", 0x10000, 0x20000, 0x20000},
    {"27010", 0x20000, 0xC0000, 0xE0000},
    {"010", 0x20000, 0xC0000, 0xE0000},
    {"131072", 0x20000, 0xC0000, 0xE0000},
    {"20000", 0x20000, 0xC0000, 0xE0000},
    {"128K", 0x20000, 0xC0000, 0xE0000},
    {"27020", 0x40000, 0xC0000, 0xC0000},
    {"020", 0x40000, 0xC0000, 0xC0000},
    {"262144", 0x40000, 0xC0000, 0xC0000},
    {"40000", 0x40000, 0xC0000, 0xC0000},
    {"256K", 0x40000, 0xC0000, 0xC0000},
    {"27040", 0x80000, 0x80000, 0x80000},
    {"040", 0x80000, 0x80000, 0x80000},
    {"524288", 0x80000, 0x80000, 0x80000},
    {"80000", 0x80000, 0x80000, 0x80000},
    {"512K", 0x80000, 0x80000, 0x80000},
    {"27080", 0x100000, 0, 0},
    {"080", 0x100000, 0, 0},
    {"1048576", 0x100000, 0, 0},
    {"100000", 0x100000, 0, 0},
    {"1024K", 0x100000, 0, 0},
    {"-", 0xFFFFFFFFu, 0, 0},
};

const DeviceTypeRow& DeviceTypeBySize(uint32_t size) {
    for (int i = 0; i < DEVICE_TYPE_ROWS - 1; ++i)
        if (DeviceTypeTable[i].size == size) return DeviceTypeTable[i];
    return DeviceTypeTable[DEVICE_TYPE_ROWS - 1];
}

LinkSlot* ZAMLookup(uint32_t handle) {
    if (handle < LINK_HANDLE_BASE || handle >= LINK_HANDLE_BASE + LINK_SLOT_COUNT) return nullptr;
    LinkSlot* s = &g_slots[handle - LINK_HANDLE_BASE];
    return (s->flags & SLOT_OPEN) ? s : nullptr;
}

uint32_t ZAMInit(uint32_t* handle, uint32_t selector, uint32_t unit, uint32_t size, uint32_t option,
                 std::string* failure) {
    if (failure) failure->clear();
    uint32_t index = 0;
    while (index < LINK_SLOT_COUNT && (g_slots[index].flags & SLOT_OPEN)) ++index;
    if (index == LINK_SLOT_COUNT) return LINK_NO_RESOURCE;
    LinkSlot& s = g_slots[index];
    s = LinkSlot{};

    uint32_t kind;
    if (selector == SELECT_VIRTUAL) {
        // A fresh unit reads as an erased EPROM, never as what the heap held before.
        const uint32_t bytes = size ? size : 1;
        s.ram.reset(new (std::nothrow) uint8_t[bytes]);
        if (s.ram == nullptr) return LINK_NO_RESOURCE;
        std::memset(s.ram.get(), 0xFF, bytes);
        s.impl = s.ram.get();
        s.Info = reinterpret_cast<uintptr_t>(s.impl);
        s.size = size;
        s.Level = 2;
        s.reset = RESET_HIZ;
        kind = SLOT_VIRTUAL;
    } else {
        LinkOpenResult r;
        uint32_t code;
        if (selector == SELECT_USB) {
            kind = SLOT_USB;
            code = LinkKindDriver(kind)->open(unit, 0, 0, &r);
        } else if (selector & SELECT_SERIAL) {
            kind = SLOT_SERIAL;
            code = LinkKindDriver(kind)->open(selector & ~SELECT_SERIAL, 0, 0, &r);
        } else {
            // The BIOS printer-port table is not readable here; the defaults stay.
            kind = SLOT_PARALLEL;
            if (!ParallelAddressValid(selector)) return LINK_INVALID;
            if (option == PARALLEL_DEFAULT_DELAY) option = 0x80000000u;
            code = LinkKindDriver(kind)->open(selector, unit, option, &r);
            s.reset = RESET_HIZ;
        }
        if (code != LINK_OK) {
            s = LinkSlot{};
            if (failure) *failure = std::move(r.failure);
            return code;
        }
        s.impl = r.impl;
        s.Info = r.Info;
        s.Delay = r.Delay;
        s.Level = r.Level;
    }
    ShutdownRegister(ZAMCloseAll);  // before the layers below it, which registered as they opened
    s.flags = SLOT_OPEN | kind;
    *handle = LINK_HANDLE_BASE + index;
    return LINK_OK;
}

uint32_t ZAMClose(uint32_t handle) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return 0;
    uint32_t kind = s->flags & KIND_BITS;
    if (kind != SLOT_VIRTUAL)
        if (const KindDriver* d = LinkKindDriver(kind)) d->close(s->impl);
    *s = LinkSlot{};  // a virtual unit's block goes with its slot
    return 0;
}

void ZAMCloseAll() {
    for (uint32_t i = 0; i < LINK_SLOT_COUNT; ++i) ZAMClose(LINK_HANDLE_BASE + i);
}

uint32_t ZAMGetInfo(uint32_t handle) {
    LinkSlot* s = ZAMLookup(handle);
    return s ? static_cast<uint32_t>(s->Info) : 0;
}

uint32_t ZAMGetDelay(uint32_t handle) {
    LinkSlot* s = ZAMLookup(handle);
    return s ? s->Delay : 0;
}

uint32_t ZAMGetLevel(uint32_t handle) {
    LinkSlot* s = ZAMLookup(handle);
    return s ? s->Level : 0;
}
