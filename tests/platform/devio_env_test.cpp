// Units named in PELMO_SIM_USB appear at the first open, in the order listed. The
// variable is read once per process, when the driver host starts: this program
// sets it before anything starts the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/qorpelmo/driver_fixture.h"

using namespace drivertest;

TEST(DevioEnvironment, UnitsFromPelmoSimUsbAreThereAtFirstOpen) {
    ASSERT_FALSE(KeHostRunning());
    setenv("PELMO_SIM_USB", "unit=1,id=0x1111;unit=0,ram=256,level=3,id=0x2222,packet=32", 1);
    const int expectUnit[2] = {1, 0};
    const int expectId[2] = {0x1111, 0x2222};
    for (unsigned n = 0; n < 2; ++n) {
        DevHandle h;
        ASSERT_EQ(DevOpen(DeviceName(n).c_str(), 0, &h), DEV_SUCCESS) << n;
        uint32_t got = 0;
        Packet p = MakePacket(static_cast<uint8_t>(n + 1), 0x24);
        ASSERT_EQ(DevIoControl(h, DEV_IOCTL_SEND_COMMAND, p.data(), 10, nullptr, 0, &got, nullptr), DEV_SUCCESS);
        Answer a{};
        ASSERT_EQ(DevIoControl(h, DEV_IOCTL_RECEIVE_ANSWER, nullptr, 0, a.data(), 8, &got, nullptr), DEV_SUCCESS);
        EXPECT_EQ(a[5], expectUnit[n]);
        EXPECT_EQ(a[3] << 8 | a[4], expectId[n]);
        DevClose(h);
    }
    DevHandle h;
    EXPECT_EQ(DevOpen(DeviceName(2).c_str(), 0, &h), DEV_NO_SUCH_DEVICE);
    DevHostStop();
}
