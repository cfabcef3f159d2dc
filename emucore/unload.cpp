// Unloading the library gives back everything it started or made: each layer
// registered its clean-up as it started (link handles, the USB transport's event and
// scratch buffer, the view, the debug stream's file, the in-process driver host with
// its threads and tables, simulated units), and they run here, newest first. A caller
// that loads and unloads the library many times (plug-in hosts, test runners) then
// keeps no descriptors, threads or memory of it.
#include <cstdlib>

#include "platform/shutdown.h"

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
    ShutdownRunAll();
}

}  // namespace
