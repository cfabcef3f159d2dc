// The simulated USB unit as user mode reaches it through the driver: the command
// set at the packet level and every fault it can be asked for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/clock.h"
#include "tests/qorpelmo/driver_fixture.h"

using namespace drivertest;

namespace {

class SimUsbUnitTest : public DriverTest {
public:
    // Fresh host with one unit; returns its handle.
    DevHandle Start(const std::string& options) {
        DevHostStop();
        sim::DetachAllUsbUnits();
        id_ = Attach(options);
        return Open(0);
    }
    sim::UsbUnit& Unit() { return *sim::FindUsbUnit(id_); }
    static uint32_t RawReceive(DevHandle h, Answer* a, uint32_t* n) {
        return DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a->data(), 8, n, nullptr);
    }
    static uint32_t Count(DevHandle h, uint8_t seq) {
        Answer a = Exchange(h, MakePacket(seq, 0x2A));
        return static_cast<uint32_t>(a[2] | a[3] << 8 | a[4] << 16 | a[5] << 24);
    }
    int id_ = -1;
};

TEST_F(SimUsbUnitTest, SingleByteCommandsReadAcrossTheBankBoundary) {
    DevHandle h = Start("unit=0,ram=64");
    for (uint8_t i = 0; i < 6; ++i)
        EXPECT_EQ(Exchange(h, MakePacket(i + 1, 0x2C, static_cast<uint8_t>(0xA0 + i), 0, 0, 0x7FFE + i, 1))[1], 0x60);
    EXPECT_EQ(Unit().model().raw(0x7FFF), 0xA1);
    EXPECT_EQ(Unit().model().raw(0x8000), 0xA2);  // 0x7FFE + 2 wraps into bank 1 offset 0
    Answer a = Exchange(h, MakePacket(9, 0x2B, 0, 0, 0x7FFE, 0, 6));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(a[2 + i], 0xA0 + i) << i;
    DevClose(h);
}

TEST_F(SimUsbUnitTest, ResetFoldAndReplication) {
    DevHandle h = Start("unit=0,ram=128");
    Exchange(h, MakePacket(1, 0x23, 0));
    EXPECT_EQ(Exchange(h, MakePacket(2, 0x24))[6], 0);
    EXPECT_EQ(Unit().model().resetLevel(), 0);
    for (uint8_t i = 0; i < 16; ++i) Exchange(h, MakePacket(3, 0x2C, i, 0, 0, i, 1));
    Exchange(h, MakePacket(4, 0x27, 0, 0, 0, 16, 0x8000 - 16));
    EXPECT_EQ(Unit().model().raw(16 * 5 + 3), 3);
    EXPECT_EQ(Unit().model().raw(0x7FF0 + 15), 15);
    Exchange(h, MakePacket(5, 0x28, 0, 1, 0, 0, 3));  // bank 0 over banks 1..3
    EXPECT_EQ(Unit().model().raw(0x18000 + 16 * 7 + 9), 9);
    EXPECT_EQ(Exchange(h, MakePacket(6, 0x30))[1], 0x15);  // not a command of the unit
    DevClose(h);
}

TEST_F(SimUsbUnitTest, ByteCountFollowsTheLastBulkExchange) {
    DevHandle h = Start("unit=0");
    std::vector<uint8_t> data(100, 0x42);
    uint32_t n;
    Exchange(h, MakePacket(1, 0x29));
    Exchange(h, MakePacket(2, 0x20, 0, 0, 0, 0x40, 100));
    ASSERT_EQ(DevWrite(h, data.data(), 64, &n, nullptr), DEV_SUCCESS);
    ASSERT_EQ(DevWrite(h, data.data(), 36, &n, nullptr), DEV_SUCCESS);
    EXPECT_EQ(Count(h, 3), 100u);
    EXPECT_EQ(Unit().model().raw(0x40 + 99), 0x42);
    EXPECT_EQ(Unit().model().raw(0x40 + 100), 0xFF);
    Exchange(h, MakePacket(4, 0x29));
    EXPECT_EQ(Count(h, 5), 0u);
    DevClose(h);
}

struct FaultCase {
    const char* name;
    const char* options;
    std::function<void(SimUsbUnitTest&, DevHandle)> check;
};

