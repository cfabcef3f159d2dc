// The unit devices as user mode sees them through devio, against simulated units.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/qorpelmo/driver_fixture.h"

using namespace drivertest;

namespace {

class DevioTest : public DriverTest {};

TEST_F(DevioTest, OpensByNameCaseInsensitiveAndOnlyExistingUnits) {
    Attach("unit=0");
    DevHandle h;
    ASSERT_EQ(DevOpen("\\\\.\\qorpelmo0", 0, &h), DEV_SUCCESS);
    EXPECT_EQ(DevClose(h), DEV_SUCCESS);
    ASSERT_EQ(DevOpen("QorPelmo0", 0, &h), DEV_SUCCESS);
    EXPECT_EQ(DevClose(h), DEV_SUCCESS);
    EXPECT_EQ(DevOpen("\\\\.\\QORPELMO1", 0, &h), DEV_NO_SUCH_DEVICE);
    EXPECT_EQ(h, DEV_INVALID_HANDLE_VALUE);
    EXPECT_EQ(DevClose(h), DEV_INVALID_HANDLE);
    EXPECT_EQ(DevClose(7), DEV_INVALID_HANDLE);
}

TEST_F(DevioTest, StatusCommandAnswersWithComplementAndStatusBytes) {
    Attach("unit=2,ram=256,level=3,id=0xA55A");
    DevHandle h = Open(0);
    Answer a = Exchange(h, MakePacket(5, 0x24));
    EXPECT_EQ(a[0], static_cast<uint8_t>(~5));
    EXPECT_EQ(a[1], 0x60);
    EXPECT_EQ(a[2], 3);     // level
    EXPECT_EQ(a[3], 0xA5);  // identity
    EXPECT_EQ(a[4], 0x5A);
    EXPECT_EQ(a[5], 2);  // unit number
    EXPECT_EQ(a[6], 2);  // reset level HI-Z at power-up
    DevClose(h);
}

// Write a range by bulk and read it back by bulk, framed as the unit expects.
TEST_F(DevioTest, BulkWriteAndReadThroughTheUnit) {
    int id = Attach("unit=0,ram=64");
    DevHandle h = Open(0);
    std::vector<uint8_t> data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    Exchange(h, MakePacket(1, 0x29));
    Exchange(h, MakePacket(2, 0x20, 0, 1, 0, 0x100, 200));  // bank 1, offset 0x100
    uint32_t n = 0;
    ASSERT_EQ(DevWrite(h, data.data(), 200, &n, nullptr), DEV_SUCCESS);
    EXPECT_EQ(n, 200u);
    Answer count = Exchange(h, MakePacket(3, 0x2A));
    EXPECT_EQ(count[2] | count[3] << 8, 200);
    EXPECT_EQ(sim::FindUsbUnit(id)->model().raw(0x8100 + 5), data[5]);

    Exchange(h, MakePacket(4, 0x29));
    Exchange(h, MakePacket(5, 0x22, 1, 0, 0x100, 0, 200));
    std::vector<uint8_t> back(256, 0);
    ASSERT_EQ(DevRead(h, back.data(), 256, &n, nullptr), DEV_SUCCESS);
    EXPECT_EQ(n, 200u);  // short transfer: the unit had 200 bytes to give
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    DevClose(h);
}

struct ParamCase {
    const char* name;
    uint32_t code;
    uint32_t in, out;
    uint32_t expect;
};

// Wrong buffer lengths fail at once and never reach a pipe.
TEST_F(DevioTest, ControlParameterChecksRejectWithoutReachingThePipes) {
    int id = Attach("unit=0");
    DevHandle h = Open(0);
    auto unit = sim::FindUsbUnit(id);
    const ParamCase cases[] = {
        {"send 11 in", DEV_IOCTL_SEND_COMMAND, 11, 0, DEV_INVALID_PARAMETER},
        {"send 9 in", DEV_IOCTL_SEND_COMMAND, 9, 0, DEV_INVALID_PARAMETER},
        {"send with output", DEV_IOCTL_SEND_COMMAND, 10, 1, DEV_INVALID_PARAMETER},
        {"receive 7 out", DEV_IOCTL_RECEIVE_ANSWER, 0, 7, DEV_INVALID_PARAMETER},
        {"receive 9 out", DEV_IOCTL_RECEIVE_ANSWER, 0, 9, DEV_INVALID_PARAMETER},
        {"receive with input", DEV_IOCTL_RECEIVE_ANSWER, 1, 8, DEV_INVALID_PARAMETER},
        {"packet size 2 out", DEV_IOCTL_GET_PACKET_SIZE, 0, 2, DEV_INVALID_PARAMETER},
        {"packet size 0 out", DEV_IOCTL_GET_PACKET_SIZE, 0, 0, DEV_INVALID_PARAMETER},
        {"packet size with input", DEV_IOCTL_GET_PACKET_SIZE, 1, 1, DEV_INVALID_PARAMETER},
        {"unknown code", 0x8000200C, 0, 0, DEV_NOT_IMPLEMENTED},
        {"other device type", 0x00222000, 10, 0, DEV_NOT_IMPLEMENTED},
    };
    uint8_t in[16] = {1, 0x24}, out[16] = {};
    for (const auto& c : cases) {
        uint32_t n = 99;
        EXPECT_EQ(DevIoControl(h, c.code, in, c.in, out, c.out, &n, nullptr), c.expect) << c.name;
        EXPECT_EQ(n, 0u) << c.name;
    }
    uint32_t n = 0;
    EXPECT_EQ(DevRead(h, out, 0, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(DevWrite(h, in, 0, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(DevRead(h, nullptr, 8, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(DevWrite(h, nullptr, 8, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(DevIoControl(h, DEV_IOCTL_SEND_COMMAND, nullptr, 10, nullptr, 0, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, nullptr, 8, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(unit->commands(), 0u);
    EXPECT_EQ(unit->answerReads(), 0u);
    EXPECT_EQ(unit->bulkTransfers(), 0u);
    // The handle is still fine afterwards.
    EXPECT_EQ(Exchange(h, MakePacket(1, 0x24))[1], 0x60);
    DevClose(h);
}

TEST_F(DevioTest, TransfersAboveTheDataPipeLimitAreRefused) {
    int id = Attach("unit=0");
    DevHandle h = Open(0);
    std::vector<uint8_t> big(0x8001);
    uint32_t n = 0;
    EXPECT_EQ(DevWrite(h, big.data(), 0x8001, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(DevRead(h, big.data(), 0x8001, &n, nullptr), DEV_INVALID_PARAMETER);
    EXPECT_EQ(sim::FindUsbUnit(id)->bulkTransfers(), 0u);
    EXPECT_EQ(DevRead(h, big.data(), 0x8000, &n, nullptr), DEV_SUCCESS);  // nothing armed: zero bytes
    EXPECT_EQ(n, 0u);
    DevClose(h);
}

TEST_F(DevioTest, PacketSizeIsTheBulkOutEndpointsLowByte) {
    for (unsigned size : {8u, 32u, 64u, 200u}) {
        Attach("unit=0,packet=" + std::to_string(size));
        DevHandle h = Open(0);
        uint8_t out = 0;
        uint32_t n = 0;
        ASSERT_EQ(DevIoControl(h, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, &out, 1, &n, nullptr), DEV_SUCCESS);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(out, size);
        DevHostStop();
        sim::DetachAllUsbUnits();
    }
}

// A receive-answer behind a long bulk read waits for it; get packet size does not wait.
TEST_F(DevioTest, RequestsRunInOrderAndPacketSizeIsAnsweredMeanwhile) {
    Attach("unit=0,bulkdelay=500");
    DevHandle h = Open(0);
    Exchange(h, MakePacket(1, 0x29));
    Exchange(h, MakePacket(2, 0x22, 0, 0, 0, 0, 64));
    Overlapped read, answer;
    uint8_t data[64];
    Answer a{};
    uint32_t t0 = Millis();
    ASSERT_EQ(DevRead(h, data, 64, nullptr, &read.ov), DEV_PENDING);
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a.data(), 8, nullptr, &answer.ov), DEV_PENDING);

    uint8_t packet = 0;
    uint32_t n = 0;
    EXPECT_EQ(DevIoControl(h, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, &packet, 1, &n, nullptr), DEV_SUCCESS);
    EXPECT_EQ(packet, 64);
    // Answered while the read is still on the bus and the receive waits behind it.
    EXPECT_EQ(DevGetOverlappedResult(h, &read.ov, &n, false), DEV_IO_INCOMPLETE);
    EXPECT_EQ(DevGetOverlappedResult(h, &answer.ov, &n, false), DEV_IO_INCOMPLETE);

    ASSERT_EQ(DevWaitEvent(answer.ov.Event, -1, 5000), DEV_WAIT_EVENT);
    // By the time the answer is in, the read has finished.
    EXPECT_EQ(DevGetOverlappedResult(h, &read.ov, &n, false), DEV_SUCCESS);
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(DevGetOverlappedResult(h, &answer.ov, &n, false), DEV_SUCCESS);
    EXPECT_EQ(n, 8u);
    EXPECT_GE(Millis() - t0, 490u);
    EXPECT_EQ(a[0], static_cast<uint8_t>(~2));
    DevClose(h);
}

TEST_F(DevioTest, ClosingTheHandleCancelsAPendingReceive) {
    Attach("unit=0,fault=answer-hang:1");
    DevHandle h = Open(0);
    Overlapped answer;
    Answer a{};
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a.data(), 8, nullptr, &answer.ov), DEV_PENDING);
    EXPECT_EQ(DevWaitEvent(answer.ov.Event, -1, 50), DEV_WAIT_TIMEOUT);
    EXPECT_EQ(DevClose(h), DEV_SUCCESS);
    EXPECT_EQ(DevWaitEvent(answer.ov.Event, -1, 0), DEV_WAIT_EVENT);
    EXPECT_EQ(answer.ov.Status, DEV_CANCELLED);
    EXPECT_EQ(answer.ov.Information, 0u);
}

TEST_F(DevioTest, CancelIoCancelsQueuedAndRunningRequestsAndTheHandleGoesOn) {
    int id = Attach("unit=0,fault=answer-hang:1");
    DevHandle h = Open(0);
    Overlapped running, queued1, queued2;
    Answer a{}, b{};
    Packet p = MakePacket(9, 0x24);
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a.data(), 8, nullptr, &running.ov), DEV_PENDING);
    ASSERT_TRUE(WaitFor([&] { return sim::FindUsbUnit(id)->answerReads() == 1; }));  // hanging in the unit
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_SEND_COMMAND, p.data(), 10, nullptr, 0, nullptr, &queued1.ov), DEV_PENDING);
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, b.data(), 8, nullptr, &queued2.ov), DEV_PENDING);
    EXPECT_EQ(DevCancelIo(h), DEV_SUCCESS);
    uint32_t n;
    for (Overlapped* o : {&running, &queued1, &queued2})
        EXPECT_EQ(DevGetOverlappedResult(h, &o->ov, &n, true), DEV_CANCELLED);
    EXPECT_EQ(sim::FindUsbUnit(id)->commands(), 0u);  // the queued command never went out
    EXPECT_EQ(RequestCount(id), 2);                   // at rest, plus the open handle
    EXPECT_EQ(Exchange(h, MakePacket(10, 0x24))[0], static_cast<uint8_t>(~10));
    DevClose(h);
}

struct ShareCase {
    uint32_t first, second;
    uint32_t expect;
};

TEST_F(DevioTest, ExclusiveOpenShutsOutOthers) {
    const uint32_t rw = DEV_SHARE_READ | DEV_SHARE_WRITE;
    const ShareCase cases[] = {
        {0, 0, DEV_SHARING_VIOLATION},
        {0, rw, DEV_SHARING_VIOLATION},
        {rw, 0, DEV_SHARING_VIOLATION},
        {rw, rw, DEV_SUCCESS},
    };
    int id = Attach("unit=0");
    for (const auto& c : cases) {
        DevHandle a = Open(0, c.first), b;
        EXPECT_EQ(DevOpen(DeviceName(0).c_str(), c.second, &b), c.expect) << c.first << "/" << c.second;
        // A refused open must not make the device removable under the open handle.
        EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
        if (c.expect == DEV_SUCCESS) {
            DevClose(b);
            EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
        }
        DevClose(a);
        ASSERT_EQ(DevOpen(DeviceName(0).c_str(), 0, &b), DEV_SUCCESS);
        DevClose(b);
    }
}

TEST_F(DevioTest, QueryRemoveAndQueryStopFailWhileAHandleIsOpen) {
    int id = Attach("unit=0");
    DevHandle h = Open(0);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ext(id)->Usb.Dev.PnpState, WK_PNP_STARTED);
    DevClose(h);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext(id)->Usb.Dev.PnpState, WK_PNP_STOP_PENDING);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext(id)->Usb.Dev.PnpState, WK_PNP_REMOVE_PENDING);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext(id)->Usb.Dev.PnpState, WK_PNP_STARTED);
    EXPECT_EQ(Exchange(Open(0), MakePacket(1, 0x24))[1], 0x60);
}

