#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "link/errors.h"
#include "link/link.h"
#include "tests/support/test_support.h"

namespace {

class Handles : public ::testing::Test {
protected:
    void TearDown() override { ZAMCloseAll(); }
    uint32_t OpenVirtual(uint32_t size) {
        uint32_t h = 0;
        EXPECT_EQ(ZAMInit(&h, SELECT_VIRTUAL, 0, size, 0), LINK_OK);
        return h;
    }
};

TEST_F(Handles, HandlesRunFromFirstToLastSlotAndEleventhOpenFails) {
    uint32_t handles[LINK_SLOT_COUNT];
    for (uint32_t i = 0; i < LINK_SLOT_COUNT; ++i) {
        handles[i] = OpenVirtual(0x800);
        EXPECT_EQ(handles[i], 25765 + i);
    }
    uint32_t h = 0xDEAD;
    EXPECT_EQ(ZAMInit(&h, SELECT_VIRTUAL, 0, 0x800, 0), LINK_NO_RESOURCE);
    EXPECT_EQ(h, 0xDEADu) << "a failed open must not hand out a handle";
    for (uint32_t i = 0; i < LINK_SLOT_COUNT; ++i) EXPECT_NE(ZAMLookup(handles[i]), nullptr);
    // A freed slot in the middle is the next one taken.
    ZAMClose(25769);
    EXPECT_EQ(OpenVirtual(0x800), 25769u);
}

TEST_F(Handles, LookupRejectsOutOfRangeAndClosedHandles) {
    uint32_t h = OpenVirtual(0x8000);
    EXPECT_EQ(h, 25765u);
    struct Case {
        uint32_t handle;
        bool found;
    } cases[] = {{25764, false}, {25765, true}, {25774, false}, {25775, false}, {0, false}, {0xFFFFFFFF, false}};
    for (const auto& c : cases) EXPECT_EQ(ZAMLookup(c.handle) != nullptr, c.found) << c.handle;
    uint8_t b = 0;
    EXPECT_EQ(ZAMRead(25764, &b, 0, 1), LINK_INVALID);
    EXPECT_EQ(ZAMWrite(25775, 0, &b, 1), LINK_INVALID);
    EXPECT_EQ(ZAMGetLevel(25775), 0u);
    EXPECT_EQ(ZAMGetInfo(25764), 0u);
    EXPECT_EQ(ZAMGetDelay(25775), 0u);
}

TEST_F(Handles, VirtualUnitSlotWords) {
    uint32_t h = OpenVirtual(0x8000);
    LinkSlot* s = ZAMLookup(h);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags, SLOT_OPEN | SLOT_VIRTUAL);
    EXPECT_EQ(s->size, 0x8000u);
    EXPECT_EQ(ZAMGetLevel(h), 2u);
    uint32_t level = 99;
    EXPECT_EQ(ZAMGetReset(h, &level), LINK_OK);
    EXPECT_EQ(level, RESET_HIZ);
}

// A fresh unit reads as an erased EPROM: never what the memory it got held before (a
// unit of the same size as a block just freed usually gets that very block back).
TEST_F(Handles, FreshVirtualUnitHoldsFF) {
    for (uint32_t size : {0x400u, 0x8000u, 0x100000u}) {
        void* previous = std::malloc(size);
        ASSERT_NE(previous, nullptr);
        std::memset(previous, 0xA5, size);
        std::free(previous);
        const uint32_t h = OpenVirtual(size);
        std::vector<uint8_t> ram(size, 0);
        ASSERT_EQ(ZAMRead(h, ram.data(), 0, size), LINK_OK);
        EXPECT_EQ(ram, std::vector<uint8_t>(size, 0xFF)) << std::hex << size;
        // Written bytes are kept, as before; closing frees the block for the next unit.
        ram[0] = 0x12;
        ASSERT_EQ(ZAMWrite(h, 0, ram.data(), 1), LINK_OK);
        ASSERT_EQ(ZAMClose(h), 0u);
        const uint32_t again = OpenVirtual(size);
        uint8_t first = 0;
        ASSERT_EQ(ZAMRead(again, &first, 0, 1), LINK_OK);
        EXPECT_EQ(first, 0xFF) << std::hex << size;
        ZAMClose(again);
    }
}

