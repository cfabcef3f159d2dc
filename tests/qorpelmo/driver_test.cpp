// The driver and its framework seen from inside: configuration, endpoints,
// held requests, power, removal paths.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/qorpelmo/driver_fixture.h"

using namespace drivertest;

namespace {

class QorpelmoTest : public DriverTest {
protected:
    // Arms the unit for a bulk read of n bytes from address 0.
    static void ArmRead(DevHandle h, uint16_t n) {
        Exchange(h, MakePacket(1, 0x29));
        Exchange(h, MakePacket(2, 0x22, 0, 0, 0, 0, n));
    }
    static uint32_t Wait(DevHandle h, Overlapped& o, uint32_t* n) {
        EXPECT_EQ(DevWaitEvent(o.ov.Event, -1, 5000), DEV_WAIT_EVENT);
        return DevGetOverlappedResult(h, &o.ov, n, false);
    }
};

struct ConfigCase {
    uint32_t pad;
    uint32_t reads;
};

// The first read asks for 265 bytes; a longer set is read again whole.
TEST_F(QorpelmoTest, ConfigurationSetLongerThanTheFirstReadIsReadTwice) {
    // 46 bytes of configuration, interface and endpoints, plus the vendor padding.
    const ConfigCase cases[] = {{0, 1}, {219, 1}, {220, 2}, {3000, 2}};
    for (const auto& c : cases) {
        int id = Attach("unit=0,cfgpad=" + std::to_string(c.pad));
        ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
        auto unit = sim::FindUsbUnit(id);
        EXPECT_EQ(unit->configDescriptorReads(), c.reads) << c.pad;
        EXPECT_EQ(unit->configuration(), 1) << c.pad;
        WK_USB_DEVICE* usb = &Ext(id)->Usb;
        ASSERT_NE(usb->ConfigurationDescriptor, nullptr);
        EXPECT_EQ(usb->ConfigurationDescriptor->wTotalLength, 46 + c.pad);
        // Endpoints are found behind the vendor descriptors.
        USB_ENDPOINT_DESCRIPTOR* ep = WkUsbGetEndpointDescriptor(usb, 3);
        ASSERT_NE(ep, nullptr) << c.pad;
        EXPECT_EQ(ep->bEndpointAddress, 0x04);
        DevHandle h = Open(0);
        EXPECT_EQ(Exchange(h, MakePacket(7, 0x24))[0], static_cast<uint8_t>(~7));
        DevHostStop();
        sim::DetachAllUsbUnits();
    }
}

TEST_F(QorpelmoTest, EndpointsByIndexAndPipeLimits) {
    int id = Attach("unit=0");
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    WK_USB_DEVICE* usb = &Ext(id)->Usb;
    const UCHAR addresses[4] = {0x81, 0x02, 0x83, 0x04};
    const ULONG limits[4] = {16, 16, 0x8000, 0x8000};
    ASSERT_NE(usb->InterfaceInformation, nullptr);
    ASSERT_EQ(usb->InterfaceInformation->NumberOfPipes, 4u);
    for (ULONG k = 0; k < 4; ++k) {
        USB_ENDPOINT_DESCRIPTOR* ep = WkUsbGetEndpointDescriptor(usb, k);
        ASSERT_NE(ep, nullptr) << k;
        EXPECT_EQ(ep->bEndpointAddress, addresses[k]);
        EXPECT_EQ(usb->InterfaceInformation->Pipes[k].EndpointAddress, addresses[k]);
        EXPECT_EQ(usb->InterfaceInformation->Pipes[k].MaximumTransferSize, limits[k]);
    }
    EXPECT_EQ(WkUsbGetEndpointDescriptor(usb, 4), nullptr);
    EXPECT_EQ(WkUsbGetEndpointDescriptor(usb, 100), nullptr);
    EXPECT_EQ(WkUsbAsynchronousBulkTransfer(usb, nullptr, 1, 0, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

// A unit with three endpoints has no bulk-out pipe: the requests that need it fail cleanly.
TEST_F(QorpelmoTest, MissingPipeFailsTheRequestsThatNeedIt) {
    int id = Attach("unit=0,endpoints=3");
    DevHandle h = Open(0);
    EXPECT_EQ(WkUsbGetEndpointDescriptor(&Ext(id)->Usb, 3), nullptr);
    uint8_t b[4] = {};
    uint32_t n = 0;
    EXPECT_EQ(DevIoControl(h, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, b, 1, &n, nullptr), DEV_UNSUCCESSFUL);
    EXPECT_EQ(DevWrite(h, b, 4, &n, nullptr), DEV_UNSUCCESSFUL);
    EXPECT_EQ(Exchange(h, MakePacket(1, 0x24))[1], 0x60);  // the other pipes still work
    EXPECT_EQ(RequestCount(id), 2);
    DevClose(h);
}

TEST_F(QorpelmoTest, NamesLinksAndCapabilities) {
    int a = Attach("unit=0"), b = Attach("unit=1");
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    const char* names[2][3] = {{"\\Device\\Qorpelmo0", "Qorpelmo0", "\\DosDevices\\Qorpelmo0"},
                               {"\\Device\\Qorpelmo1", "Qorpelmo1", "\\DosDevices\\Qorpelmo1"}};
    int ids[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        WK_DEVICE* wk = &Ext(ids[i])->Usb.Dev;
        EXPECT_STREQ(wk->DeviceName, names[i][0]);
        EXPECT_STREQ(wk->ShortName, names[i][1]);
        EXPECT_STREQ(wk->LinkName, names[i][2]);
        EXPECT_EQ(wk->DeviceObject->DeviceType, QORPELMO_DEVICE_TYPE);
        EXPECT_EQ(wk->DeviceObject->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ(wk->PnpState, WK_PNP_STARTED);
        EXPECT_TRUE(Ext(ids[i])->Usb.SurpriseRemovalOK);
        EXPECT_FALSE(wk->IdlePowerDown);
        EXPECT_EQ(wk->RequestCount, 1);
    }
}

// Normally no handle can be open while a stop is pending (query-stop refuses); this
// forces the device stoppable to see what happens to requests that arrive then.
class HeldRequestTest : public QorpelmoTest {
protected:
    void StopPendingWithHandle(int id, DevHandle* h) {
        *h = Open(0);
        ArmRead(*h, 64);
        InterlockedExchange(&Ext(id)->Usb.Dev.Stoppable, 1);
        ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    }
};

TEST_F(HeldRequestTest, ReadDuringStopPendingCompletesAfterCancelStop) {
    int id = Attach("unit=0");
    DevHandle h;
    StopPendingWithHandle(id, &h);
    auto unit = sim::FindUsbUnit(id);
    uint32_t before = unit->bulkTransfers();
    Overlapped read;
    uint8_t data[64];
    ASSERT_EQ(DevRead(h, data, 64, nullptr, &read.ov), DEV_PENDING);
    usleep(100 * 1000);
    uint32_t n = 0;
    EXPECT_EQ(DevGetOverlappedResult(h, &read.ov, &n, false), DEV_IO_INCOMPLETE);
    EXPECT_EQ(unit->bulkTransfers(), before);
    EXPECT_EQ(RequestCount(id), 3);  // rest + handle + the held read
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Wait(h, read, &n), DEV_SUCCESS);
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(data[0], 0xFF);  // fresh RAM
    EXPECT_EQ(RequestCount(id), 2);
    DevClose(h);
}

TEST_F(HeldRequestTest, HeldRequestsCanBeCancelledAndDoNotBlockClose) {
    int id = Attach("unit=0");
    DevHandle h;
    StopPendingWithHandle(id, &h);
    Overlapped a, b;
    uint8_t data[64];
    ASSERT_EQ(DevRead(h, data, 64, nullptr, &a.ov), DEV_PENDING);
    ASSERT_EQ(DevCancelIo(h), DEV_SUCCESS);
    uint32_t n;
    EXPECT_EQ(Wait(h, a, &n), DEV_CANCELLED);
    ASSERT_EQ(DevRead(h, data, 64, nullptr, &b.ov), DEV_PENDING);
    EXPECT_EQ(DevClose(h), DEV_SUCCESS);  // cleanup takes the held read with it
    EXPECT_EQ(b.ov.Status, DEV_CANCELLED);
    EXPECT_EQ(RequestCount(id), 1);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}

TEST_F(QorpelmoTest, StopReleasesTheConfigurationAndStartRestoresIt) {
    int id = Attach("unit=0");
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    auto unit = sim::FindUsbUnit(id);
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    WK_USB_DEVICE* usb = &Ext(id)->Usb;
    EXPECT_EQ(usb->Dev.PnpState, WK_PNP_STOPPED);
    EXPECT_EQ(usb->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(usb->InterfaceInformation, nullptr);
    EXPECT_EQ(unit->configuration(), 0);  // unconfigured on the bus

    // An open while stopped is held until the device starts again.
    DevHandle h = DEV_INVALID_HANDLE_VALUE;
    std::atomic<uint32_t> status{99};
    std::thread opener([&] { status = DevOpen(DeviceName(0).c_str(), 0, &h); });
    usleep(50 * 1000);
    EXPECT_EQ(status.load(), 99u);
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    opener.join();
    ASSERT_EQ(status.load(), DEV_SUCCESS);
    EXPECT_EQ(usb->Dev.PnpState, WK_PNP_STARTED);
    EXPECT_EQ(unit->configuration(), 1);
    EXPECT_EQ(Exchange(h, MakePacket(4, 0x24))[1], 0x60);
    DevClose(h);
}

TEST_F(QorpelmoTest, SystemSleepHoldsRequestsUntilTheDeviceIsBackInD0) {
    int id = Attach("unit=0");
    DevHandle h = Open(0);
    POWER_STATE s3, s0;
    s3.SystemState = PowerSystemSleeping3;
    s0.SystemState = PowerSystemWorking;
    // A handle is open: the device refuses to power down, so the system query fails.
    EXPECT_EQ(KePowerRequest(Bus(id), IRP_MN_QUERY_POWER, SystemPowerState, s3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ext(id)->Usb.Dev.PoweringDown, 0);
    DevClose(h);

    ASSERT_EQ(KePowerRequest(Bus(id), IRP_MN_QUERY_POWER, SystemPowerState, s3), STATUS_SUCCESS);
    WK_DEVICE* wk = &Ext(id)->Usb.Dev;
    EXPECT_EQ(wk->PoweringDown, 1);
    EXPECT_EQ(wk->SystemPowerState, PowerSystemSleeping3);
    h = Open(0);
    Overlapped send;
    Packet p = MakePacket(3, 0x24);
    ASSERT_EQ(DevIoControl(h, DEV_IOCTL_SEND_COMMAND, p.data(), 10, nullptr, 0, nullptr, &send.ov), DEV_PENDING);
    ASSERT_EQ(KePowerRequest(Bus(id), IRP_MN_SET_POWER, SystemPowerState, s3), STATUS_SUCCESS);
    EXPECT_EQ(wk->DevicePowerState, PowerDeviceD3);
    uint32_t n;
    EXPECT_EQ(DevGetOverlappedResult(h, &send.ov, &n, false), DEV_IO_INCOMPLETE);
    EXPECT_EQ(sim::FindUsbUnit(id)->commands(), 0u);
    ASSERT_EQ(KePowerRequest(Bus(id), IRP_MN_SET_POWER, SystemPowerState, s0), STATUS_SUCCESS);
    EXPECT_EQ(wk->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(wk->PoweringDown, 0);
    EXPECT_EQ(Wait(h, send, &n), DEV_SUCCESS);
    EXPECT_EQ(n, 10u);
    Answer a{};
    EXPECT_EQ(Receive(h, &a), DEV_SUCCESS);
    EXPECT_EQ(a[0], static_cast<uint8_t>(~3));
    DevClose(h);
}

// Older platforms remove through a work item that waits for the last request.
TEST_F(QorpelmoTest, RemovalOnOlderPlatformsDeletesTheDeviceFromAWorkItem) {
    KeSetWdmVersion(1, 0x0A);
    int id = Attach("unit=0");
    DevHandle h = Open(0);
    EXPECT_EQ(Exchange(h, MakePacket(1, 0x24))[1], 0x60);
    int bus = Bus(id);
    DEVICE_OBJECT* fdo = KeFunctionDevice(bus);
    ASSERT_NE(fdo, nullptr);
    sim::DetachUsbUnit(id);
    EXPECT_NE(KeBusPdo(bus), nullptr);  // a handle is still open
    DevClose(h);
    KeWaitPnpIdle();
    EXPECT_EQ(KeBusPdo(bus), nullptr);
    EXPECT_EQ(KeHostDriver()->DeviceObject, nullptr);
}

TEST_F(QorpelmoTest, OrderlyRemovalUnconfiguresTheUnit) {
    int id = Attach("unit=0");
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    auto unit = sim::FindUsbUnit(id);
    ASSERT_EQ(unit->configuration(), 1);
    int bus = Bus(id);
    ASSERT_EQ(KePnpRequest(bus, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(KePnpRequest(bus, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    KeWaitPnpIdle();
    EXPECT_EQ(unit->configuration(), 0);
    DevHandle h;
    EXPECT_EQ(DevOpen(DeviceName(0).c_str(), 0, &h), DEV_NO_SUCH_DEVICE);
}

// No request block to be had: the request fails with STATUS_NO_MEMORY and the next one runs.
TEST_F(QorpelmoTest, TransferWithoutARequestBlockFailsAndTheQueueGoesOn) {
    int id = Attach("unit=0");
    DevHandle h = Open(0);
    NPAGED_LOOKASIDE_LIST* pool = &Ext(id)->Usb.UrbPool;
    std::vector<void*> taken;
    while (pool->Count > 0) taken.push_back(ExAllocateFromNPagedLookasideList(pool));
    // The request itself and its system buffer still come from pool; the block does not.
    KeFailPoolAllocations(2, 1);
    EXPECT_EQ(Send(h, MakePacket(1, 0x24)), DEV_NO_MEMORY);
    EXPECT_EQ(sim::FindUsbUnit(id)->commands(), 0u);
    EXPECT_EQ(Exchange(h, MakePacket(2, 0x24))[0], static_cast<uint8_t>(~2));
    for (void* p : taken) ExFreeToNPagedLookasideList(pool, p);
    EXPECT_EQ(RequestCount(id), 2);
    DevClose(h);
}

// A start that cannot set up the configuration leaves the device in state 7; its
// requests fail instead of reaching pipes that were never selected.
TEST_F(QorpelmoTest, FailedStartLeavesTheDeviceStopped) {
    int id = Attach("unit=0");
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(KePnpRequest(Bus(id), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    // Pool takes on the way: the start request, the device descriptor request, then
    // the configuration buffer, which fails.
    KeFailPoolAllocations(2, 1);
    EXPECT_EQ(KePnpRequest(Bus(id), IRP_MN_START_DEVICE), STATUS_NO_MEMORY);
    WK_DEVICE* wk = &Ext(id)->Usb.Dev;
    EXPECT_EQ(wk->PnpState, WK_PNP_START_FAILED);
    EXPECT_EQ(wk->Stopped, 1);
    EXPECT_EQ(Ext(id)->Usb.ConfigurationDescriptor, nullptr);
    DevHandle h = Open(0);
    EXPECT_EQ(Send(h, MakePacket(1, 0x24)), DEV_UNSUCCESSFUL);
    uint8_t b;
    uint32_t n;
    EXPECT_EQ(DevIoControl(h, DEV_IOCTL_GET_PACKET_SIZE, nullptr, 0, &b, 1, &n, nullptr), DEV_UNSUCCESSFUL);
    EXPECT_EQ(sim::FindUsbUnit(id)->commands(), 0u);
    DevClose(h);
}

// A backend that hears of no unplugging (libusb here) removes its device when a
// transfer finds it gone.
class SilentlyUnplugged : public UsbBusDevice {
public:
    SilentlyUnplugged(std::shared_ptr<sim::UsbUnit> unit, std::atomic<bool>* gone) : unit_(unit), gone_(gone) {}
    UsbBusResult GetDescriptor(UCHAR type, UCHAR index, USHORT, void* buffer, ULONG length, ULONG* moved) override {
        int n = unit_->getDescriptor(type, index, static_cast<uint8_t*>(buffer), length);
        *moved = n < 0 ? 0 : static_cast<ULONG>(n);
        return n < 0 ? USB_BUS_STALL : USB_BUS_OK;
    }
    UsbBusResult SetConfiguration(UCHAR value) override {
        if (*gone_) return USB_BUS_GONE;
        return unit_->setConfiguration(value) ? USB_BUS_OK : USB_BUS_STALL;
    }
    UsbBusResult Transfer(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved, UsbAbortSignal& abort) override {
        if (*gone_) return USB_BUS_GONE;
        uint32_t m = 0;
        auto r = unit_->transfer(endpoint, static_cast<uint8_t*>(buffer), length, &m,
                                 [&abort](uint32_t ms) { return abort.Wait(ms); });
        *moved = m;
        return r == sim::USBX_OK ? USB_BUS_OK : USB_BUS_ERROR;
    }
    std::string Describe() const override { return "silent"; }
    bool LeavesOnGone() const override { return true; }

private:
    std::shared_ptr<sim::UsbUnit> unit_;
    std::atomic<bool>* gone_;
};

TEST_F(QorpelmoTest, UnplugSeenOnlyByATransferRemovesTheDevice) {
    ASSERT_EQ(DevHostStart(), DEV_SUCCESS);
    sim::UsbUnitOptions options;
    auto unit = std::make_shared<sim::UsbUnit>(options);
    std::atomic<bool> gone{false};
    UsbBusArrive(new SilentlyUnplugged(unit, &gone));
    DevHandle h = Open(0);
    EXPECT_EQ(Exchange(h, MakePacket(1, 0x24))[1], 0x60);
    gone = true;
    EXPECT_EQ(Send(h, MakePacket(2, 0x24)), DEV_DEVICE_GONE);
    KeWaitPnpIdle();
    EXPECT_EQ(Send(h, MakePacket(3, 0x24)), DEV_DELETE_PENDING);
    DevClose(h);
    KeWaitPnpIdle();
    EXPECT_EQ(KeHostDriver()->DeviceObject, nullptr);
}

}  // namespace