// An open during a pending stop waits; the cancel-stop lets it through.
TEST_F(DevioTest, OpenDuringStopPendingIsHeldUntilCancelStop) {
    int id = Attach("unit=0");
    DevHostStart();
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    DevHandle h = DEV_INVALID_HANDLE_VALUE;
    uint32_t status = 99;
    std::atomic<bool> done{false};
    std::thread opener([&] {
        status = DevOpen(DeviceName(0).c_str(), 0, &h);
        done = true;
    });
    usleep(100 * 1000);
    EXPECT_FALSE(done.load());
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    opener.join();
    EXPECT_EQ(status, DEV_SUCCESS);
    EXPECT_EQ(Exchange(h, MakePacket(3, 0x24))[1], 0x60);
    DevClose(h);
}

TEST_F(DevioTest, AfterSurpriseRemovalRequestsFailWithDeletePending) {
    int id = Attach("unit=0,fault=answer-hang:1");
    DevHandle h = Open(0);
    Overlapped hanging;
    Answer a{};
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a.data(), 8, nullptr, &hanging.ov), DEV_PENDING);
    ASSERT_TRUE(WaitFor([&] { return sim::FindUsbUnit(id)->answerReads() == 1; }));
    int bus = Bus(id);
    sim::DetachUsbUnit(id);
    uint32_t n;
    EXPECT_EQ(DevGetOverlappedResult(h, &hanging.ov, &n, true), DEV_CANCELLED);
    EXPECT_EQ(Send(h, MakePacket(1, 0x24)), DEV_DELETE_PENDING);
    EXPECT_EQ(Receive(h, &a), DEV_DELETE_PENDING);
    uint8_t buf[8];
    EXPECT_EQ(DevRead(h, buf, 8, &n, nullptr), DEV_DELETE_PENDING);
    EXPECT_EQ(DevIoControl(h, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, buf, 1, &n, nullptr), DEV_DELETE_PENDING);
    // The name is gone at once; the device itself once the handle closes.
    DevHandle other;
    EXPECT_EQ(DevOpen(DeviceName(0).c_str(), DEV_SHARE_READ, &other), DEV_NO_SUCH_DEVICE);
    EXPECT_NE(KeFunctionDevice(bus), nullptr);
    DevClose(h);
    KeWaitPnpIdle();
    EXPECT_EQ(KeBusPdo(bus), nullptr);
}