// The owning handle: whichever way it goes, each handle it held is closed once, and one it
// handed on or was moved from stays open.
TEST_F(Handles, UnitHandleClosesWhatItOwnsOnce) {
    const uint32_t a = OpenVirtual(0x800), b = OpenVirtual(0x800);
    {
        UnitHandle owner(a);
        EXPECT_EQ(owner.get(), a);
        EXPECT_TRUE(owner);
    }
    EXPECT_EQ(ZAMLookup(a), nullptr) << "closed when its owner went";

    const uint32_t c = OpenVirtual(0x800);
    UnitHandle kept(c);
    EXPECT_EQ(kept.release(), c);
    EXPECT_FALSE(kept);
    kept.reset();
    EXPECT_NE(ZAMLookup(c), nullptr) << "a released handle is the new owner's";

    UnitHandle first(b);
    UnitHandle moved(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(moved.get(), b);
    UnitHandle target(c);
    target = std::move(moved);  // c goes, b is target's now
    EXPECT_EQ(ZAMLookup(c), nullptr);
    EXPECT_NE(ZAMLookup(b), nullptr);
    target.reset(b);  // the same handle again is kept, not closed
    EXPECT_NE(ZAMLookup(b), nullptr);
    target.reset();
    EXPECT_EQ(ZAMLookup(b), nullptr);
}

TEST_F(Handles, CloseTwiceIsHarmlessAndFreesTheSlot) {
    uint32_t h = OpenVirtual(0x1000);
    EXPECT_EQ(ZAMClose(h), 0u);
    EXPECT_EQ(ZAMLookup(h), nullptr);
    EXPECT_EQ(ZAMClose(h), 0u);
    EXPECT_EQ(ZAMClose(12345), 0u);
    uint8_t b = 0;
    EXPECT_EQ(ZAMRead(h, &b, 0, 1), LINK_INVALID);
}

// The address-space limit makes the allocation fail for real; ASan reserves its own
// huge mappings, so this runs only in the plain build.
TEST(VirtualMemory, UnitWithoutMemoryFailsAndLeavesSlotFree) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer";
#elif defined(_WIN32)
    GTEST_SKIP() << "no address-space limit to set on Windows";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rlimit lim;
            lim.rlim_cur = lim.rlim_max = 512u << 20;
            setrlimit(RLIMIT_AS, &lim);
            uint32_t h = 0;
            uint32_t code = ZAMInit(&h, SELECT_VIRTUAL, 0, 0xF0000000u, 0);
            bool free = ZAMLookup(25765) == nullptr;
            uint32_t again = ZAMInit(&h, SELECT_VIRTUAL, 0, 16, 0);
            std::fprintf(stderr, "code=%u free=%d next=%u\n", code, free, again == 0 ? h : 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "code=3 free=1 next=25765");
#endif
}

#ifdef _WIN32
// An empty value removes the variable there.
void SetEnv(const char* name, const char* value) { _putenv_s(name, value ? value : ""); }
#else
void SetEnv(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}
#endif

// Until the hardware transports exist, every hardware open fails honestly and leaves no slot behind.
TEST_F(Handles, HardwareSelectorsWithoutTransport) {
    // COM1 names a tty that does not exist, never the machine's own ports.
    SetEnv("ZAMCOM1", "/nonexistent/pelmo-tty");
    struct Case {
        const char* what;
        uint32_t selector, unit, option, code;
    } cases[] = {
        {"USB unit 0", SELECT_USB, 0, 0, LINK_NOT_AVAILABLE},
        {"COM0", SELECT_SERIAL | 0, 0, 0, LINK_INVALID},
        {"COM99", SELECT_SERIAL | 99, 0, 0, LINK_INVALID},
        {"COM1", SELECT_SERIAL | 1, 0, 0, LINK_NOT_WORKING},
        {"LPT1", 1, 0, PARALLEL_DEFAULT_DELAY, LINK_NOT_WORKING},
        {"address 0x3BC", 0x3BC, 0, 0, LINK_NOT_WORKING},
        {"address 0x3BD", 0x3BD, 0, 0, LINK_INVALID},
        {"address 0xFF", 0xFF, 0, 0, LINK_INVALID},
        {"address 0xFFFD", 0xFFFD, 0, 0, LINK_INVALID},
        {"address 0xFFFC", 0xFFFC, 0, 0, LINK_NOT_WORKING},
        {"port 5", 5, 0, 0, LINK_INVALID},
    };
    for (const auto& c : cases) {
        uint32_t h = 0;
        EXPECT_EQ(ZAMInit(&h, c.selector, c.unit, 0, c.option), c.code) << c.what;
        EXPECT_EQ(ZAMLookup(25765), nullptr) << c.what;
    }
    SetEnv("ZAMCOM1", nullptr);
}

