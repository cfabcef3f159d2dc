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
void MismatchLines(EngineOutput& out, const RamWriteJob& job, uint32_t mode, uint32_t address);

// Completion line of a load by mode, and the highest-address line (none when 0).
void CompletionLine(EngineOutput& out, uint32_t mode, uint32_t corrected, uint32_t total);
void HighestLine(EngineOutput& out, uint32_t mode, uint32_t highest);

// The longest run PlaceRun takes (an ELF piece; records hold at most 255 bytes).
inline constexpr uint32_t kMaxRun = 4096;

// The placement every run of image bytes goes through (a data record, a piece of an
// ELF segment): PlanPlacement, then the sink.
struct Run {
    uint32_t mode = 0;
    LoadWindow window;
    uint32_t total = 0, corrected = 0, highest = 0;  // bytes placed, corrections, highest address + 1
};
enum class RunResult : uint8_t { Placed, Outside, Failed };
// Places n (at most kMaxRun) bytes at file address a. Outside: they would go beyond the
// device (nothing written, the caller names the record); Failed: a device failure or
// mismatch, its lines written.
RunResult PlaceRun(EngineOutput& out, Run& run, ByteSink& sink, uint64_t a, const uint8_t* data, uint32_t n);
// Ends the sink's write: the failure or incomplete lines, and the result when the load
// went through. False when it did not.
bool FinishRuns(EngineOutput& out, Run& run, ByteSink& sink, bool cancelled);

// The unit's RAM through a buffered write job of its own.
class RamSink : public ByteSink {
public:
    explicit RamSink(const UnitSet& set) : set_(set) {}
    void Begin(uint32_t mode) override;
    bool Write(EngineOutput& out, uint32_t device, const uint8_t* bytes, uint32_t count, uint32_t* corrected) override;
    bool End(EngineOutput& out, uint32_t* corrected) override;

private:
    const UnitSet& set_;
    uint32_t mode_ = 0;
    RamWriteJob job_;
};

}  // namespace engine_detail
