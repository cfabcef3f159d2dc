// Hands the driver's entry to the in-process host at static initialisation, so that
// the host (and devio above it) loads it without naming the driver. Built as an object
// library that pelmodevio hands on with the host's own glue (qorpelmo/CMakeLists.txt).
#include "kernel/host.h"
#include "qorpelmo/qorpelmo.h"

namespace {

struct Registration {
    Registration() { KeSetHostDriverEntry(DriverEntry); }
} g_registration;

}  // namespace