TEST_F(SimUsbUnitTest, FaultsOnRequest) {
    auto status = [](DevHandle, uint8_t seq) { return MakePacket(seq, 0x24); };
    const FaultCase cases[] = {
        {"lost answer", "fault=lost-answer:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             Answer a = Exchange(h, status(h, 1));
             EXPECT_EQ(a[0], static_cast<uint8_t>(~1));
             EXPECT_EQ(a[1], 0);  // still busy
             usleep(20000);
             EXPECT_EQ(Exchange(h, status(h, 2))[1], 0x60);  // the next command is answered
         }},
        {"late answer", "fault=late-answer:1:400",
         [&](SimUsbUnitTest&, DevHandle h) {
             // Late by the driven clock: not a millisecond early, ready at 400.
             ClockDrive(true);
             EXPECT_EQ(Exchange(h, status(h, 1))[1], 0);
             ClockAdvance(399);
             Answer a{};
             uint32_t n;
             EXPECT_EQ(RawReceive(h, &a, &n), DEV_SUCCESS);
             EXPECT_EQ(a[1], 0) << "1 ms before it is due";
             ClockAdvance(1);
             EXPECT_EQ(RawReceive(h, &a, &n), DEV_SUCCESS);
             EXPECT_EQ(a[1], 0x60);
             ClockDrive(false);
         }},
        {"stale answer", "fault=stale-answer:2",
         [&](SimUsbUnitTest&, DevHandle h) {
             Exchange(h, status(h, 1));
             EXPECT_EQ(Exchange(h, status(h, 2))[0], static_cast<uint8_t>(~1));
         }},
        {"bad status", "fault=bad-status:1",
         [&](SimUsbUnitTest&, DevHandle h) { EXPECT_EQ(Exchange(h, status(h, 1))[1], 0x15); }},
        {"short answer", "fault=short-answer:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             EXPECT_EQ(Send(h, status(h, 1)), DEV_SUCCESS);
             Answer a{};
             uint32_t n = 0;
             EXPECT_EQ(RawReceive(h, &a, &n), DEV_SUCCESS);
             EXPECT_EQ(n, 7u);
         }},
        {"answer fails", "fault=answer-fail:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             EXPECT_EQ(Send(h, status(h, 1)), DEV_SUCCESS);
             Answer a{};
             uint32_t n;
             EXPECT_EQ(RawReceive(h, &a, &n), DEV_DEVICE_ERROR);
         }},
        {"command fails", "fault=cmd-fail:1",
         [&](SimUsbUnitTest&, DevHandle h) { EXPECT_EQ(Send(h, status(h, 1)), DEV_DEVICE_ERROR); }},
        {"short command", "fault=short-cmd:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             Packet p = status(h, 1);
             uint32_t n = 0;
             EXPECT_EQ(DevIoControl(h, DEV_IOCTL_SEND_COMMAND, p.data(), 10, nullptr, 0, &n, nullptr), DEV_SUCCESS);
             EXPECT_EQ(n, 9u);
             Answer a{};
             EXPECT_EQ(RawReceive(h, &a, &n), DEV_SUCCESS);
             EXPECT_EQ(a[1], 0);  // nothing was accepted
         }},
        {"command hangs until cancelled", "fault=cmd-hang:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             Overlapped o;
             Packet p = status(h, 1);
             ASSERT_EQ(DevIoControl(h, DEV_IOCTL_SEND_COMMAND, p.data(), 10, nullptr, 0, nullptr, &o.ov), DEV_PENDING);
             EXPECT_EQ(DevWaitEvent(o.ov.Event, -1, 100), DEV_WAIT_TIMEOUT);
             DevCancelIo(h);
             uint32_t n;
             EXPECT_EQ(DevGetOverlappedResult(h, &o.ov, &n, true), DEV_CANCELLED);
         }},
        {"short byte count", "fault=short-count:1",
         [&](SimUsbUnitTest& t, DevHandle h) {
             uint8_t d[64] = {};
             uint32_t n;
             Exchange(h, MakePacket(1, 0x29));
             Exchange(h, MakePacket(2, 0x20, 0, 0, 0, 0, 64));
             DevWrite(h, d, 64, &n, nullptr);
             EXPECT_EQ(t.Count(h, 3), 63u);
         }},
        {"bulk fails", "fault=bulk-fail:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             uint8_t d[64];
             uint32_t n;
             EXPECT_EQ(DevRead(h, d, 64, &n, nullptr), DEV_DEVICE_ERROR);
             EXPECT_EQ(DevRead(h, d, 64, &n, nullptr), DEV_SUCCESS);
         }},
        {"short bulk", "fault=short-bulk:1",
         [&](SimUsbUnitTest&, DevHandle h) {
             uint8_t d[64] = {};
             uint32_t n = 0;
             Exchange(h, MakePacket(1, 0x20, 0, 0, 0, 0, 64));
             EXPECT_EQ(DevWrite(h, d, 64, &n, nullptr), DEV_SUCCESS);
             EXPECT_EQ(n, 63u);
         }},
        {"stuck bits", "fault=stuck:0x10:0x81:0x01",
         [&](SimUsbUnitTest&, DevHandle h) {
             Exchange(h, MakePacket(1, 0x2C, 0xF0, 0, 0, 0x10, 1));
             EXPECT_EQ(Exchange(h, MakePacket(2, 0x2B, 0, 0, 0x10, 0, 1))[2], 0x71);
         }},
        {"dead unit", "dead=1",
         [&](SimUsbUnitTest&, DevHandle h) {
             EXPECT_EQ(Exchange(h, status(h, 1))[1], 0);
             EXPECT_EQ(Exchange(h, status(h, 2))[1], 0);
         }},
        {"vanishing unit", "fault=vanish:2",
         [&](SimUsbUnitTest& t, DevHandle h) {
             EXPECT_EQ(Exchange(h, status(h, 1))[1], 0x60);
             // The bus failing the transfer and the surprise removal cancelling it race,
             // as they do when a real unit is unplugged: either ends the request.
             const uint32_t st = Send(h, status(h, 2));
             EXPECT_TRUE(st == DEV_DEVICE_GONE || st == DEV_CANCELLED) << DevStatusName(st);
             KeWaitPnpIdle();
             EXPECT_EQ(Send(h, status(h, 3)), DEV_DELETE_PENDING);
             EXPECT_EQ(sim::FindUsbUnit(t.id_), nullptr);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DevHandle h = Start(std::string("unit=0,") + c.options);
        c.check(*this, h);
        DevClose(h);
    }
}

