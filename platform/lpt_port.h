#pragma once
#include <cstdint>

#include "platform/lpt.h"

// An open printer port: the backend's operations and the context they run on (for
// ppdev and raw ports the port itself, for a simulated port the simulator's port
// model). Shared by the systems' files and lpt.cpp.
struct LptPort {
    uint32_t backend = LPT_BACKEND_NONE;
    uint32_t base = 0;
    int fd = -1;  // the ppdev device (Linux only)
    const LptOps* ops = nullptr;
    void* context = nullptr;
    uint32_t users = 0;
};
