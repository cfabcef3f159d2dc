#pragma once
#include <cstdint>

#include "engine/engine.h"

// Helpers shared by the engine's source files (not part of the public interface).
namespace engine_detail {

// The engine's work buffer: the writers' record buffer (32 KB plus room for the
// longest record) and the fill/checksum piece buffer.
inline constexpr uint32_t kPiece = 32768;
inline constexpr uint32_t kMargin = 600;
uint8_t* WorkBuffer();

// Characters that may stand between records.
inline bool IsSeparator(uint8_t c) {
    return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x20 || c == 0x7F;
}

// Write modes above 2 are not in the tables; they run as plain loads.
inline uint32_t ModeOf(uint32_t loadVerify) { return loadVerify > VERIFY_ONLY ? LOAD_ONLY : loadVerify; }

// "DEVICE FAILURE (SUBCODE s-k)" or the cancelled form, always shown.
void DeviceFailure(EngineOutput& out, unsigned site, uint32_t code);
// The error line for a byte that would not take (or differs, when verifying) at a
// device address, and the expected/actual byte line.
void MismatchLines(EngineOutput& out, uint32_t mode, uint32_t address);

// Completion line of a load by mode, and the highest-address line (none when 0).
void CompletionLine(EngineOutput& out, uint32_t mode, uint32_t corrected, uint32_t total);
void HighestLine(EngineOutput& out, uint32_t mode, uint32_t highest);

// The placement every run of image bytes goes through (a data record, a piece of an
// ELF segment): cut to the window, every Width-th byte, moved to the target, through
// the buffered writer begun with RamBeginBufferedWrite.
struct Run {
    uint32_t mode = 0;
    uint64_t start = 0;      // first file address taken
    uint64_t windowEnd = 0;  // last file address taken
    uint32_t target = 0;
    uint32_t width = 1;
    uint64_t devSize = 0;
    uint32_t total = 0, corrected = 0, highest = 0;  // bytes placed, corrections, highest address + 1
};
enum : uint32_t { RUN_PLACED = 0, RUN_OUTSIDE = 1, RUN_FAILED = 2 };
// Places n bytes at file address a (the bytes may be compacted in place). RUN_OUTSIDE:
// they would go beyond the device (nothing written, the caller names the record);
// RUN_FAILED: a device failure or mismatch, its lines written.
uint32_t PlaceRun(EngineOutput& out, Run& run, uint64_t a, uint8_t* data, uint32_t n);
// Ends the buffered write: flush, fold, the failure or incomplete lines, and the
// $0 result when the load went through. RUN_PLACED or RUN_FAILED.
uint32_t FinishRuns(EngineOutput& out, Run& run, bool cancelled);

}  // namespace engine_detail
