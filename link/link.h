#pragma once
#include <cstdint>
#include <memory>
#include <string>

// Link handles, unit kinds, device-type tables and the generic operations on a unit.

// A link handle is 25765 + slot index.
constexpr uint32_t LINK_HANDLE_BASE = 25765;
constexpr uint32_t LINK_SLOT_COUNT = 10;

// Slot flags word.
enum : uint32_t {
    SLOT_OPEN = 1,
    SLOT_PARALLEL = 2,
    SLOT_VIRTUAL = 4,
    SLOT_USB = 8,
    SLOT_SERIAL = 0x10,
};

// Open selectors of ZAMInit.
constexpr uint32_t SELECT_VIRTUAL = 0;
constexpr uint32_t SELECT_USB = 0x80000000u;
constexpr uint32_t SELECT_SERIAL = 0x40000000u;  // OR the COM port number
constexpr uint32_t PARALLEL_DEFAULT_DELAY = 0x7FFF;

// Reset levels.
enum : uint32_t { RESET_LOW = 0, RESET_HIGH = 1, RESET_HIZ = 2, RESET_UNCHANGED = 3 };

struct LinkSlot {
    uint32_t flags;
    void* impl;                      // virtual: memory block; others: the transport record
    uint32_t size;                   // virtual only: bytes in the block
    uintptr_t Info;                  // parallel: base address; USB, serial: identity word
    uint32_t Delay;                  // parallel: effective delay
    uint32_t Level;                  // hardware level; 3 = folds in hardware
    uint32_t reset;                  // last reset level of virtual and parallel units
    std::unique_ptr<uint8_t[]> ram;  // virtual only: owns the block impl points at
};

// When the open fails and `failure` is given, it gets what that open found wrong
// (LinkOpenResult::failure of the kind's driver), else it is emptied.
uint32_t ZAMInit(uint32_t* handle, uint32_t selector, uint32_t unit, uint32_t size, uint32_t option,
                 std::string* failure = nullptr);
uint32_t ZAMClose(uint32_t handle);
void ZAMCloseAll();
LinkSlot* ZAMLookup(uint32_t handle);

// Owns one open link handle and closes it when it goes, so an early return cannot leave
// the slot taken; release() hands the handle to a longer-lived owner instead.
class UnitHandle {
public:
    UnitHandle() = default;
    explicit UnitHandle(uint32_t handle) : handle_(handle) {}
    UnitHandle(UnitHandle&& other) noexcept : handle_(other.release()) {}
    UnitHandle& operator=(UnitHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UnitHandle(const UnitHandle&) = delete;
    UnitHandle& operator=(const UnitHandle&) = delete;
    ~UnitHandle() { reset(); }

    uint32_t get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }
    uint32_t release() {
        const uint32_t h = handle_;
        handle_ = 0;
        return h;
    }
    void reset(uint32_t handle = 0) {
        if (handle_ != 0 && handle_ != handle) ZAMClose(handle_);
        handle_ = handle;
    }

private:
    uint32_t handle_ = 0;
};
uint32_t ZAMGetInfo(uint32_t handle);
uint32_t ZAMGetDelay(uint32_t handle);
uint32_t ZAMGetLevel(uint32_t handle);

// The port-address table: entry 0 is never valid, then LPT1..LPT4.
extern uint16_t PortAddressTable[5];

// Device sizes by EPROM type number 0..10; a type above 10 counts as 0.
extern const uint32_t DeviceSizeTable[11];
uint32_t DeviceSizeForType(uint32_t type);

struct DeviceTypeRow {
    const char* name;
    uint32_t size;
    uint32_t baseMask;
    uint32_t foldMask;
};
constexpr int DEVICE_TYPE_ROWS = 51;
extern const DeviceTypeRow DeviceTypeTable[DEVICE_TYPE_ROWS];
// The first row with this size, else the "-" terminator row.
const DeviceTypeRow& DeviceTypeBySize(uint32_t size);

// Generic operations (results are link error codes).
uint32_t ZAMWrite(uint32_t handle, uint32_t address, const uint8_t* data, uint32_t length);
uint32_t ZAMRead(uint32_t handle, uint8_t* buffer, uint32_t address, uint32_t length);
uint32_t ZAMCompare(uint32_t* equal, uint8_t* unitByte, uint32_t handle, uint32_t address, const uint8_t* data,
                    uint32_t length);
uint32_t ZAMSetReset(uint32_t handle, uint32_t level);
uint32_t ZAMGetReset(uint32_t handle, uint32_t* level);
uint32_t ZAMSetFold(uint32_t handle, uint32_t deviceSize, uint32_t ramSize);
