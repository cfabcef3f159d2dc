// The kernel layer on its own: IRP completion through a stack, the device queue
// with StartIo and cancellation, names, pool, events, request-block helpers and
// the libusb matching that needs no hardware.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/host.h"
#include "kernel/kernel_internal.h"
#include "kernel/usb.h"
#include "kernel/usb_libusb.h"
#include "kernel/wdm.h"

namespace {

// A toy driver: the bottom device completes or holds what it gets; the upper
// devices pass everything down.
struct Toy {
    DRIVER_OBJECT driver{};
    std::vector<DEVICE_OBJECT*> stack;  // [0] bottom
    std::vector<IRP*> held;
    std::vector<std::string> log;
    std::vector<IRP*> started;
    bool completeInStartIo = false;
    int startIoDepth = 0, maxStartIoDepth = 0;
    // A started request gets a cancel routine of the device below, as on the USB bus.
    PDRIVER_CANCEL lowerCancel = nullptr;
    // StartIo of this request first waits, as a thread that has just dequeued it may.
    IRP* pauseFor = nullptr;
    std::function<void()> pause;
    bool pausedSawCancel = false;
};
Toy* g_toy = nullptr;

NTSTATUS ToyDispatch(DEVICE_OBJECT* d, IRP* irp) {
    if (d == g_toy->stack[0]) {
        IoMarkIrpPending(irp);
        g_toy->held.push_back(irp);
        return STATUS_PENDING;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(d->LowerDevice, irp);
}

void ToyStartIo(DEVICE_OBJECT* d, IRP* irp) {
    if (irp == g_toy->pauseFor) {
        g_toy->pause();
        g_toy->pausedSawCancel = irp->Cancel;  // still its memory, as a driver may look
    }
    ++g_toy->startIoDepth;
    g_toy->maxStartIoDepth = std::max(g_toy->maxStartIoDepth, g_toy->startIoDepth);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool ours = irp == d->CurrentIrp && IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (ours) {
        g_toy->started.push_back(irp);
        if (g_toy->lowerCancel) {
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, g_toy->lowerCancel);
            IoReleaseCancelSpinLock(irql);
        }
        if (g_toy->completeInStartIo) {
            IoStartNextPacket(d, true);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp);
        }
    }
    --g_toy->startIoDepth;
}

void ToyCancel(DEVICE_OBJECT* d, IRP* irp) {
    bool current = irp == d->CurrentIrp;
    if (!current) KeRemoveEntryDeviceQueue(&d->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry);
    IoReleaseCancelSpinLock(0);
    if (current) IoStartNextPacket(d, true);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp);
}

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_toy = &toy;
        toy.driver.DriverName = "\\Driver\\toy";
        for (auto& f : toy.driver.MajorFunction) f = ToyDispatch;
        toy.driver.DriverStartIo = ToyStartIo;
        for (int i = 0; i < 3; ++i) {
            DEVICE_OBJECT* d = nullptr;
            std::string name = "\\Device\\Toy" + std::to_string(i);
            ASSERT_EQ(IoCreateDevice(&toy.driver, 16, name.c_str(), 0x22, 0, false, &d), STATUS_SUCCESS);
            if (i) { ASSERT_NE(IoAttachDeviceToDeviceStack(d, toy.stack.back()), nullptr); }
            toy.stack.push_back(d);
        }
    }
    void TearDown() override {
        for (auto it = toy.stack.rbegin(); it != toy.stack.rend(); ++it) {
            if ((*it)->LowerDevice) IoDetachDevice((*it)->LowerDevice);
            IoDeleteDevice(*it);
        }
        g_toy = nullptr;
    }
    IRP* NewIrp(DEVICE_OBJECT* top) {
        IRP* irp = IoAllocateIrp(top->StackSize);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        irp->Finish = [](IRP*, void* ctx) { ++*static_cast<int*>(ctx); };
        irp->FinishContext = &finished;
        return irp;
    }
    Toy toy;
    int finished = 0;
};

struct RoutineContext {
    std::vector<std::string>* log;
    const char* name;
    NTSTATUS result;
};
NTSTATUS Record(DEVICE_OBJECT* d, IRP*, void* context) {
    auto* c = static_cast<RoutineContext*>(context);
    c->log->push_back(std::string(c->name) + "@" + (d ? d->Name : "none"));
    return c->result;
}

