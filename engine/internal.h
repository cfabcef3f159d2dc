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

}  // namespace engine_detail
