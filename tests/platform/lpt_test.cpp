// The printer-port register interface: which backend a port number or base
// address reaches, and how a port that cannot be used fails. No hardware needed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/lpt.h"
#include "sim/lpt_unit.h"

namespace {

class LptPorts : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"ZAMLPT1", "ZAMLPT2", "ZAMLPT3", "ZAMLPT4", "PELMO_SIM_LPT", "PELMO_SIM_LPT_TRACE"})
            unsetenv(v);
        sim::DetachAllLptPorts();
    }
    void TearDown() override {
        for (const char* v : {"ZAMLPT1", "ZAMLPT2", "ZAMLPT3", "ZAMLPT4"}) unsetenv(v);
        sim::DetachAllLptPorts();
    }
};

TEST_F(LptPorts, PortNumbersMapToParportDevices) {
    char path[96];
    for (uint32_t n = 1; n <= 4; ++n) {
        LptDevicePath(n, path, sizeof path);
        EXPECT_EQ(std::string(path), "/dev/parport" + std::to_string(n - 1));
    }
    setenv("ZAMLPT3", "/dev/my-printer-port", 1);
    LptDevicePath(3, path, sizeof path);
    EXPECT_STREQ(path, "/dev/my-printer-port");
    LptDevicePath(2, path, sizeof path);
    EXPECT_STREQ(path, "/dev/parport1");
}

// Devices that cannot carry the port: each fails with its own result and keeps
// the path and the system error for the user's message.
TEST_F(LptPorts, UnusableDevicesFailWithTheirReason) {
    struct stat st;
    const bool realParport0 = stat("/dev/parport0", &st) == 0;
    struct Case {
        const char* device;  // ZAMLPT1, or null for the default
        uint32_t result;
        int sysError;
    } cases[] = {
        {nullptr, LPT_NO_DEVICE, ENOENT},
        {"/nonexistent/parport", LPT_NO_DEVICE, ENOENT},
        {"/dev/null", LPT_NOT_PARPORT, ENOTTY},
    };
    for (const Case& c : cases) {
        if (c.device == nullptr && realParport0) continue;  // this machine has a printer port
        if (c.device) setenv("ZAMLPT1", c.device, 1);
        else unsetenv("ZAMLPT1");
        LptPort* port = reinterpret_cast<LptPort*>(1);
        LptOpenInfo info;
        EXPECT_EQ(LptOpen(1, 0x378, &port, &info), c.result) << (c.device ? c.device : "default");
        EXPECT_EQ(port, nullptr);
        EXPECT_EQ(info.result, c.result);
        EXPECT_EQ(info.backend, static_cast<uint32_t>(LPT_BACKEND_PPDEV));
        EXPECT_EQ(info.sysError, c.sysError);
        EXPECT_STREQ(info.path, c.device ? c.device : "/dev/parport0");
    }
}

// A base address with no parport device goes to raw I/O ports. Where the process
// may not use them (no privilege, not x86, a system without them) the open says so.
TEST_F(LptPorts, RawBaseAddressFailsCleanlyWhereNotAllowed) {
    LptPort* port = nullptr;
    LptOpenInfo info;
    uint32_t r = LptOpen(0, 0x1230, &port, &info);
    EXPECT_EQ(info.backend, static_cast<uint32_t>(LPT_BACKEND_RAW));
    if (r == LPT_OK) {
        LptClose(port);  // opening touches no register
        GTEST_SKIP() << "this process may use raw I/O ports";
    }
    EXPECT_TRUE(r == LPT_NO_PERMISSION || r == LPT_NOT_X86 || r == LPT_NO_IO_PORTS) << r;
    EXPECT_EQ(port, nullptr);
    EXPECT_STRNE(LptResultText(r), "");
}

// A simulated port wins over any device; opens of one port share one handle.
TEST_F(LptPorts, SimulatedPortIsSharedAndCounted) {
    ASSERT_TRUE(sim::AttachLptUnits("port=378,unit=0"));
    setenv("ZAMLPT1", "/nonexistent/parport", 1);
    LptPort* a = nullptr;
    LptPort* b = nullptr;
    LptOpenInfo info;
    ASSERT_EQ(LptOpen(1, 0x378, &a, &info), LPT_OK);
    EXPECT_EQ(LptBackendOf(a), static_cast<uint32_t>(LPT_BACKEND_SIM));
    ASSERT_EQ(LptOpen(0, 0x378, &b, &info), LPT_OK);
    EXPECT_EQ(a, b);
    sim::LptPortModel* model = sim::FindLptPort(0x378);
    LptClose(a);
    EXPECT_EQ(LptClaim(b), LPT_OK);
    LptWriteData(b, 0x5A);
    EXPECT_EQ(LptReadData(b), 0x5A);
    LptWriteControl(b, 0x09);
    EXPECT_EQ(LptReadStatus(b), 0x7F) << "no unit selected: the lines float";
    LptRelease(b);
    EXPECT_EQ(model->writes(), 2u);
    EXPECT_EQ(model->reads(), 2u);
    LptClose(b);
    EXPECT_EQ(LptBackendOf(b), static_cast<uint32_t>(LPT_BACKEND_NONE));
}

}  // namespace