TEST_F(KernelTest, CompletionRunsUpTheStackAndStopsOnMoreProcessing) {
    DEVICE_OBJECT* top = toy.stack[2];
    EXPECT_EQ(top->StackSize, 3);
    IRP* irp = NewIrp(top);
    // Our own completion at the top, the middle device's below it.
    RoutineContext mine{&toy.log, "top", STATUS_SUCCESS};
    IoSetCompletionRoutine(irp, Record, &mine, true, true, true);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(toy.held.size(), 1u);
    IRP* held = toy.held[0];
    EXPECT_EQ(IoGetCurrentIrpStackLocation(held)->DeviceObject, toy.stack[0]);
    // The middle device had copied its location down without a routine; add one that stops the walk.
    RoutineContext middle{&toy.log, "middle", STATUS_MORE_PROCESSING_REQUIRED};
    IoGetCurrentIrpStackLocation(held)->CompletionRoutine = Record;
    IoGetCurrentIrpStackLocation(held)->Context = &middle;
    IoGetCurrentIrpStackLocation(held)->Control |= SL_INVOKE_ON_SUCCESS;
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held);
    ASSERT_EQ(toy.log.size(), 1u);
    EXPECT_EQ(toy.log[0], "middle@\\Device\\Toy1");
    EXPECT_EQ(finished, 0);
    IoCompleteRequest(held);  // the middle driver finishes it
    ASSERT_EQ(toy.log.size(), 2u);
    EXPECT_EQ(toy.log[1], "top@none");  // set by the creator: no device above it
    EXPECT_EQ(finished, 1);
}

TEST_F(KernelTest, ErrorOnlyRoutinesSkipSuccess) {
    IRP* irp = NewIrp(toy.stack[0]);
    RoutineContext onError{&toy.log, "error", STATUS_SUCCESS};
    IoSetCompletionRoutine(irp, Record, &onError, false, true, false);
    IoCallDriver(toy.stack[0], irp);
    toy.held[0]->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(toy.held[0]);
    EXPECT_TRUE(toy.log.empty());
    EXPECT_EQ(finished, 1);
}

TEST_F(KernelTest, DeviceQueueRunsOneAtATimeAndCancelTakesQueuedOnes) {
    DEVICE_OBJECT* d = toy.stack[0];
    IRP* irps[4];
    for (auto& irp : irps) {
        irp = NewIrp(d);
        --irp->CurrentLocation;  // as if dispatched to d
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = d;
        IoStartPacket(d, irp, nullptr, ToyCancel);
    }
    ASSERT_EQ(toy.started.size(), 1u);
    EXPECT_EQ(d->CurrentIrp, irps[0]);
    IoReferenceIrp(irps[2]);
    EXPECT_TRUE(IoCancelIrp(irps[2]));  // queued: out of the queue, completed
    EXPECT_EQ(irps[2]->IoStatus.Status, STATUS_CANCELLED);
    IoDereferenceIrp(irps[2]);
    EXPECT_EQ(finished, 1);
    // The running one has no cancel routine any more: cancel only marks it.
    EXPECT_FALSE(IoCancelIrp(irps[0]));
    IoStartNextPacket(d, true);
    irps[0]->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irps[0]);
    ASSERT_EQ(toy.started.size(), 2u);
    EXPECT_EQ(toy.started[1], irps[1]);
    IoStartNextPacket(d, true);
    irps[1]->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irps[1]);
    ASSERT_EQ(toy.started.size(), 3u);
    EXPECT_EQ(toy.started[2], irps[3]);
    IoStartNextPacket(d, true);
    irps[3]->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irps[3]);
    EXPECT_EQ(finished, 4);
    EXPECT_EQ(d->CurrentIrp, nullptr);
    EXPECT_FALSE(d->DeviceQueue.Busy);
}

