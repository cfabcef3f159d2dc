// What an open printer port does on every system: its registers through the table of
// the backend chosen at open.
#include "platform/lpt.h"
#include "platform/lpt_port.h"

#include <cstdio>
#include <cstdlib>

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
    else LptSystemDeviceName(portNumber, buffer, size);
}

bool LptSimulatedModel(uint32_t base, void** model, LptOpenInfo* info) {
    *model = nullptr;
    if (g_simulator == nullptr) return true;
    if (!g_simulator->attachFromEnvironment(info->reason, sizeof info->reason)) {
        info->backend = LPT_BACKEND_SIM;
        info->result = LPT_SIM_CONFIG;
        return false;
    }
    *model = g_simulator->findPort(base);
    return true;
}

void LptOpenSimulated(LptPort* slot, uint32_t base, void* model) {
    *slot = LptPort{};
    slot->backend = LPT_BACKEND_SIM;
    slot->base = base;
    slot->ops = g_simulator->ops;
    slot->context = model;
    slot->users = 1;
}

LptPort* LptShareOpen(uint32_t base, uint32_t backend, void* model, LptPort** free) {
    *free = nullptr;
    for (LptPort& p : g_ports) {
        if (p.users == 0) {
            if (!*free) *free = &p;
        } else if (p.base == base && p.backend == backend && (backend != LPT_BACKEND_SIM || p.context == model)) {
            ++p.users;
            return &p;
        }
    }
    return nullptr;
}

void LptClose(LptPort* port) {
    if (port == nullptr || port->users == 0) return;
    if (--port->users > 0) return;
    LptSystemClose(port);
    *port = LptPort{};
}

uint32_t LptClaim(LptPort* port) { return port->ops->claim(port->context); }
void LptRelease(LptPort* port) { port->ops->release(port->context); }
void LptWriteData(LptPort* port, uint8_t value) { port->ops->writeData(port->context, value); }
uint8_t LptReadData(LptPort* port) { return port->ops->readData(port->context); }
uint8_t LptReadStatus(LptPort* port) { return port->ops->readStatus(port->context); }
void LptWriteControl(LptPort* port, uint8_t value) { port->ops->writeControl(port->context, value); }

uint32_t LptBackendOf(const LptPort* port) { return port ? port->backend : LPT_BACKEND_NONE; }

const char* LptResultText(uint32_t result) {
    switch (result) {
    case LPT_OK: return "ok";
    case LPT_NO_DEVICE: return "no such parallel port device";
    case LPT_NO_PERMISSION: return "permission denied";
    case LPT_NOT_PARPORT: return "not a parallel port device";
    case LPT_BUSY: return "port in use by another driver or program";
    case LPT_NOT_X86: return "raw I/O ports exist only on x86";
    case LPT_NO_IO_PORTS: return "this system offers no I/O-port access";
    case LPT_SIM_CONFIG: return "simulated port configuration is invalid";
    default: return "system failure";
    }
}
