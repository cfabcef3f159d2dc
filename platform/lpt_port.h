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

// The halves of LptOpen and LptClose that every system shares (lpt.cpp) and the
// parts each system supplies (lpt_posix.cpp, lpt_win32.cpp).

// The registered simulator's port model at `base` in *model (nullptr if there is none);
// false, with *info filled in, when the simulator's own configuration is bad.
bool LptSimulatedModel(uint32_t base, void** model, LptOpenInfo* info);
// A simulated port opened in the slot `slot`.
void LptOpenSimulated(LptPort* slot, uint32_t base, void* model);
// The port already open at `base` on `backend` (for a simulated port: on `model`), with
// one more user: one claim covers every unit on it. Else nullptr, with *free the first
// unused slot (nullptr when all are taken).
LptPort* LptShareOpen(uint32_t base, uint32_t backend, void* model, LptPort** free);

// The system's own name for printer port `portNumber`.
void LptSystemDeviceName(uint32_t portNumber, char* buffer, uint32_t size);
// Gives back what the system opened for a port whose last user closed it.
void LptSystemClose(LptPort* port);