// A request cancelled before it was queued still gets its cancel routine run.
TEST_F(KernelTest, RequestCancelledBeforeQueuingIsCompletedByItsCancelRoutine) {
    DEVICE_OBJECT* d = toy.stack[0];
    IRP* first = NewIrp(d);
    IRP* late = NewIrp(d);
    for (IRP* irp : {first, late}) {
        --irp->CurrentLocation;
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = d;
    }
    IoStartPacket(d, first, nullptr, ToyCancel);
    IoCancelIrp(late);  // no routine yet: only marked
    EXPECT_EQ(finished, 0);
    IoStartPacket(d, late, nullptr, ToyCancel);
    EXPECT_EQ(finished, 1);
    IoStartNextPacket(d, true);
    first->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(first);
    EXPECT_EQ(finished, 2);
}

// Requests that finish inside StartIo start the next one from the outer loop, not by recursion.
TEST_F(KernelTest, StartIoDoesNotRecurseThroughTheQueue) {
    DEVICE_OBJECT* d = toy.stack[0];
    toy.completeInStartIo = true;
    // Keep the queue busy while 500 requests pile up.
    IRP* blocker = NewIrp(d);
    --blocker->CurrentLocation;
    IoGetCurrentIrpStackLocation(blocker)->DeviceObject = d;
    toy.completeInStartIo = false;
    IoStartPacket(d, blocker, nullptr, ToyCancel);
    toy.completeInStartIo = true;
    for (int i = 0; i < 500; ++i) {
        IRP* irp = NewIrp(d);
        --irp->CurrentLocation;
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = d;
        IoStartPacket(d, irp, nullptr, ToyCancel);
    }
    toy.maxStartIoDepth = 0;
    IoStartNextPacket(d, true);
    blocker->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(blocker);
    EXPECT_EQ(finished, 501);
    EXPECT_EQ(toy.maxStartIoDepth, 1);
}

// A thread dequeues a request and is held up before its StartIo looks at it; meanwhile
// the request is cancelled (its cancel routine completes it as the current one and
// starts the next), a new request is queued and started. The late StartIo must find
// its own request, still allocated (not a new one in the same memory), and start
// nothing: a second start of a running request sends it down the stack twice.
TEST_F(KernelTest, StartIoHeldUpWhileItsRequestIsCancelledStartsNothing) {
    DEVICE_OBJECT* d = toy.stack[0];
    toy.lowerCancel = [](DEVICE_OBJECT*, IRP*) { IoReleaseCancelSpinLock(0); };
    auto queue = [&] {
        IRP* irp = NewIrp(d);
        --irp->CurrentLocation;
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = d;
        IoStartPacket(d, irp, nullptr, ToyCancel);
        return irp;
    };
    auto finish = [&](IRP* irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        IoStartNextPacket(d, true);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp);
    };
    IRP* first = queue();
    IRP* late = queue();
    IRP* next = queue();
    ASSERT_EQ(toy.started, std::vector<IRP*>{first});

    std::mutex m;
    std::condition_variable cv;
    bool held = false, go = false;
    toy.pauseFor = late;
    toy.pause = [&] {
        std::unique_lock<std::mutex> g(m);
        held = true;
        cv.notify_all();
        cv.wait(g, [&] { return go; });
    };
    std::thread completer([&] { finish(first); });  // dequeues `late`, is held in its StartIo
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return held; });
    }
    EXPECT_EQ(d->CurrentIrp, late);
    EXPECT_TRUE(IoCancelIrp(late));  // completed by its cancel routine, `next` started
    EXPECT_EQ(finished, 1);
    IRP* fresh = queue();
    finish(next);  // `fresh` started
    ASSERT_EQ(d->CurrentIrp, fresh);
    {
        std::lock_guard<std::mutex> g(m);
        go = true;
    }
    cv.notify_all();
    completer.join();
    EXPECT_TRUE(toy.pausedSawCancel);
    EXPECT_EQ(toy.started, (std::vector<IRP*>{first, next, fresh}));
    finish(fresh);
    EXPECT_EQ(finished, 4);
    EXPECT_EQ(d->CurrentIrp, nullptr);
}

// What the soak test relies on: a second completion of one request stops the process.
TEST_F(KernelTest, SecondCompletionIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    IRP* irp = NewIrp(toy.stack[0]);
    IoReferenceIrp(irp);  // keep the memory to complete it again
    IoCallDriver(toy.stack[0], irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp);
    EXPECT_EQ(finished, 1);
    EXPECT_DEATH(IoCompleteRequest(irp), "IRP completed twice");
    IoDereferenceIrp(irp);
}

