#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/unit_model.h"

// Simulated units on a PC printer port, modelled at register level: the port
// sees only writes to its data and control registers and reads of its data and
// status registers, exactly what the host's port layer does to real hardware.
// Written from the wire description only.
//
// The unit side of the nibble protocol:
// - control 0x09 is the resting state; a change from it to 0x0B, 0x01, 0x0D or
//   0x08 is a strobe that samples the data lines: 0x0B a mode byte (every unit
//   sees it; bits 6..7 select the unit, bits 3..4 its reset line, bits 0..2 the
//   mode: 0 idle, 1 read, 3 write, 7 write step), 0x01 the low address latch,
//   0x0D the middle latch (the high latch takes what the low latch held), 0x08
//   the data latch. Mode 7 stores the data latch at the latched address.
// - the selected unit drives status bits 4..7 with one nibble of its output
//   byte, chosen by data line 0 (0: low, 1: high), with bit 7 inverted by the
//   port; in read mode the output byte is RAM at the latched address, otherwise
//   the data latch (the echo). Status bit 3 is the identity bit of the middle
//   latch: its bit 0 on a Level 0 unit, its bit 4 on a Level 1 unit.
// - with no unit selected the status lines float high.
//
// PELMO_SIM_LPT lists units separated by ';', each a ','-separated list of
// key=value options (numbers decimal or 0x hex, the port in hex as typed in "P"):
//   port=HEX        base address of the port, default 378
//   unit=N|none     unit number 0..3, default 0; "none": the port has no unit
//   ram=KB          RAM size, power of two 32..1024, default 128
//   level=N         0 or 1, default 0
//   noreadback=XX   port fault: the data register reads 0xFF after XX was written
//   databit=B:V     port fault: data line B (0..7) stuck at V
//   echo=XX         unit fault: a data byte XX is echoed with bit 0 inverted
//   idbit=K         unit fault: identity bit K (0..15, in the order read) inverted
//   claimfail=K     port fault: from the K-th claim on (counting from 1) another
//                   program holds the port, so claiming it fails
// Port faults apply to the port whatever entry names them.
// PELMO_SIM_LPT_TRACE names a file that receives one line per register access.
// Example: PELMO_SIM_LPT="port=378,unit=0,ram=128,level=1;port=378,unit=1,ram=64"

namespace sim {

struct LptUnitOptions {
    uint32_t port = 0x378;
    bool present = true;  // false: "unit=none"
    uint8_t unit = 0;
    uint32_t ramKB = 128;
    uint8_t level = 0;
    int echoFault = -1;   // data byte echoed wrongly, or -1
    int idBitFault = -1;  // identity bit inverted, or -1
    int noReadback = -1;  // port: value the data register does not read back, or -1
    int stuckBit = -1;    // port: stuck data line, or -1
    uint8_t stuckValue = 0;
    uint32_t claimFail = 0;  // port: first claim that fails, 0 none
};

bool ParseLptUnitOptions(const std::string& text, LptUnitOptions* out, std::string* error);
bool ParseLptUnitList(const std::string& text, std::vector<LptUnitOptions>* out, std::string* error);

// Register offsets from the base address.
enum LptRegister : uint8_t { LPT_DATA = 0, LPT_STATUS = 1, LPT_CONTROL = 2 };

// One printer port with up to four units. Single-threaded, as the host drives it.
class LptPortModel {
public:
    explicit LptPortModel(uint32_t base) : base_(base) {}

    uint32_t base() const { return base_; }
    // Adds a unit; false if that unit number is already on the port.
    bool addUnit(const LptUnitOptions& o);
    void applyPortFaults(const LptUnitOptions& o);
    UnitModel* unit(uint8_t number);

    void writeData(uint8_t v);
    void writeControl(uint8_t v);
    uint8_t readData();
    uint8_t readStatus();
    // The host claims the port around each sequence; false when the claim fails.
    bool claim();
    uint32_t claims() const { return claims_; }

    // Counters. A run is a series of identical writes to one register with no
    // other register access between them; runs[reg][length] counts them.
    uint64_t writes() const { return writes_; }
    uint64_t reads() const { return reads_; }
    const std::map<uint32_t, uint64_t>& runs(LptRegister reg) const { return runs_[reg == LPT_DATA ? 0 : 1]; }
    void resetCounters();
    // Modes and strobes the units have seen (for tests of the sequences).
    uint64_t strobes() const { return strobes_; }
    // Closes any open run (so that it is counted) without a register access.
    void flushRun();

    // Trace of every access to a stdio stream (null: none); the caller owns it.
    void setTrace(std::FILE* f) { trace_ = f; }

private:
    struct Unit {
        std::unique_ptr<UnitModel> model;
        int echoFault = -1;
        int idBitFault = -1;
        bool selected = false;
        uint8_t mode = 0;
        uint8_t low = 0, middle = 0, high = 0, data = 0;
        uint8_t idRead = 0;  // identity strobes since the last mode byte
    };
    void access(char kind, LptRegister reg, uint8_t value);
    void strobe(uint8_t control);
    uint8_t lines() const;
    Unit* selected();

    uint32_t base_;
    std::vector<Unit> units_;
    uint8_t data_ = 0;  // what the host wrote to the data register
    uint8_t control_ = 0x0C;
    int noReadback_ = -1;
    int stuckBit_ = -1;
    uint8_t stuckValue_ = 0;
    uint32_t claimFail_ = 0;
    uint32_t claims_ = 0;
    uint64_t writes_ = 0, reads_ = 0, strobes_ = 0;
    std::map<uint32_t, uint64_t> runs_[2];
    int runReg_ = -1;
    uint8_t runValue_ = 0;
    uint32_t runLength_ = 0;
    std::FILE* trace_ = nullptr;
};

// ---- the process-wide set of simulated ports ----

// Adds the units of a list to their ports (created on first mention). False with
// *error on a bad list or a unit number given twice on one port.
bool AttachLptUnits(const std::string& list, std::string* error = nullptr);
bool AttachLptUnit(const LptUnitOptions& options, std::string* error = nullptr);
// The simulated port at this base address, or null.
LptPortModel* FindLptPort(uint32_t base);
void DetachAllLptPorts();
// Reads PELMO_SIM_LPT (and PELMO_SIM_LPT_TRACE) once per process; false and
// *error when the variable does not parse or the trace file cannot be opened.
bool AttachLptUnitsFromEnvironment(std::string* error = nullptr);
// Sends every port's register trace to this file (null: none). False when it cannot be opened.
bool SetLptTraceFile(const char* path);

}  // namespace sim
