#pragma once
#include <cstdint>

// Emulator RAM access: placement, lanes, folding, verify and correction, sizing.

// Write modes.
enum : uint32_t { LOAD_ONLY = 0, LOAD_VERIFY = 1, VERIFY_ONLY = 2 };
// Fold modes (values above 2 count as 1).
enum : uint32_t { FOLD_NONE = 0, FOLD_SOCKET = 1, FOLD_FULL = 2 };

// The per-lane settings the RAM layer needs; the engine's ImageRequest extends it.
struct LaneSettings {
    uint32_t LoadVerify = 0;
    uint32_t DevSize = 0;
    uint32_t FoldMode = 0;
};

struct UnitLink {
    uint32_t FoldMask = 0;
    uint32_t LoadBase = 0;
    uint32_t handle = 0;
    uint32_t MaxK = 0;
};

struct UnitSet {
    uint32_t count = 1;     // lanes 1..4; image byte x lives in lane x mod count at x / count
    uint32_t DevSize = 0;
    const LaneSettings* settings[4] = {};
    const UnitLink* links[4] = {};  // absent lanes read as 0xFF and are never written
};

// Placement of a lane: LoadBase and FoldMask for the unit's MaxK, the device size and fold mode.
void RamPlaceLane(UnitLink& link, uint32_t devSize, uint32_t foldMode);
uint32_t RamFoldModeOf(uint32_t foldMode);  // 0..2, larger values mean 1

uint32_t RamBeginWrite(const UnitSet& set, uint32_t start, uint32_t length, uint32_t mode);
uint32_t RamWriteBlock(const uint8_t* data, uint32_t length, uint32_t* corrected, uint32_t* done);
void RamBeginBufferedWrite(const UnitSet& set, uint32_t mode);
uint32_t RamBufferedWrite(uint32_t address, const uint8_t* data, uint32_t length, uint32_t* corrected,
                          uint32_t* failAddress);
uint32_t RamFlush(uint32_t* corrected, uint32_t* failAddress);
uint32_t RamEndWrite(uint32_t* corrected, uint32_t* failAddress);
uint32_t RamApplyFold();
void RamLastMismatch(uint8_t* unitByte, uint8_t* expected);
uint32_t RamReadBlock(const UnitSet& set, uint8_t* buffer, uint32_t address, uint32_t length);
uint32_t RamTestUnit(uint32_t handle, uint32_t* MaxK);
uint32_t NextFoldAddress(uint32_t address, uint32_t mask);

// The running image address of the current write job.
uint32_t RamRunningAddress();
