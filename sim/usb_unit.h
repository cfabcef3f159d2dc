#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/unit_model.h"

// A simulated USB emulator unit: the unit model behind four endpoints in
// descriptor order (answer in, command out, bulk in, bulk out), answering the
// 10-byte command packets with 8-byte answers and moving bulk data, with faults
// on request. Written from the wire description only.
//
// PELMO_SIM_USB lists units separated by ';', each a ','-separated list of
// key=value options (numbers decimal or 0x hex):
//   unit=N        unit number reported in the status (0..3), default 0
//   ram=KB        RAM size, power of two 32..1024, default 1024
//   level=N       hardware level (3 = folds itself), default 0
//   id=W          identity word, default 0
//   packet=P      max packet size of the bulk endpoints, 8..255, default 64
//   vid=V,pid=P   USB vendor and product, default 0x1209:0x5047
//   endpoints=K   endpoints on the interface, 1..4, default 4
//   cfgpad=B      extra vendor descriptor bytes in the configuration set, default 0
//   bulkdelay=MS  every bulk transfer takes MS milliseconds, default 0
//   seed=S        seed for the seeded faults, default 1
//   dead=1        the unit never answers a command
//   fault=F       one fault; repeat the option for more. F is kind[:args]:
//     lost-answer:N      the answer to command N never comes (answer pipe says "not yet")
//     late-answer:N:MS   the answer to command N shows only MS ms after the command
//     stale-answer:N     command N is answered with the previous command's sequence byte
//     bad-status:N       the answer to command N carries 0x15 instead of 0x60
//     short-answer:N     answer-pipe transfer N moves 7 bytes
//     answer-fail:N      answer-pipe transfer N fails on the bus (stall)
//     answer-hang:N      answer-pipe transfer N never completes
//     cmd-fail:N         command transfer N fails on the bus (stall)
//     cmd-hang:N         command transfer N never completes
//     short-cmd:N        command transfer N moves 9 bytes and is ignored
//     short-count:N      byte-count command (0x2A) number N reports one byte less
//     bulk-fail:N        bulk transfer N (either direction) fails on the bus
//     bulk-hang:N        bulk transfer N never completes
//     short-bulk:N       bulk transfer N moves one byte less than asked
//     stuck:ADDR:MASK:V  the bits MASK of RAM byte ADDR always read as V
//     lost-writes:B:MAX  B seeded addresses each lose 1..MAX writes
//     vanish:N           the unit is unplugged when command N arrives
//     random:PERMILLE    each command, from the seed, has that chance of a lost,
//                        stale, bad-status or late (300 ms) answer
// N counts from 1 since the unit was attached; each kind counts its own events
// (commands, answer-pipe transfers, 0x2A commands or bulk transfers).
// Example: PELMO_SIM_USB="unit=0,ram=1024,level=3;unit=1,ram=256,fault=lost-answer:3,seed=7"

namespace sim {

enum UsbFaultKind : uint8_t {
    USBF_LOST_ANSWER,
    USBF_LATE_ANSWER,
    USBF_STALE_ANSWER,
    USBF_BAD_STATUS,
    USBF_SHORT_ANSWER,
    USBF_ANSWER_FAIL,
    USBF_ANSWER_HANG,
    USBF_CMD_FAIL,
    USBF_CMD_HANG,
    USBF_SHORT_CMD,
    USBF_SHORT_COUNT,
    USBF_BULK_FAIL,
    USBF_BULK_HANG,
    USBF_SHORT_BULK,
    USBF_STUCK,
    USBF_LOST_WRITES,
    USBF_VANISH,
    USBF_RANDOM,
};

struct UsbFault {
    UsbFaultKind kind;
    uint32_t n = 0;  // event number (1-based) or first argument
    uint32_t a = 0;  // further arguments
    uint32_t b = 0;
};

struct UsbUnitOptions {
    uint8_t unit = 0;
    uint32_t ramKB = 1024;
    uint8_t level = 0;
    uint16_t identity = 0;
    uint16_t packet = 64;
    uint16_t vendor = 0x1209;
    uint16_t product = 0x5047;
    uint8_t endpoints = 4;
    uint32_t cfgPad = 0;
    uint32_t bulkDelayMs = 0;
    uint32_t seed = 1;
    bool dead = false;
    std::vector<UsbFault> faults;
};

// Parses one unit's options ("unit=0,ram=256,...") or a ';'-separated list.
// False with a message in *error on the first bad option.
bool ParseUsbUnitOptions(const std::string& text, UsbUnitOptions* out, std::string* error);
bool ParseUsbUnitList(const std::string& text, std::vector<UsbUnitOptions>* out, std::string* error);
bool ParseUsbFault(const std::string& text, UsbFault* out);

enum UsbXferResult : uint8_t {
    USBX_OK,
    USBX_STALL,      // the endpoint answered with an error
    USBX_GONE,       // the unit is no longer on the bus
    USBX_CANCELLED,  // the bus aborted the transfer while it waited
    USBX_BAD_ENDPOINT,
};

// Waits up to ms milliseconds (0xFFFFFFFF: until aborted); false when the bus aborted the wait.
using UsbWait = std::function<bool(uint32_t ms)>;

class UsbUnit {
public:
    explicit UsbUnit(const UsbUnitOptions& options);