TEST_F(SimUsbUnitTest, SeededFaultsRepeat) {
    auto run = [this](const char* options) {
        DevHandle h = Start(options);
        std::vector<uint8_t> seen;
        for (uint8_t seq = 1; seq <= 40; ++seq) {
            Answer a = Exchange(h, MakePacket(seq, 0x24));
            seen.push_back(a[1] == 0 ? 0 : a[1] == 0x15 ? 1 : a[0] == static_cast<uint8_t>(~seq) ? 2 : 3);
        }
        DevClose(h);
        return seen;
    };
    auto a = run("fault=random:400,seed=77");
    auto b = run("fault=random:400,seed=77");
    auto c = run("fault=random:400,seed=78");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(std::count(a.begin(), a.end(), 2), 40);  // some faults did happen

    DevHandle h = Start("ram=32,fault=lost-writes:40:1,seed=5");
    std::vector<uint8_t> zeros(0x8000, 0);
    uint32_t n;
    Exchange(h, MakePacket(1, 0x20, 0, 0, 0, 0, 0x8000));
    ASSERT_EQ(DevWrite(h, zeros.data(), 0x8000, &n, nullptr), DEV_SUCCESS);
    int kept = 0;
    for (uint32_t i = 0; i < 0x8000; ++i) kept += Unit().model().raw(i) != 0;
    EXPECT_GT(kept, 0);
    EXPECT_LE(kept, 40);
    DevClose(h);
}

struct OptionCase {
    const char* text;
    bool ok;
};

TEST(SimUsbOptions, ParsingAcceptsTheDocumentedSyntaxOnly) {
    const OptionCase cases[] = {
        {"unit=1,ram=0x100,level=3,id=0x1234,packet=32", true},
        {"fault=stuck:0x10:1:0,fault=late-answer:3:200,seed=9", true},
        {" unit = 1 ", false},
        {"unit=4", false},
        {"ram=48", false},
        {"ram=2048", false},
        {"packet=4", false},
        {"endpoints=5", false},
        {"fault=bogus:1", false},
        {"fault=late-answer:1", false},
        {"fault=lost-answer:x", false},
        {"colour=3", false},
        {"ram=", false},
    };
    for (const auto& c : cases) {
        sim::UsbUnitOptions o;
        std::string error;
        EXPECT_EQ(sim::ParseUsbUnitOptions(c.text, &o, &error), c.ok) << c.text << ": " << error;
        if (!c.ok) { EXPECT_FALSE(error.empty()) << c.text; }
    }
    std::vector<sim::UsbUnitOptions> list;
    std::string error;
    ASSERT_TRUE(sim::ParseUsbUnitList("unit=0,ram=1024,level=3;unit=1,ram=256;", &list, &error)) << error;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].level, 3);
    EXPECT_EQ(list[1].unit, 1);
    EXPECT_EQ(list[1].ramKB, 256u);
    EXPECT_FALSE(sim::ParseUsbUnitList("unit=0;unit=9", &list, &error));
}

}  // namespace
