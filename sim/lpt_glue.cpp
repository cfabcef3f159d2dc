// The simulated printer ports as a backend of the port layer: at static
// initialisation this registers a table whose port models are the ports named in
// PELMO_SIM_LPT, so the port layer reaches them without knowing the simulator.
// Built as an object library that the pelmolpt target hands to every program and
// shared library linking it (see sim/CMakeLists.txt): nothing refers to this file
// by name, so from a static archive the linker would leave it out.
#include <cstdio>
#include <string>

#include "platform/lpt.h"
#include "sim/lpt_unit.h"

namespace {

sim::LptPortModel* Model(void* context) { return static_cast<sim::LptPortModel*>(context); }

uint32_t Claim(void* c) { return Model(c)->claim() ? LPT_OK : LPT_BUSY; }
void Release(void*) {}
void WriteData(void* c, uint8_t value) { Model(c)->writeData(value); }
uint8_t ReadData(void* c) { return Model(c)->readData(); }
uint8_t ReadStatus(void* c) { return Model(c)->readStatus(); }
void WriteControl(void* c, uint8_t value) { Model(c)->writeControl(value); }
constexpr LptOps kOps{Claim, Release, WriteData, ReadData, ReadStatus, WriteControl};

bool AttachFromEnvironment(char* reason, uint32_t size) {
    std::string error;
    if (sim::AttachLptUnitsFromEnvironment(&error)) return true;
    std::snprintf(reason, size, "%s", error.c_str());
    return false;
}

void* FindPort(uint32_t base) { return sim::FindLptPort(base); }

constexpr LptSimulator kSimulator{AttachFromEnvironment, FindPort, &kOps};

struct Registration {
    Registration() { LptRegisterSimulator(&kSimulator); }
} g_registration;

}  // namespace
