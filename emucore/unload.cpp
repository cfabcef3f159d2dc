// Unloading the library gives back everything it started or made: link handles, the
// USB transport's event, the debug stream's file, the in-process driver host with its
// threads, simulated units and the host's tables. A caller that loads and unloads the library many times
// (plug-in hosts, test runners) then keeps no descriptors, threads or memory of it.
#include <cstdlib>

#include "emucore/emucore.h"
#include "emucore/state.h"
#include "kernel/host.h"
#include "link/link.h"
#include "link/protocol.h"
#include "link/usb.h"
#include "platform/devio.h"
#include "sim/usb_unit.h"

namespace {

// At process exit the exit hooks have already closed everything, and the objects
// below may be gone: the unload work is for dlclose only.
bool g_processExiting = false;

__attribute__((constructor)) void EmucoreLoaded() {
    // Registered for this library: at dlclose it runs after EmucoreUnloading, at
    // process exit before it.
    std::atexit([] { g_processExiting = true; });
}

__attribute__((destructor)) void EmucoreUnloading() {
    if (g_processExiting) return;
    VXAViewClose();
    emucore::DebugStreamClose();
    ZAMCloseAll();
    UsbShutdown();
    UsbCompareRelease();
    DevHostStop();
    sim::DetachAllUsbUnits();
    KeHostRelease();
}

}  // namespace
