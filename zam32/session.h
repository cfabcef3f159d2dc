#pragma once
#include <cstdint>

#include "engine/engine.h"
#include "link/link.h"
#include "link/ram.h"

// The console's persistent session: port slots, unit records, the current port and
// lane selection; and the current lane set every memory command works on.

inline constexpr int UNIT_RECORDS = 8;
inline constexpr int PORT_SLOTS = 4;
inline constexpr uint32_t UNIT_FREE = 0xFFFF;
inline constexpr uint32_t LANE_EMPTY = 0xFFFF;
inline constexpr uint32_t SLOT_FREE = 0x7FFFFFFF;
inline constexpr int32_t DELAY_DEFAULT = 0x7FFF;
inline constexpr uint32_t SESSION_MAGIC = 0xAD68;

// A unit: the load defaults of "L" (an ImageRequest, which is also the lane's
// settings record for the RAM layer) plus the console's own fields.
struct UnitRecord {
    ImageRequest request;  // FileName, Start, Length, Target, Width, LoadVerify, DevSize, FoldMode
    uint32_t DumpPosition = 0;
    uint32_t UnitNumber = UNIT_FREE;
    uint32_t ResetNormal = RESET_HIZ;
    uint32_t ResetPulse = RESET_LOW;
    uint32_t PortSlot = 0;
};

struct PortSlot {
    uint32_t Selector = SLOT_FREE;
    int32_t Delay = DELAY_DEFAULT;
};

struct SessionBlock {
    uint32_t DumpLength = 0x80;
    uint32_t DumpWidth = 0x10;
    uint32_t CurrentPort = 1;
    uint32_t LaneCount = 1;
    uint32_t LaneUnits[4] = {};
    UnitRecord Units[UNIT_RECORDS];
    PortSlot Slots[PORT_SLOTS];
    uint32_t Magic = SESSION_MAGIC;
};

// The lanes of the current selection; set.count 0 = no usable selection.
struct CurrentLanes {
    UnitSet set;
    UnitRecord* records[4] = {};
    UnitLink* links[4] = {};
};

// Process-global session state.
SessionBlock& Session();
SessionBlock& LastSavedSession();
UnitLink* UnitLinks();  // one per unit record, same index
// Closes the link's handle, if it has one, and empties the link.
void CloseLink(UnitLink& link);
CurrentLanes& Lanes();

// OS class: 0 consumer family (Linux counts here), else the NT major version.
uint32_t OsClass();
void SetOsClass(uint32_t osClass);

// Port selectors.
bool IsParallelPort(uint32_t selector);
bool IsSerialPort(uint32_t selector);
// "v", "u", "c1", "l378" ...
const char* PortName(uint32_t selector, char* buffer);

void SessionDefaults();
void RecomputeLanes();
bool CheckUnit(int index);
void RemoveUnit(int index);
int FindUnit(uint32_t selector, uint32_t unit);  // record index or -1

// Reset levels, fold modes and verify modes by name.
const char* ResetLevelName(uint32_t level);
const char* FoldModeName(uint32_t mode);
const char* VerifyModeName(uint32_t mode);

// The default LoadVerify of new units and of L and F without a keyword.
uint32_t DefaultVerifyMode();
