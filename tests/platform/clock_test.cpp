// The clock service: the wall clock, the driven clock that tests move, and the waits
// and windows that read it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/clock.h"
#include "platform/console.h"

namespace {

class DrivenClock : public ::testing::Test {
protected:
    void SetUp() override { ClockDrive(true); }
    void TearDown() override { ClockDrive(false); }
};

TEST(WallClock, NeverGoesBackwardsAndSleepsLetTimePass) {
    ASSERT_FALSE(ClockDriven());
    const uint64_t before = ClockNow();
    SleepMilliseconds(20);
    const uint64_t after = ClockNow();
    EXPECT_GE(after, before + 20);
    EXPECT_EQ(ClockWaitSlice(UINT64_MAX), -1) << "no deadline: wait without limit";
    EXPECT_EQ(ClockWaitSlice(after), 0) << "a deadline that has come";
    const int left = ClockWaitSlice(ClockNow() + 5000);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 5000);
}

TEST_F(DrivenClock, StandsStillUntilMoved) {
    const uint64_t start = ClockNow();
    EXPECT_EQ(ClockNow(), start);
    ClockAdvance(250);
    EXPECT_EQ(ClockNow(), start + 250);
    EXPECT_EQ(ClockMilliseconds(), static_cast<uint32_t>(start + 250));
    // A sleep is time passing: the clock moves by exactly its length, at once.
    SleepMilliseconds(5000);
    EXPECT_EQ(ClockNow(), start + 5250);
    SleepMilliseconds(0);
    EXPECT_EQ(ClockNow(), start + 5250);
}

TEST_F(DrivenClock, AWaitEndsWhenTheClockReachesItsDeadline) {
    const uint64_t deadline = ClockNow() + 100;
    EXPECT_GT(ClockWaitSlice(deadline), 0) << "a driven wait blocks in short slices";
    EXPECT_LT(ClockWaitSlice(deadline), 100);
    ClockAdvance(99);
    EXPECT_GT(ClockWaitSlice(deadline), 0) << "1 ms before the deadline";
    ClockAdvance(1);
    EXPECT_EQ(ClockWaitSlice(deadline), 0);
    EXPECT_EQ(ClockWaitSlice(UINT64_MAX), -1);
}

TEST_F(DrivenClock, AnotherThreadMovesIt) {
    const uint64_t deadline = ClockNow() + 1000;
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        while (ClockWaitSlice(deadline) != 0) std::this_thread::yield();
        passed = true;
    });
    for (int i = 0; i < 10; ++i) ClockAdvance(100);
    waiter.join();
    EXPECT_TRUE(passed);
}

// The second Ctrl+C within a second ends the program; one a full second later
// cancels again. Both measured on the driven clock, to the millisecond.
TEST_F(DrivenClock, TheDoubleCtrlCWindowIsOneSecond) {
    EXPECT_FALSE(ConsoleNoteCtrlC());
    ClockAdvance(1000);
    EXPECT_FALSE(ConsoleNoteCtrlC()) << "a full second after the first";
    EXPECT_EQ(ConsoleEndStatus(), 0);
    ClockAdvance(999);
    EXPECT_TRUE(ConsoleNoteCtrlC()) << "999 ms after the previous one";
    EXPECT_EQ(ConsoleEndStatus(), 130);
}

}  // namespace
