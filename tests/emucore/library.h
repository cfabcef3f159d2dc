#pragma once
// Binds libemucore.so the way its caller does: dlopen by file name, dlsym by export name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "emucore/emucore.h"
#include "tests/support/test_support.h"

namespace emutest {

inline std::string LibraryPath() { return std::string(PELMO_LIB_DIR) + "/libemucore.so"; }

// The twelve exports of one loaded instance of the library.
struct Api {
    VXAInit_fn Init = nullptr;
    VXAFind_fn Find = nullptr;
    VXAOpen_fn Open = nullptr;
    VXASetReset_fn SetReset = nullptr;
    VXAQTest_fn QTest = nullptr;
    VXALoad_fn Load = nullptr;
    VXAFill_fn Fill = nullptr;
    VXAWrite_fn Write = nullptr;
    VXACksum_fn Cksum = nullptr;
    VXAViewOpen_fn ViewOpen = nullptr;
    VXAViewFormat_fn ViewFormat = nullptr;
    VXAViewClose_fn ViewClose = nullptr;
};

// The library keeps process-global state, so each fixture loads a private copy
// of the file: a fresh instance with fresh state, unloaded at the end.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        // No simulated USB units on the bus: unit searches here must find none.
        unsetenv("PELMO_SIM_USB");
        copy_ = dir_.file("libemucore-copy.so");
        std::filesystem::copy_file(LibraryPath(), copy_);
        handle_ = dlopen(copy_.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        Bind(api.Init, "VXAInit");
        Bind(api.Find, "VXAFind");
        Bind(api.Open, "VXAOpen");
        Bind(api.SetReset, "VXASetReset");
        Bind(api.QTest, "VXAQTest");
        Bind(api.Load, "VXALoad");
        Bind(api.Fill, "VXAFill");
        Bind(api.Write, "VXAWrite");
        Bind(api.Cksum, "VXACksum");
        Bind(api.ViewOpen, "VXAViewOpen");
        Bind(api.ViewFormat, "VXAViewFormat");
        Bind(api.ViewClose, "VXAViewClose");
    }
    void TearDown() override {
        // The copy stays loaded, as it does in its real caller, which binds it for the
        // process's life: the driver host it may have started keeps objects for good.
        if (handle_ && api.ViewClose) api.ViewClose();
    }

    template <typename Fn>
    void Bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(dlsym(handle_, name));
        ASSERT_NE(fn, nullptr) << name;
    }

    // Opens a virtual unit of the type and sizes it.
    void OpenVirtual(int32_t type) {
        ASSERT_EQ(api.Open(VXA_VIRTUAL_UNIT, type), static_cast<int32_t>(1024u << type));
        ASSERT_EQ(api.QTest(0, 0, 0), static_cast<int32_t>(1u << type));
    }

    testsupport::TempDir dir_;
    Api api;

private:
    std::string copy_;
    void* handle_ = nullptr;
};

}  // namespace emutest
