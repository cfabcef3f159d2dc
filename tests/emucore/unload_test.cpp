// Loading and unloading the library again and again, each time after it reached a
// simulated USB unit, keeps nothing behind: descriptors, threads and heap stay flat
// (and under the sanitizer build the leak checker at exit finds nothing of it).
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdlib>
#include <string>

#include "emucore/emucore.h"
#include "tests/emucore/library.h"
#include "tests/support/test_support.h"

namespace {

int Entries(const char* dir) {
    int n = 0;
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

struct Usage {
    int fds, threads;
    size_t heap;
};

Usage Now() { return {Entries("/proc/self/fd"), Entries("/proc/self/task"), mallinfo2().uordblks}; }

template <typename Fn>
Fn Bind(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

// One session as a caller has it: find and open the USB unit, size it, fill, sum,
// a view left open, then unload.
void Cycle(const std::string& path, int i) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = Bind<VXAInit_fn>(library, "VXAInit");
    auto find = Bind<VXAFind_fn>(library, "VXAFind");
    auto open = Bind<VXAOpen_fn>(library, "VXAOpen");
    auto qtest = Bind<VXAQTest_fn>(library, "VXAQTest");
    auto fill = Bind<VXAFill_fn>(library, "VXAFill");
    auto cksum = Bind<VXACksum_fn>(library, "VXACksum");
    auto viewOpen = Bind<VXAViewOpen_fn>(library, "VXAViewOpen");
    ASSERT_TRUE(init && find && open && qtest && fill && cksum && viewOpen);
    EXPECT_EQ(init(), 0);
    ASSERT_EQ(find(), 0) << "cycle " << i;
    ASSERT_EQ(open(0, 5), 0x8000) << "cycle " << i;
    ASSERT_EQ(qtest(0, 0, 0), 256) << "cycle " << i;
    char text[VXA_TEXT_SIZE];
    EXPECT_EQ(fill(text, i & 0xFF, 0, 0, 1, 0, 0, 0, 0), 0) << text;
    uint32_t sum = 0;
    EXPECT_EQ(cksum(text, &sum, 0, 0, 0, 0, 0, 0), 0) << text;
    EXPECT_EQ(sum, 0x8000u * static_cast<uint32_t>(i & 0xFF));
    EXPECT_EQ(viewOpen(text, 0, 0, 0, 0), 0) << text;
    EXPECT_EQ(dlclose(library), 0);
}

TEST(EmucoreUnload, FiftyLoadCyclesWithAUsbUnitLeaveNothingBehind) {
    testsupport::TempDir dir;
    setenv("PELMO_SIM_USB", "unit=0,ram=256", 1);
    const std::string path = emutest::LibraryPath();
    // The first cycles settle what the loader itself keeps (its own bookkeeping).
    for (int i = 0; i < 10; ++i) Cycle(path, i);
    const Usage before = Now();
    for (int i = 10; i < 50; ++i) {
        Cycle(path, i);
        if (HasFatalFailure()) break;
    }
    const Usage after = Now();
    unsetenv("PELMO_SIM_USB");
    // Still mapped means nothing was unloaded and the numbers below prove nothing.
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(after.fds, before.fds) << "one event descriptor a cycle used to stay open";
    EXPECT_EQ(after.threads, before.threads);
    // Each cycle used to keep about 300 KB (compare buffer, unit RAM, bus tables);
    // the loader's own bookkeeping takes some dozens of bytes a cycle.
    EXPECT_LT(after.heap, before.heap + 16 * 1024) << before.heap << " -> " << after.heap;
}

// With the debug stream on, every load opens its log file and every unload must close
// it: under a descriptor limit a little above what is open, a library that kept one a
// cycle could not be loaded any more long before the last cycle.
TEST(EmucoreUnload, DebugStreamFileClosesAtEachUnload) {
    testsupport::TempDir dir;
    const std::string log = dir.file("debug.log");
    setenv("emucoredebug", log.c_str(), 1);
    setenv("PELMO_SIM_USB", "unit=0,ram=256", 1);
    const std::string path = emutest::LibraryPath();
    for (int i = 0; i < 5; ++i) Cycle(path, i);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    // New descriptors take the lowest free numbers below the limit (those open above it
    // stay usable): room for about two dozen more than are open now.
    const Usage before = Now();
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(before.fds + 24);
    ASSERT_LE(low.rlim_cur, old.rlim_max);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    int cycles = 5;
    for (; cycles < 65; ++cycles) {
        Cycle(path, cycles);
        if (HasFatalFailure()) break;
    }
    const Usage after = Now();
    setrlimit(RLIMIT_NOFILE, &old);
    unsetenv("PELMO_SIM_USB");
    unsetenv("emucoredebug");
    EXPECT_EQ(cycles, 65) << "a load failed under the limit";
    EXPECT_EQ(after.fds, before.fds) << "the log file's descriptor used to stay open at each unload";
    // Each load wrote its own stream into the one file.
    const std::string text = testsupport::ReadText(log);
    size_t begins = 0;
    for (size_t at = text.find("***** Begin emucore debug stream"); at != std::string::npos;
         at = text.find("***** Begin emucore debug stream", at + 1))
        ++begins;
    EXPECT_EQ(begins, 65u);
}

}  // namespace
