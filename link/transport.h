#pragma once
#include <cstdint>
#include <string>

// What a hardware unit kind (USB, serial, parallel) supplies to the link layer.
// Each transport installs its driver; until one is installed the kind's opens
// fail with the code the driver's absence means for it.

struct LinkOpenResult {
    void* impl = nullptr;  // the transport record
    uintptr_t Info = 0;    // identity word, or the parallel base address
    uint32_t Delay = 0;    // parallel only
    uint32_t Level = 0;
    // A failed open says here why, as the lines the user is shown after the code's
    // own line; empty when the kind has nothing to add.
    std::string failure;
};

struct KindDriver {
    // USB: a = unit number; serial: a = COM number; parallel: a = selector, b = unit, c = option.
    uint32_t (*open)(uint32_t a, uint32_t b, uint32_t c, LinkOpenResult* out);
    void (*close)(void* impl);
    uint32_t (*write)(void* impl, uint32_t address, const uint8_t* data, uint32_t length);
    uint32_t (*read)(void* impl, uint8_t* buffer, uint32_t address, uint32_t length);
    uint32_t (*compare)(void* impl, uint32_t* equal, uint8_t* unitByte, uint32_t address, const uint8_t* data,
                        uint32_t length);
    uint32_t (*setReset)(void* impl, uint32_t level);
    uint32_t (*getReset)(void* impl, uint32_t* level);  // may be null: the slot's reset word answers
    uint32_t (*setFold)(void* impl, uint32_t deviceSize, uint32_t ramSize);  // may be null: 5
};

// Installs the driver of one kind (SLOT_USB, SLOT_SERIAL or SLOT_PARALLEL); null restores
// the built-in one. Returns the driver that was installed before.
const KindDriver* LinkSetKindDriver(uint32_t kindBit, const KindDriver* driver);
const KindDriver* LinkKindDriver(uint32_t kindBit);
