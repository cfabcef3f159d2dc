#pragma once
// Shared by the driver and devio tests: simulated units on a fresh driver host,
// and the unit's command packets as user mode sends them.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "kernel/host.h"
#include "platform/devio.h"
#include "qorpelmo/qorpelmo.h"
#include "sim/usb_unit.h"

namespace drivertest {

using Packet = std::array<uint8_t, 10>;
using Answer = std::array<uint8_t, 8>;

inline Packet MakePacket(uint8_t seq, uint8_t code, uint8_t p1 = 0, uint8_t p2 = 0, uint16_t w1 = 0, uint16_t w2 = 0,
                         uint16_t w3 = 0) {
    return {seq,
            code,
            p1,
            p2,
            static_cast<uint8_t>(w1),
            static_cast<uint8_t>(w1 >> 8),
            static_cast<uint8_t>(w2),
            static_cast<uint8_t>(w2 >> 8),
            static_cast<uint8_t>(w3),
            static_cast<uint8_t>(w3 >> 8)};
}

inline std::string DeviceName(unsigned n) { return "\\\\.\\QORPELMO" + std::to_string(n); }

// An overlapped request with its own event.
struct Overlapped {
    DevOverlapped ov;
    Overlapped() { ov.Event = DevCreateEvent(true, false); }
    ~Overlapped() { DevCloseEvent(ov.Event); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("PELMO_SIM_USB");  // each test attaches its own units
        DevHostStop();
        sim::DetachAllUsbUnits();
    }
    void TearDown() override {
        DevHostStop();
        sim::DetachAllUsbUnits();
        KeSetWdmVersion(1, 0x10);
        KeFailPoolAllocations(0, 0);
    }
    int Attach(const std::string& options) {
        std::string error;
        int id = sim::AttachUsbUnit(options, &error);
        EXPECT_GE(id, 0) << error;
        return id;
    }
    DevHandle Open(unsigned n, uint32_t share = 0) {
        DevHandle h = DEV_INVALID_HANDLE_VALUE;
        uint32_t s = DevOpen(DeviceName(n).c_str(), share, &h);
        EXPECT_EQ(DevStatusName(s), std::string("STATUS_SUCCESS")) << DeviceName(n);
        return h;
    }
    static int Bus(int simId) { return KeBusIdOfSimUnit(simId); }
    static QORPELMO_EXTENSION* Ext(int simId) {
        DEVICE_OBJECT* d = KeFunctionDevice(Bus(simId));
        return d ? static_cast<QORPELMO_EXTENSION*>(d->DeviceExtension) : nullptr;
    }
    static LONG RequestCount(int simId) { return InterlockedRead(&Ext(simId)->Usb.Dev.RequestCount); }

    static uint32_t Send(DevHandle h, const Packet& p) {
        uint32_t n = 0;
        uint32_t s = DevIoControl(h, DEV_IOCTL_SEND_COMMAND, p.data(), 10, nullptr, 0, &n, nullptr);
        if (s == DEV_SUCCESS) { EXPECT_EQ(n, 10u); }
        return s;
    }
    static uint32_t Receive(DevHandle h, Answer* a) {
        uint32_t n = 0;
        uint32_t s = DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a->data(), 8, &n, nullptr);
        if (s == DEV_SUCCESS) { EXPECT_EQ(n, 8u); }
        return s;
    }
    // One command and its answer; fails the test on a transport error.
    static Answer Exchange(DevHandle h, const Packet& p) {
        Answer a{};
        EXPECT_EQ(Send(h, p), DEV_SUCCESS);
        EXPECT_EQ(Receive(h, &a), DEV_SUCCESS);
        return a;
    }
    // Polls a condition for up to two seconds.
    template <class F>
    static bool WaitFor(F done) {
        for (int i = 0; i < 2000; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }
    static uint32_t Millis() {
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    }
};

}  // namespace drivertest
