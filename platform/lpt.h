#pragma once
#include <cstdint>

// Printer-port registers: write data, read data, read status, write control,
// claimed around each sequence so that no other program interleaves with it.
// Three backends, each a table of register operations chosen at open:
// - a simulated port, when a simulator has registered itself (see
//   LptRegisterSimulator) and has a port model at the base address;
// - ppdev: LPT1..LPT4 are /dev/parport0..3 (or $ZAMLPTn if set), and a base
//   address that belongs to a parport device is reached through that device;
// - raw I/O ports (ioperm, inb/outb) for any other base address, where the
//   process may (root on x86).

struct LptPort;

enum LptBackend : uint32_t { LPT_BACKEND_NONE = 0, LPT_BACKEND_SIM, LPT_BACKEND_PPDEV, LPT_BACKEND_RAW };

enum LptResult : uint32_t {
    LPT_OK = 0,
    LPT_NO_DEVICE,      // the parport device does not exist
    LPT_NO_PERMISSION,  // the device or the I/O ports may not be used by this process
    LPT_NOT_PARPORT,    // the file is not a parallel port device
    LPT_BUSY,           // another driver or program holds the port
    LPT_NOT_X86,        // raw I/O ports exist only on x86
    LPT_NO_IO_PORTS,    // the system offers no I/O-port access
    LPT_SIM_CONFIG,     // PELMO_SIM_LPT does not parse
    LPT_SYSTEM,         // any other system failure
};

struct LptOpenInfo {
    uint32_t result = LPT_OK;
    uint32_t backend = LPT_BACKEND_NONE;
    int sysError = 0;       // errno of the failing call
    char path[96] = {};     // the device file, when ppdev was chosen
    char reason[160] = {};  // simulated-port configuration error
};

// portNumber: 1..4 for LPT1..LPT4, else 0; base: the data register address.
// Ports opened more than once share one handle (counted).
uint32_t LptOpen(uint32_t portNumber, uint32_t base, LptPort** port, LptOpenInfo* info);
void LptClose(LptPort* port);
// Claim before a sequence, release after it; claim returns an LptResult.
uint32_t LptClaim(LptPort* port);
void LptRelease(LptPort* port);

void LptWriteData(LptPort* port, uint8_t value);
uint8_t LptReadData(LptPort* port);
uint8_t LptReadStatus(LptPort* port);
void LptWriteControl(LptPort* port, uint8_t value);

uint32_t LptBackendOf(const LptPort* port);

// The register operations of one backend, each on the context the backend chose
// for the port at open (opaque to everything else).
struct LptOps {
    uint32_t (*claim)(void* context);  // an LptResult
    void (*release)(void* context);
    void (*writeData)(void* context, uint8_t value);
    uint8_t (*readData)(void* context);
    uint8_t (*readStatus)(void* context);
    void (*writeControl)(void* context, uint8_t value);
};

// A simulated printer port backend. Every open first asks it to attach its ports
// from the environment (false: the configuration is bad, with a NUL-terminated
// reason written into reason[0..size)), then for the port model at the base
// address: its context for `ops`, or null when the address is not simulated.
struct LptSimulator {
    bool (*attachFromEnvironment)(char* reason, uint32_t size);
    void* (*findPort)(uint32_t base);
    const LptOps* ops;
};

// Registers the simulator (null: none). The simulator calls it during static
// initialisation; the table must outlive every open port.
void LptRegisterSimulator(const LptSimulator* simulator);
// The device file for LPTn (1..4): $ZAMLPTn if set, else /dev/parport(n-1).
void LptDevicePath(uint32_t portNumber, char* buffer, uint32_t size);
// A short text for a failed open, e.g. "/dev/parport0: no such device".
const char* LptResultText(uint32_t result);