    UnitModel& model() { return model_; }
    const UsbUnitOptions& options() const { return options_; }
    const std::vector<uint8_t>& deviceDescriptor() const { return deviceDesc_; }
    const std::vector<uint8_t>& configDescriptor() const { return configDesc_; }
    // A GET_DESCRIPTOR request: copies up to length bytes, returns how many, or -1
    // (stall) for a descriptor the unit does not have.
    int getDescriptor(uint8_t type, uint8_t index, uint8_t* data, uint32_t length);
    uint32_t configDescriptorReads() const;
    uint8_t configuration() const;
    bool setConfiguration(uint8_t value);
    // Endpoint address of interface endpoint k (descriptor order), 0 if none.
    uint8_t endpointAddress(uint32_t k) const;

    // One transfer on an endpoint. For IN endpoints data receives up to length bytes.
    UsbXferResult transfer(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* moved, const UsbWait& wait);

    void addFault(const UsbFault& f);
    bool gone() const;
    void setGone();

    // Counters, for tests.
    uint32_t commands() const;
    uint32_t answerReads() const;
    uint32_t bulkTransfers() const;
    uint64_t bulkBytes() const;

private:
    struct Pending {
        bool armed = false;
        bool in = false;
        uint32_t address = 0;
        uint32_t remaining = 0;
    };
    bool takeFault(UsbFaultKind kind, uint32_t count, UsbFault* hit = nullptr);
    UsbXferResult command(const uint8_t* p, uint32_t length, const UsbWait& wait);
    UsbXferResult answer(uint8_t* data, uint32_t length, uint32_t* moved, const UsbWait& wait);
    UsbXferResult bulk(bool in, uint8_t* data, uint32_t length, uint32_t* moved, const UsbWait& wait);
    void buildDescriptors();

    UsbUnitOptions options_;
    UnitModel model_;
    std::vector<uint8_t> deviceDesc_, configDesc_;
    mutable std::mutex mutex_;  // guards everything below
    SeededRandom random_;
    std::vector<UsbFault> faults_;
    uint8_t configuration_ = 0;
    bool gone_ = false;
    uint32_t commands_ = 0, answerReads_ = 0, countCommands_ = 0, bulkTransfers_ = 0;
    uint64_t bulkBytes_ = 0;
    uint32_t configReads_ = 0;
    uint8_t answer_[8] = {};
    bool answerValid_ = false;  // answer_ holds an answer
    bool answerLost_ = false;   // the answer to the last command never comes
    uint64_t answerDueMs_ = 0;  // steady-clock ms when the answer shows
    uint8_t lastSeq_ = 0;
    Pending pending_;
    uint32_t bulkMoved_ = 0;  // bytes moved since the last 0x29
};

// ---- the simulated bus: units attached and detached at run time ----

// Called with the bus id of a unit that arrived or left. Set by the host that
// serves the bus; called outside the registry's lock, possibly from any thread.
struct UsbBusListener {
    void (*arrived)(int id, void* context) = nullptr;
    void (*left)(int id, void* context) = nullptr;
    void* context = nullptr;
};
void SetUsbBusListener(const UsbBusListener& listener);

// Attaches a unit; returns its bus id (>= 0) or -1 when the bus is full (32 units).
int AttachUsbUnit(const UsbUnitOptions& options);
// Parses and attaches; -1 (and *error) on a bad option list.
int AttachUsbUnit(const std::string& options, std::string* error = nullptr);
// Unplugs a unit: it fails every transfer from now on and the listener hears it leave.
void DetachUsbUnit(int id);
// Removes every unit (for tests).
void DetachAllUsbUnits();
std::shared_ptr<UsbUnit> FindUsbUnit(int id);
std::vector<int> AttachedUsbUnits();
// Attaches the units of PELMO_SIM_USB the first time it is called in the process;
// returns false (and *error) when the variable does not parse.
bool AttachUsbUnitsFromEnvironment(std::string* error = nullptr);

}  // namespace sim