TEST_F(DevioTest, EleventhUnitGetsNoDeviceAndFreedNumbersAreReused) {
    std::vector<int> ids;
    for (int i = 0; i < 11; ++i) ids.push_back(Attach("unit=" + std::to_string(i % 4)));
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    for (int i = 0; i < 10; ++i) {
        ASSERT_NE(Ext(ids[i]), nullptr) << i;
        EXPECT_EQ(Ext(ids[i])->Number, static_cast<ULONG>(i));
    }
    EXPECT_EQ(KeFunctionDevice(Bus(ids[10])), nullptr);
    DEVICE_OBJECT* pdo = KeBusPdo(Bus(ids[10]));
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(QorpelmoAddDevice(KeHostDriver(), pdo), STATUS_SUCCESS);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);

    // Unit 3 leaves; the next one to arrive gets number 3.
    sim::DetachUsbUnit(ids[3]);
    DevHandle h;
    EXPECT_EQ(DevOpen(DeviceName(3).c_str(), 0, &h), DEV_NO_SUCH_DEVICE);
    int late = Attach("unit=1,id=0x3333");
    ASSERT_NE(Ext(late), nullptr);
    EXPECT_EQ(Ext(late)->Number, 3u);
    h = Open(3);
    Answer a = Exchange(h, MakePacket(1, 0x24));
    EXPECT_EQ(a[3] << 8 | a[4], 0x3333);
    DevClose(h);
}

