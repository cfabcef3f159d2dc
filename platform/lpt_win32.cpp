#include "platform/lpt.h"
#include "platform/lpt_port.h"

#include <cstdio>

// Windows of the NT family gives a program no direct access to I/O ports and has no
// parport device to reach them through: only a simulated port opens here. The console
// program refuses printer ports on that family before it comes this far; the rest is
// for the simulated ports and for callers that ask anyway.

void LptSystemDeviceName(uint32_t portNumber, char* buffer, uint32_t size) {
    std::snprintf(buffer, size, "LPT%u", portNumber);
}

void LptSystemClose(LptPort*) {}

uint32_t LptOpen(uint32_t, uint32_t base, LptPort** port, LptOpenInfo* info) {
    *info = LptOpenInfo{};
    *port = nullptr;
    void* model = nullptr;
    if (!LptSimulatedModel(base, &model, info)) return info->result;
    if (model == nullptr) {
        // No backend to choose: the system itself offers none.
        info->backend = LPT_BACKEND_NONE;
        return info->result = LPT_NO_IO_PORTS;
    }
    info->backend = LPT_BACKEND_SIM;
    LptPort* free = nullptr;
    if ((*port = LptShareOpen(base, LPT_BACKEND_SIM, model, &free)) != nullptr) return LPT_OK;
    if (free == nullptr) return info->result = LPT_SYSTEM;
    LptOpenSimulated(free, base, model);
    *port = free;
    return LPT_OK;
}
