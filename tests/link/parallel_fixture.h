#pragma once
// Simulated printer ports behind the parallel kind, with the register trace
// parsed back into accesses and strobes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "link/parallel.h"
#include "sim/lpt_unit.h"
#include "tests/support/test_support.h"

namespace lpttest {

struct Access {
    char kind;     // 'W' or 'R'
    uint32_t reg;  // offset from the base: 0 data, 1 status, 2 control
    uint8_t value;
    bool operator==(const Access& o) const { return kind == o.kind && reg == o.reg && value == o.value; }
};

// A strobe as the unit sees it: the control value left the resting state while
// the data lines held `data`.
struct Strobe {
    uint8_t control;
    uint8_t data;
    bool operator==(const Strobe& o) const { return control == o.control && data == o.data; }
};

inline std::vector<Access> ParseTrace(const std::string& text, uint32_t base) {
    std::vector<Access> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        char kind = 0;
        unsigned reg = 0, value = 0;
        if (std::sscanf(line.c_str(), "%c %X %X", &kind, &reg, &value) == 3)
            out.push_back(Access{kind, reg - base, static_cast<uint8_t>(value)});
    }
    return out;
}

inline std::vector<Strobe> Strobes(const std::vector<Access>& trace) {
    std::vector<Strobe> out;
    uint8_t data = 0, control = 0x0C;
    for (const Access& a : trace) {
        if (a.kind != 'W') continue;
        if (a.reg == 0) data = a.value;
        if (a.reg == 2) {
            if (control == 0x09 && a.value != 0x09) out.push_back(Strobe{a.value, data});
            control = a.value;
        }
    }
    return out;
}

// Runs of identical writes folded into one access: the signals without their timing.
inline std::vector<Access> Signals(const std::vector<Access>& trace) {
    std::vector<Access> out;
    for (const Access& a : trace)
        if (out.empty() || a.kind == 'R' || !(out.back() == a)) out.push_back(a);
    return out;
}

class ParallelPorts : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("PELMO_SIM_LPT");
        unsetenv("PELMO_SIM_LPT_TRACE");
        sim::DetachAllLptPorts();
    }
    void TearDown() override {
        ZAMCloseAll();
        sim::SetLptTraceFile(nullptr);
        sim::DetachAllLptPorts();
    }
    void Attach(const std::string& list) {
        std::string error;
        ASSERT_TRUE(sim::AttachLptUnits(list, &error)) << error;
    }
    uint32_t Open(uint32_t selector, uint32_t unit, uint32_t option = PARALLEL_DEFAULT_DELAY) {
        uint32_t h = 0;
        EXPECT_EQ(ZAMInit(&h, selector, unit, 0x10000, option), LINK_OK);
        return h;
    }
    sim::LptPortModel& Port(uint32_t base = 0x378) { return *sim::FindLptPort(base); }
    // Records every register access from now until Trace() is called.
    void StartTrace() { ASSERT_TRUE(sim::SetLptTraceFile(dir.file("trace.txt").c_str())); }
    std::vector<Access> Trace(uint32_t base = 0x378) {
        sim::SetLptTraceFile(nullptr);
        return ParseTrace(testsupport::ReadText(dir.file("trace.txt")), base);
    }
    std::string TraceText() {
        sim::SetLptTraceFile(nullptr);
        return testsupport::ReadText(dir.file("trace.txt"));
    }
    testsupport::TempDir dir;
};

}  // namespace lpttest