// The host's threads are still running when a program exits without closing its handles.
TEST_F(DevioTest, ExitWithAnOpenHandleEndsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::AttachUsbUnit("unit=0,bulkdelay=100");
            DevHandle h;
            if (DevOpen(DeviceName(0).c_str(), 0, &h) != DEV_SUCCESS) std::exit(1);
            Overlapped read;
            uint8_t data[8];
            DevRead(h, data, 8, nullptr, &read.ov);  // still running at exit
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST_F(DevioTest, EventFdPollsTogetherWithAnotherDescriptor) {
    DevEvent ev = DevCreateEvent(true, false);
    ASSERT_NE(ev, DEV_NO_EVENT);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(DevWaitEvent(ev, fds[0], 20), DEV_WAIT_TIMEOUT);
    ASSERT_EQ(write(fds[1], "k", 1), 1);
    EXPECT_EQ(DevWaitEvent(ev, fds[0], 1000), DEV_WAIT_FD);
    DevSetEvent(ev);
    EXPECT_EQ(DevWaitEvent(ev, fds[0], 1000), DEV_WAIT_EVENT);  // the event wins
    pollfd p{DevEventFd(ev), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(DevWaitEvent(ev, -1, 0), DEV_WAIT_EVENT);  // manual: stays set
    DevResetEvent(ev);
    EXPECT_EQ(poll(&p, 1, 0), 0);
    DevCloseEvent(ev);
    close(fds[0]);
    close(fds[1]);

    DevEvent autoEv = DevCreateEvent(false, true);
    EXPECT_EQ(DevWaitEvent(autoEv, -1, 0), DEV_WAIT_EVENT);
    EXPECT_EQ(DevWaitEvent(autoEv, -1, 0), DEV_WAIT_TIMEOUT);  // the wait cleared it
    DevCloseEvent(autoEv);
    EXPECT_EQ(DevWaitEvent(autoEv, -1, 0), DEV_WAIT_FAILED);
}

}  // namespace
