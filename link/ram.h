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
    uint32_t count = 1;  // lanes 1..4; image byte x lives in lane x mod count at x / count
    uint32_t DevSize = 0;
    const LaneSettings* settings[4] = {};
    const UnitLink* links[4] = {};  // absent lanes read as 0xFF and are never written
};

// Placement of a lane: LoadBase and FoldMask for the unit's MaxK, the device size and fold mode.
void RamPlaceLane(UnitLink& link, uint32_t devSize, uint32_t foldMode);
uint32_t RamFoldModeOf(uint32_t foldMode);  // 0..2, larger values mean 1

// One write to the units of a set: the lanes' choice of who makes the fold copies, the
// running address, the run the buffered writer gathers and the last mismatch. Each caller
// owns its job, so two writes never see each other's units, mode or buffer.
class RamWriteJob {
public:
    static constexpr uint32_t kPiece = 0x8000;

    // Direct writes: blocks in image order from start; ApplyFold once the last is written.
    uint32_t Begin(const UnitSet& set, uint32_t start, uint32_t length, uint32_t mode);
    uint32_t WriteBlock(const uint8_t* data, uint32_t length, uint32_t* corrected, uint32_t* done);
    // Buffered writes: records at any address gather into runs; End flushes and folds.
    void BeginBuffered(const UnitSet& set, uint32_t mode);
    uint32_t BufferedWrite(uint32_t address, const uint8_t* data, uint32_t length, uint32_t* corrected,
                           uint32_t* failAddress);
    uint32_t Flush(uint32_t* corrected, uint32_t* failAddress);
    uint32_t End(uint32_t* corrected, uint32_t* failAddress);
    uint32_t ApplyFold() const;
    void LastMismatch(uint8_t* unitByte, uint8_t* expected) const;
    // The running image address of a direct write.
    uint32_t RunningAddress() const;

private:
    void ChooseLaneFolds(const UnitSet& set, uint32_t mode, bool directJob, uint32_t length);
    uint32_t WriteLane(const UnitLink& link, uint32_t laneMask, uint32_t a, const uint8_t* data, uint32_t n,
                       uint32_t* corrected, uint32_t* done);
    uint32_t SpreadWrite(uint32_t a, const uint8_t* data, uint32_t n, uint32_t* corrected, uint32_t* done);

    UnitSet set_;
    uint32_t address_ = 0;
    uint32_t mode_ = 0;
    uint32_t laneMask_[4] = {};
    uint8_t buffer_[kPiece];
    uint32_t bufStart_ = 0;
    uint32_t bufFill_ = 0;
    uint8_t lastExpected_ = 0;
    uint8_t lastUnit_ = 0;
};

uint32_t RamReadBlock(const UnitSet& set, uint8_t* buffer, uint32_t address, uint32_t length);
uint32_t RamTestUnit(uint32_t handle, uint32_t* MaxK);
uint32_t NextFoldAddress(uint32_t address, uint32_t mask);
