// pelmosim: simulated units for trying the tools without hardware.
//   pelmosim serial [--no-pace] [--exit-when-closed[=MS]] [OPTIONS]
// opens a pseudo-terminal, prints its path on the first line of standard output and
// serves a serial unit on it until SIGTERM or SIGINT (or, with --exit-when-closed,
// until the host has closed the line for MS ms, default 1000). At the end it tells
// on standard error how many commands and bytes crossed the line.
#include <signal.h>
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/serial_unit.h"

namespace {

sim::SerialUnit* g_unit = nullptr;

void OnSignal(int) {
    if (g_unit) g_unit->stop();
}

int Usage() {
    std::fprintf(stderr,
                 "usage: pelmosim serial [--no-pace] [--exit-when-closed[=MS]] [OPTIONS]\n"
                 "  OPTIONS: ram=KB,level=N,id=W,seed=S,dead=1,fault=KIND:N[:ARGS] (see sim/serial_unit.h)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "serial") != 0) return Usage();
    sim::SerialUnitOptions options;
    uint32_t exitWhenClosedMs = 0;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--no-pace") {
            options.pace = false;
        } else if (a == "--exit-when-closed") {
            exitWhenClosedMs = 1000;
        } else if (a.rfind("--exit-when-closed=", 0) == 0) {
            char* end = nullptr;
            unsigned long v = std::strtoul(a.c_str() + 19, &end, 10);
            if (*end != '\0' || v == 0 || v > 3600000) return Usage();
            exitWhenClosedMs = static_cast<uint32_t>(v);
        } else if (a.rfind("--", 0) == 0) {
            return Usage();
        } else {
            std::string error;
            if (!sim::ParseSerialUnitOptions(a, &options, &error)) {
                std::fprintf(stderr, "pelmosim: %s\n", error.c_str());
                return 2;
            }
        }
    }
    // A test that starts the unit and dies must not leave it behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sim::SerialUnit unit(options);
    std::string path, error;
    if (!unit.open(&path, &error)) {
        std::fprintf(stderr, "pelmosim: %s\n", error.c_str());
        return 1;
    }
    g_unit = &unit;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    unit.serve(exitWhenClosedMs);
    g_unit = nullptr;
    // What crossed the line, for benchmarks and for looking.
    std::fprintf(stderr, "pelmosim: %u commands, %llu bytes in, %llu bytes out, %u purges%s\n", unit.commands(),
                 static_cast<unsigned long long>(unit.bytesIn()), static_cast<unsigned long long>(unit.bytesOut()),
                 unit.purges(), unit.vanished() ? ", vanished" : "");
    return 0;
}
