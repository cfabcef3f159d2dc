#include "platform/lpt.h"
#include "platform/lpt_port.h"

#include <cstdio>
#include <cstdlib>

// Windows of the NT family gives a program no direct access to I/O ports and has no
// parport device to reach them through: only a simulated port opens here. The console
// program refuses printer ports on that family before it comes this far; the rest is
// for the simulated ports and for callers that ask anyway.

namespace {

constexpr int kMaxPorts = 17;  // one per transport record at most
LptPort g_ports[kMaxPorts];
const LptSimulator* g_simulator = nullptr;

}  // namespace

void LptRegisterSimulator(const LptSimulator* simulator) { g_simulator = simulator; }

void LptDevicePath(uint32_t portNumber, char* buffer, uint32_t size) {
    char name[16];
    std::snprintf(name, sizeof name, "ZAMLPT%u", portNumber);
    const char* over = std::getenv(name);
    if (over && *over) std::snprintf(buffer, size, "%s", over);
    else std::snprintf(buffer, size, "LPT%u", portNumber);
}

uint32_t LptOpen(uint32_t portNumber, uint32_t base, LptPort** port, LptOpenInfo* info) {
    (void)portNumber;
    *info = LptOpenInfo{};
    *port = nullptr;
    if (g_simulator && !g_simulator->attachFromEnvironment(info->reason, sizeof info->reason)) {
        info->backend = LPT_BACKEND_SIM;
        return info->result = LPT_SIM_CONFIG;
    }
    void* model = g_simulator ? g_simulator->findPort(base) : nullptr;
    if (model == nullptr) {
        // No backend to choose: the system itself offers none.
        info->backend = LPT_BACKEND_NONE;
        return info->result = LPT_NO_IO_PORTS;
    }
    info->backend = LPT_BACKEND_SIM;
    // A port already open in this process is shared: one claim covers every unit on it.
    LptPort* free = nullptr;
    for (LptPort& p : g_ports) {
        if (p.users == 0) {
            if (!free) free = &p;
        } else if (p.base == base && p.context == model) {
            ++p.users;
            *port = &p;
            return LPT_OK;
        }
    }
    if (free == nullptr) return info->result = LPT_SYSTEM;
    free->backend = LPT_BACKEND_SIM;
    free->base = base;
    free->ops = g_simulator->ops;
    free->context = model;
    free->users = 1;
    *port = free;
    return LPT_OK;
}

void LptClose(LptPort* port) {
    if (port == nullptr || port->users == 0) return;
    if (--port->users > 0) return;
    *port = LptPort{};
}
