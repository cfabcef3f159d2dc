// The generic operations: look the handle up, dispatch on the unit kind.
#include <cstring>

#include "link/errors.h"
#include "link/link.h"
#include "link/transport.h"

namespace {

constexpr uint32_t KIND_BITS = SLOT_PARALLEL | SLOT_VIRTUAL | SLOT_USB | SLOT_SERIAL;

uint32_t Kind(const LinkSlot* s) { return s->flags & KIND_BITS; }

// Hardware kind or none: the slot's transport driver.
const KindDriver* DriverOf(const LinkSlot* s) {
    uint32_t k = Kind(s);
    return (k == SLOT_USB || k == SLOT_SERIAL || k == SLOT_PARALLEL) ? LinkKindDriver(k) : nullptr;
}

// Virtual unit: the whole range must lie inside the block (32-bit sum, as the unit sees it).
bool VirtualRangeOk(const LinkSlot* s, uint32_t address, uint32_t length) {
    uint32_t end = address + length;
    return end >= address && end <= s->size;
}

}  // namespace

uint32_t ZAMWrite(uint32_t handle, uint32_t address, const uint8_t* data, uint32_t length) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return LINK_INVALID;
    if (Kind(s) == SLOT_VIRTUAL) {
        if (!VirtualRangeOk(s, address, length)) return LINK_INVALID;
        if (length) std::memcpy(static_cast<uint8_t*>(s->impl) + address, data, length);
        return LINK_OK;
    }
    const KindDriver* d = DriverOf(s);
    return d ? d->write(s->impl, address, data, length) : LINK_INVALID;
}

uint32_t ZAMRead(uint32_t handle, uint8_t* buffer, uint32_t address, uint32_t length) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return LINK_INVALID;
    if (Kind(s) == SLOT_VIRTUAL) {
        if (!VirtualRangeOk(s, address, length)) return LINK_INVALID;
        if (length) std::memcpy(buffer, static_cast<const uint8_t*>(s->impl) + address, length);
        return LINK_OK;
    }
    const KindDriver* d = DriverOf(s);
    return d ? d->read(s->impl, buffer, address, length) : LINK_INVALID;
}

uint32_t ZAMCompare(uint32_t* equal, uint8_t* unitByte, uint32_t handle, uint32_t address, const uint8_t* data,
                    uint32_t length) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return LINK_INVALID;
    if (Kind(s) == SLOT_VIRTUAL) {
        if (!VirtualRangeOk(s, address, length)) return LINK_INVALID;
        const uint8_t* block = static_cast<const uint8_t*>(s->impl) + address;
        uint32_t i = 0;
        while (i < length && block[i] == data[i]) ++i;
        if (equal) *equal = i;
        if (unitByte && i < length) *unitByte = block[i];
        return LINK_OK;
    }
    const KindDriver* d = DriverOf(s);
    if (d == nullptr) return LINK_INVALID;
    uint32_t eq = 0;
    uint8_t ub = 0;
    uint32_t code = d->compare(s->impl, &eq, &ub, address, data, length);
    if (code == LINK_OK) {
        if (equal) *equal = eq;
        if (unitByte) *unitByte = ub;
    }
    return code;
}

uint32_t ZAMSetReset(uint32_t handle, uint32_t level) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return LINK_INVALID;
    level &= 3;
    switch (Kind(s)) {
    case SLOT_VIRTUAL:
        if (level != RESET_UNCHANGED) s->reset = level;
        return LINK_OK;
    case SLOT_PARALLEL: {
        if (level == RESET_UNCHANGED) return LINK_OK;
        uint32_t code = DriverOf(s)->setReset(s->impl, level);
        if (code == LINK_OK) s->reset = level;  // a level that never reached the unit is not its level
        return code;
    }
    case SLOT_USB:
    case SLOT_SERIAL: return DriverOf(s)->setReset(s->impl, level);
    default: return LINK_INVALID;
    }
}

uint32_t ZAMGetReset(uint32_t handle, uint32_t* level) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return LINK_INVALID;
    uint32_t k = Kind(s);
    if (k == SLOT_VIRTUAL || k == SLOT_PARALLEL) {
        if (level) *level = s->reset;
        return LINK_OK;
    }
    const KindDriver* d = DriverOf(s);
    if (d == nullptr) return LINK_INVALID;
    if (d->getReset == nullptr) return LINK_NOT_AVAILABLE;
    uint32_t value = 0;
    uint32_t code = d->getReset(s->impl, &value);
    if (code == LINK_OK && level) *level = value;
    return code;
}

uint32_t ZAMSetFold(uint32_t handle, uint32_t deviceSize, uint32_t ramSize) {
    LinkSlot* s = ZAMLookup(handle);
    if (s == nullptr) return LINK_INVALID;
    uint32_t k = Kind(s);
    if (k != SLOT_USB && k != SLOT_SERIAL) return LINK_NOT_AVAILABLE;
    const KindDriver* d = DriverOf(s);
    return d->setFold ? d->setFold(s->impl, deviceSize, ramSize) : LINK_NOT_AVAILABLE;
}