TEST_F(KernelTest, NamesAreUniqueAndLinksCaseInsensitive) {
    DEVICE_OBJECT* d = nullptr;
    EXPECT_EQ(IoCreateDevice(&toy.driver, 0, "\\device\\TOY0", 0, 0, false, &d), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(IoCreateSymbolicLink("\\DosDevices\\ToyLink", "\\Device\\Toy0"), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink("\\DOSDEVICES\\TOYLINK", "\\Device\\Toy1"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink("\\dosdevices\\toylink"), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink("\\DosDevices\\ToyLink"), STATUS_OBJECT_NAME_NOT_FOUND);
    FILE_OBJECT* f = nullptr;
    EXPECT_EQ(IoOpenFile("\\\\.\\ToyLink", 0, &f), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(KernelServices, LookasideReusesZeroedBlocksAndPoolFailuresAreHonoured) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, 64, 2);
    auto* a = static_cast<uint8_t*>(ExAllocateFromNPagedLookasideList(&list));
    ASSERT_NE(a, nullptr);
    std::memset(a, 0xAB, 64);
    ExFreeToNPagedLookasideList(&list, a);
    auto* b = static_cast<uint8_t*>(ExAllocateFromNPagedLookasideList(&list));
    EXPECT_EQ(b, a);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(b[i], 0) << i;
    KeFailPoolAllocations(1, 1);
    void* ok = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    void* again = ExAllocatePool(8);
    EXPECT_NE(again, nullptr);
    ExFreePool(again);
    ExFreeToNPagedLookasideList(&list, ok);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
}

TEST(KernelServices, EventsWaitAndTimeOut) {
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, false);
    KeInitializeEvent(&s, SynchronizationEvent, true);
    EXPECT_EQ(KeWaitForSingleObject(&n, 10), STATUS_TIMEOUT);
    std::thread t([&] { KeSetEvent(&n); });
    EXPECT_EQ(KeWaitForSingleObject(&n, 2000), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&n, 0), STATUS_SUCCESS);  // notification: stays set
    t.join();
    EXPECT_EQ(KeWaitForSingleObject(&s, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&s, 0), STATUS_TIMEOUT);  // synchronization: taken by the wait
    KeUninitializeEvent(&n);
    KeUninitializeEvent(&s);
}

TEST(KernelServices, WorkItemsRunOnTheWorkerThread) {
    DEVICE_OBJECT device{};
    IO_WORKITEM* item = IoAllocateWorkItem(&device);
    ASSERT_NE(item, nullptr);
    static std::atomic<bool> ranElsewhere{false};
    static std::thread::id caller;
    caller = std::this_thread::get_id();
    IoQueueWorkItem(
        item, [](DEVICE_OBJECT* d, void* ctx) { ranElsewhere = std::this_thread::get_id() != caller && ctx == d; },
        &device);
    KeWaitPnpIdle();
    EXPECT_TRUE(ranElsewhere.load());
    IoFreeWorkItem(item);
    KiStopWorker();
}

TEST(UsbRequestBlocks, ParsersStopAtMalformedDescriptors) {
    // Configuration, interface with two endpoints, then a descriptor with length 0.
    uint8_t set[] = {9, 2, 34, 0,    1, 1,  0, 0x80, 50, 9, 4,    0, 0,  2, 0xFF, 0, 0,
                     0, 7, 5,  0x81, 2, 64, 0, 0,    7,  5, 0x02, 2, 64, 0, 0,    0, 0};
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(set);
    auto* id = USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->bNumEndpoints, 2);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), nullptr);
    auto* ep = USBD_ParseDescriptors(set, sizeof set, set + 18, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(reinterpret_cast<USB_ENDPOINT_DESCRIPTOR*>(ep)->bEndpointAddress, 0x81);
    EXPECT_EQ(USBD_ParseDescriptors(set, sizeof set, set + 32, -1), nullptr);  // length 0: stop

    USBD_INTERFACE_LIST_ENTRY list[2] = {{id, nullptr}, {nullptr, nullptr}};
    URB* urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Length, UsbdInterfaceInformationSize(2));
    ExFreePool(urb);
}