TEST(DeviceTables, SizeTableAndTypeNumbers) {
    for (uint32_t t = 0; t <= 10; ++t) EXPECT_EQ(DeviceSizeForType(t), 1024u << t);
    EXPECT_EQ(DeviceSizeForType(11), 1024u);
    EXPECT_EQ(DeviceSizeForType(0xFFFFFFFF), 1024u);
}

TEST(DeviceTables, TypeTableHasFiveAliasesPerSizeAndTerminator) {
    const char* expectedNames[10][5] = {
        {"2716", "16", "2048", "800", "2K"},         {"2732", "32", "4096", "1000", "4K"},
        {"2764", "64", "8192", "2000", "8K"},        {"27128", "128", "16384", "4000", "16K"},
        {"27256", "256", "32768", "8000", "32K"},    {"27512", "512", "65536", "10000", "64K"},
        {"27010", "010", "131072", "20000", "128K"}, {"27020", "020", "262144", "40000", "256K"},
        {"27040", "040", "524288", "80000", "512K"}, {"27080", "080", "1048576", "100000", "1024K"},
    };
    for (int size = 0; size < 10; ++size) {
        for (int alias = 0; alias < 5; ++alias) {
            const DeviceTypeRow& row = DeviceTypeTable[size * 5 + alias];
            EXPECT_STREQ(row.name, expectedNames[size][alias]);
            EXPECT_EQ(row.size, 0x800u << size) << row.name;
            EXPECT_EQ(row.baseMask, DeviceTypeTable[size * 5].baseMask) << row.name;
            EXPECT_EQ(row.foldMask, DeviceTypeTable[size * 5].foldMask) << row.name;
        }
    }
    EXPECT_STREQ(DeviceTypeTable[50].name, "-");
    EXPECT_EQ(DeviceTypeTable[50].size, 0xFFFFFFFFu);
}

TEST(DeviceTables, LookupBySize) {
    struct Case {
        uint32_t size;
        const char* name;
        uint32_t base, fold;
    } cases[] = {
        {0x800, "2716", 0x2800, 0x2800},
        {0x2000, "2764", 0x2C000, 0x2E000},
        {0x8000, "27256", 0x28000, 0x28000},
        {0x20000, "27010", 0xC0000, 0xE0000},
        {0x100000, "27080", 0, 0},
        {1024, "-", 0, 0},
        {0x9000, "-", 0, 0},
        {0, "-", 0, 0},
    };
    for (const auto& c : cases) {
        const DeviceTypeRow& row = DeviceTypeBySize(c.size);
        EXPECT_STREQ(row.name, c.name) << std::hex << c.size;
        EXPECT_EQ(row.baseMask, c.base);
        EXPECT_EQ(row.foldMask, c.fold);
    }
}

TEST(PortAddresses, DefaultTable) {
    EXPECT_EQ(PortAddressTable[0], 0);
    EXPECT_EQ(PortAddressTable[1], 0x378);
    EXPECT_EQ(PortAddressTable[2], 0x278);
    EXPECT_EQ(PortAddressTable[3], 0x3BC);
    EXPECT_EQ(PortAddressTable[4], 0x3B8);
}

// Handles still open at exit are closed by the exit hook. The child is a fresh process
// (threadsafe style), so the checker registered before the first open runs after the hook.
TEST(ExitHook, OpenHandlesAreClosedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static uint32_t s_handle = 0;
            std::atexit([] { std::fprintf(stderr, "still-open-at-exit=%d\n", ZAMLookup(s_handle) != nullptr); });
            ZAMInit(&s_handle, SELECT_VIRTUAL, 0, 64, 0);
            if (ZAMLookup(s_handle) == nullptr) std::abort();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "still-open-at-exit=0");
}

}  // namespace
