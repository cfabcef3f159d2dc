// Many mixed requests on two units from two threads, with random cancels and one
// unit unplugged half-way: every request must finish exactly once (the kernel
// stops the process on a second completion) and the request counts must come
// back to rest.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "tests/qorpelmo/driver_fixture.h"

using namespace drivertest;

namespace {

constexpr int kRequestsPerThread = 4000;
constexpr int kInFlight = 6;

struct SoakStats {
    int issued = 0;
    int cancels = 0;
    std::map<uint32_t, int> byStatus;
    bool lost = false;
};

struct Slot {
    Overlapped o;
    bool busy = false;
    Packet packet{};
    std::array<uint8_t, 128> buffer{};
};

// Issues kRequestsPerThread requests, at most kInFlight at once; at `unplugAt` the
// unit with sim id `unplug` is taken off the bus (-1: never).
void Soak(DevHandle h, uint32_t seed, int unplugAt, int unplug, SoakStats* stats) {
    std::mt19937 rnd(seed);
    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < kInFlight; ++i) slots.push_back(std::make_unique<Slot>());
    auto reap = [&](Slot& s, uint32_t waitMs) {
        if (!s.busy) return;
        if (DevWaitEvent(s.o.ov.Event, -1, waitMs) != DEV_WAIT_EVENT) {
            if (waitMs) stats->lost = true;
            return;
        }
        uint32_t n = 0;
        uint32_t st = DevGetOverlappedResult(h, &s.o.ov, &n, false);
        ++stats->byStatus[st];
        s.busy = false;
    };
    uint8_t seq = 1;
    for (int i = 0; i < kRequestsPerThread; ++i) {
        if (i == unplugAt) sim::DetachUsbUnit(unplug);
        Slot* free = nullptr;
        for (auto& s : slots) {
            reap(*s, 0);
            if (!s->busy && !free) free = s.get();
        }
        if (!free) {
            reap(*slots[rnd() % kInFlight], 5000);
            --i;
            continue;
        }
        Slot& s = *free;
        uint32_t r;
        switch (rnd() % 8) {
        case 0:
        case 1:
            seq = static_cast<uint8_t>(seq % 127 + 1);
            s.packet = MakePacket(seq, rnd() % 2 ? 0x24 : 0x29);
            r = DevIoControl(h, DEV_IOCTL_SEND_COMMAND, s.packet.data(), 10, nullptr, 0, nullptr, &s.o.ov);
            break;
        case 2:
        case 3: r = DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, s.buffer.data(), 8, nullptr, &s.o.ov); break;
        case 4: r = DevRead(h, s.buffer.data(), 1 + rnd() % 128, nullptr, &s.o.ov); break;
        case 5: r = DevWrite(h, s.buffer.data(), 1 + rnd() % 128, nullptr, &s.o.ov); break;
        case 6: {
            uint8_t size;
            uint32_t n;
            r = DevIoControl(h, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, &size, 1, &n, &s.o.ov);
            break;
        }
        default: r = DevIoControl(h, DEV_IOCTL_SEND_COMMAND, s.packet.data(), 11, nullptr, 0, nullptr, &s.o.ov); break;
        }
        ++stats->issued;
        s.busy = true;
        if (r != DEV_PENDING && DevWaitEvent(s.o.ov.Event, -1, 0) != DEV_WAIT_EVENT) stats->lost = true;
        if (rnd() % 20 == 0) {
            DevCancelIo(h);
            ++stats->cancels;
        }
    }
    for (auto& s : slots) reap(*s, 5000);
}

TEST(SoakTest, MixedRequestsCancelsAndSurpriseRemoval) {
    DevHostStop();
    sim::DetachAllUsbUnits();
    int a = sim::AttachUsbUnit("unit=0,seed=11");
    int b = sim::AttachUsbUnit("unit=1,bulkdelay=1,fault=random:30,seed=12");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    DevHandle ha, hb;
    ASSERT_EQ(DevOpen(DeviceName(0).c_str(), 0, &ha), DEV_SUCCESS);
    ASSERT_EQ(DevOpen(DeviceName(1).c_str(), 0, &hb), DEV_SUCCESS);
    int busA = KeBusIdOfSimUnit(a), busB = KeBusIdOfSimUnit(b);
    auto* extA = static_cast<QORPELMO_EXTENSION*>(KeFunctionDevice(busA)->DeviceExtension);
    auto* extB = static_cast<QORPELMO_EXTENSION*>(KeFunctionDevice(busB)->DeviceExtension);

    SoakStats sa, sb;
    auto t0 = std::chrono::steady_clock::now();
    std::thread ta(Soak, ha, 1234u, kRequestsPerThread / 2, a, &sa);
    std::thread tb(Soak, hb, 5678u, -1, -1, &sb);
    ta.join();
    tb.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    EXPECT_FALSE(sa.lost);
    EXPECT_FALSE(sb.lost);
    for (SoakStats* s : {&sa, &sb}) {
        int finished = 0;
        for (auto& [status, count] : s->byStatus) finished += count;
        EXPECT_EQ(finished, s->issued);
    }
    // Unplugged half-way: later requests fail as the device goes away.
    EXPECT_GT(sa.byStatus[DEV_DELETE_PENDING], 0);
    EXPECT_GT(sa.byStatus[DEV_SUCCESS], 0);
    EXPECT_EQ(sb.byStatus[DEV_DELETE_PENDING], 0);
    EXPECT_GT(sb.byStatus[DEV_CANCELLED], 0);
    // At rest: the initial count plus the open handle on each.
    EXPECT_EQ(InterlockedRead(&extA->Usb.Dev.RequestCount), 2);
    EXPECT_EQ(InterlockedRead(&extB->Usb.Dev.RequestCount), 2);
    EXPECT_EQ(extA->Usb.Dev.PnpState, WK_PNP_SURPRISE_REMOVED);

    std::printf("soak: %.2f s\n", seconds);
    for (auto [name, s] : {std::pair{"unit A (unplugged)", &sa}, std::pair{"unit B", &sb}}) {
        std::printf("  %s: %d requests, %d cancel calls:", name, s->issued, s->cancels);
        for (auto& [status, count] : s->byStatus) std::printf(" %s=%d", DevStatusName(status), count);
        std::printf("\n");
    }
    DevClose(ha);
    DevClose(hb);
    KeWaitPnpIdle();
    EXPECT_EQ(KeBusPdo(busA), nullptr);
    EXPECT_NE(KeFunctionDevice(busB), nullptr);
    DevHostStop();
    sim::DetachAllUsbUnits();
}

}  // namespace
