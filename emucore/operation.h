#pragma once
#include <cstdint>

#include "engine/engine.h"
#include "link/ram.h"

namespace emucore {

// The records of one operation, built per call from the current unit and the
// arguments and never kept. Not copyable: the set points into the record itself.
struct OperationRecords {
    ImageRequest request;
    UnitLink link;
    UnitSet set;

    OperationRecords() = default;
    OperationRecords(const OperationRecords&) = delete;
    OperationRecords& operator=(const OperationRecords&) = delete;
};

// Common set-up (VXAInfoSetup): device size, mapped verify and fold modes, the
// current unit's link and its placement, one lane.
void InfoSetup(OperationRecords& rec, int32_t verify, int32_t fold);

}  // namespace emucore