struct IdsCase {
    const char* text;
    bool ok;
    int count;
};

TEST(Libusb, IdListParsing) {
    const IdsCase cases[] = {
        {"1234:5678,1234:5679", true, 2},
        {" abcd:EF01 ", true, 1},
        {"", true, 0},
        {"1234", false, 0},
        {"12345:1", false, 0},
        {"1234:5678x", false, 0},
        {"1234:", false, 0},
        {":5678", false, 0},
    };
    for (const auto& c : cases) {
        UsbIdPair ids[4];
        int n = -1;
        EXPECT_EQ(ParseUsbIds(c.text, ids, 4, &n), c.ok) << c.text;
        if (c.ok) { EXPECT_EQ(n, c.count) << c.text; }
    }
    UsbIdPair ids[4];
    int n = 0;
    ASSERT_TRUE(ParseUsbIds("1234:5678,abcd:ef01", ids, 4, &n));
    EXPECT_TRUE(UsbIdsMatch(ids, n, 0xABCD, 0xEF01));
    EXPECT_TRUE(UsbIdsMatch(ids, n, 0x1234, 0x5678));
    EXPECT_FALSE(UsbIdsMatch(ids, n, 0x1234, 0xEF01));  // pairs, not either part
    EXPECT_FALSE(UsbIdsMatch(ids, 0, 0x1234, 0x5678));
}

// The WinUSB backend matches devices by the pair in their hardware id.
TEST(UsbIds, HardwareIdGivesThePair) {
    struct Case {
        const char* id;
        bool ok;
        uint16_t vendor, product;
    } cases[] = {
        {"USB\\VID_1234&PID_5678&REV_0100", true, 0x1234, 0x5678},
        {"USB\\VID_abcd&PID_EF01", true, 0xABCD, 0xEF01},
        {"usb\\vid_0001&pid_ffff&mi_00", true, 0x0001, 0xFFFF},
        {"USB\\VID_1234&PID_567", false, 0, 0},    // a digit short
        {"USB\\VID_1234&PID_56789", false, 0, 0},  // one too many
        {"USB\\VID_12G4&PID_5678", false, 0, 0},
        {"HID\\VID_1234&PID_5678", false, 0, 0},  // not a USB device id
        {"USB\\PID_5678&VID_1234", false, 0, 0},
        {"USB\\ROOT_HUB30", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t v = 0x5555, p = 0x5555;
        EXPECT_EQ(UsbHardwareIdPair(c.id, &v, &p), c.ok) << c.id;
        if (c.ok) {
            EXPECT_EQ(v, c.vendor) << c.id;
            EXPECT_EQ(p, c.product) << c.id;
        } else {
            EXPECT_EQ(v, 0x5555) << c.id;  // left alone
        }
    }
}

TEST(Libusb, PipesMapByIndexInDescriptorOrder) {
    libusb_endpoint_descriptor eps[4] = {};
    const uint8_t addresses[4] = {0x81, 0x02, 0x86, 0x03};  // a unit may number them freely
    for (int i = 0; i < 4; ++i) eps[i].bEndpointAddress = addresses[i];
    libusb_interface_descriptor alt{};
    alt.bNumEndpoints = 4;
    alt.endpoint = eps;
    libusb_interface iface{};
    iface.altsetting = &alt;
    iface.num_altsetting = 1;
    libusb_config_descriptor config{};
    config.bNumInterfaces = 1;
    config.interface = &iface;
    const libusb_interface_descriptor* unit = LibusbUnitInterface(&config);
    ASSERT_EQ(unit, &alt);
    uint8_t map[4] = {};
    EXPECT_EQ(LibusbPipeMap(unit, map, 4), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(map[i], addresses[i]);
    EXPECT_EQ(LibusbPipeMap(unit, map, 2), 2);
    config.bNumInterfaces = 0;
    EXPECT_EQ(LibusbUnitInterface(&config), nullptr);
    EXPECT_EQ(LibusbUnitInterface(nullptr), nullptr);
}

}  // namespace
