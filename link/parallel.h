#pragma once
#include <cstdint>
#include <string>

#include "link/transport.h"
#include "platform/lpt.h"

// The parallel-port transport: units on a PC printer port driven through its
// data, status and control registers with the nibble protocol. Timing comes from
// repeating each timed register write delay-count times; delays 0..5 use
// straight-line routine sets, negative delays the counted set.

inline constexpr uint32_t PARALLEL_RECORD_COUNT = 17;
inline constexpr uint32_t PARALLEL_DEFAULT_OPTION = 0x80000000u;  // the default delay, 2

struct ParallelRecord;

struct ParallelRoutineSet {
    void (*write)(ParallelRecord* r, uint32_t address, const uint8_t* data, uint32_t length);
    void (*read)(ParallelRecord* r, uint8_t* buffer, uint32_t address, uint32_t length);
    // Returns the number of leading bytes that match; *unitByte gets the unit's byte there.
    uint32_t (*compare)(ParallelRecord* r, uint32_t address, const uint8_t* data, uint32_t length, uint8_t* unitByte);
    void (*setReset)(ParallelRecord* r, uint32_t level);
    // Open probe: control rest, mode idle then write.
    void (*begin)(ParallelRecord* r);
    // Open probe: a byte strobed into the unit and read back.
    uint8_t (*exchange)(ParallelRecord* r, uint8_t value);
    // Open probe: a value strobed as the middle address byte; the status register after it.
    uint8_t (*identity)(ParallelRecord* r, uint8_t value);
    // Mode idle and release.
    void (*end)(ParallelRecord* r);
    int fixedDelay;  // d of a straight-line set, -1 for the counted set
};

// Routine sets 0..5 for those fixed delays, 6 the counted set.
extern const ParallelRoutineSet ParallelRoutineSets[7];

struct ParallelRecord {
    const ParallelRoutineSet* routines = nullptr;
    uint16_t delayCount = 0;  // d + 1
    bool inUse = false;
    uint16_t dataPort = 0, statusPort = 0, controlPort = 0;
    uint8_t modeShadow = 0;  // unit number in bits 6..7, reset control in bits 3..4
    LptPort* port = nullptr;
    int32_t delay = 0;   // effective delay setting
    uint32_t level = 0;  // 0 or 1, from the identity bits
};

// Why an open failed: stage 0..3 (codes 1, 2, 5, 3) and the detail
// (0 address, 20 port could not be opened or claimed, 30 self-test, 35 unit
// number, 45 echo, 70 identity) with the bytes or word involved.
struct ParallelOpenFailure {
    uint32_t stage = 0;
    uint32_t detail = 0;
    uint32_t selector = 0;
    uint32_t base = 0;
    uint32_t unit = 0;
    uint8_t expected = 0;
    uint8_t read = 0;
    uint16_t word = 0;
    LptOpenInfo platform;
};

// The effective delay for an open option (0x80000000: the default).
int32_t ParallelEffectiveDelay(uint32_t option);
// The link code an open stage maps to.
uint32_t ParallelStageCode(uint32_t stage);

// Returns a link code; on success *record is claimed, else *failure says why.
uint32_t ParallelOpen(uint32_t selector, uint32_t unit, uint32_t option, ParallelRecord** record,
                      ParallelOpenFailure* failure);
void ParallelClose(ParallelRecord* record);

// One information line per failure saying what went wrong, for the user; the
// kind driver's open hands it back as LinkOpenResult::failure.
std::string ParallelOpenFailureText(const ParallelOpenFailure& failure);

const ParallelRecord* ParallelRecords();
const KindDriver* ParallelKindDriver();
