// What an open printer port does on every system: its registers through the table of
// the backend chosen at open.
#include "platform/lpt.h"
#include "platform/lpt_port.h"

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
