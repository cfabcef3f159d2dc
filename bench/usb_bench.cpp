// Loads and verifies 1 MiB on a simulated USB unit through the RAM layer, the
// USB transport and the in-process driver, and prints what it cost:
//   host CPU time per MiB (the whole process: link, driver host and the simulated
//   unit, so an upper bound for the host side), wall time, commands, and the bytes
//   that crossed the bulk pipes against the ideal (each image byte once out, once
//   back for the verify).
// A modelled wire time uses full-speed bulk (19 packets of 64 bytes per 1 ms frame)
// and one frame per command and per answer poll.
// Usage: usb_bench [rounds] (default 5).
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/lane_setup.h"
#include "link/errors.h"
#include "link/link.h"
#include "link/ram.h"
#include "link/usb.h"
#include "platform/devio.h"
#include "sim/usb_unit.h"

namespace {

double CpuSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1) rounds = 1;
    std::string error;
    int id = sim::AttachUsbUnit("unit=0,ram=1024", &error);
    if (id < 0) {
        std::fprintf(stderr, "usb_bench: cannot attach a simulated unit: %s\n", error.c_str());
        return 2;
    }
    auto unit = sim::FindUsbUnit(id);
    uint32_t h = 0;
    if (uint32_t code = ZAMInit(&h, SELECT_USB, 0, 0, 0)) {
        std::fprintf(stderr, "usb_bench: open failed with %u\n", code);
        return 2;
    }
    const uint32_t size = 0x100000;
    const std::vector<uint8_t> image = bench::Image(size);
    bench::OneLane lane(h, 1024, size);

    double bestCpu = 1e9, bestWall = 1e9;
    uint64_t bulkPerRound = 0, commandsPerRound = 0, pollsPerRound = 0;
    for (int r = 0; r < rounds; ++r) {
        uint64_t bulk0 = unit->bulkBytes();
        uint32_t cmd0 = unit->commands();
        uint32_t poll0 = unit->answerReads();
        double cpu0 = CpuSeconds();
        auto wall0 = std::chrono::steady_clock::now();
        uint32_t corrected = 0, done = 0;
        RamWriteJob job;
        uint32_t code = job.Begin(lane.set, 0, size, LOAD_VERIFY);
        if (code == LINK_OK) code = job.WriteBlock(image.data(), size, &corrected, &done);
        double cpu = CpuSeconds() - cpu0;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        if (code != LINK_OK || done != size) {
            std::fprintf(stderr, "usb_bench: load failed with %u after %u bytes\n", code, done);
            return 1;
        }
        if (cpu < bestCpu) bestCpu = cpu;
        if (wall < bestWall) bestWall = wall;
        bulkPerRound = unit->bulkBytes() - bulk0;
        commandsPerRound = unit->commands() - cmd0;
        pollsPerRound = unit->answerReads() - poll0;
    }
    const double ideal = 2.0 * size;  // out once, back once
    const double frameBytes = 19.0 * 64.0;
    const double idealWireMs = ideal / frameBytes;
    const double modelWireMs = static_cast<double>(bulkPerRound) / frameBytes + static_cast<double>(commandsPerRound) +
                               static_cast<double>(pollsPerRound);
    std::printf("usb_bench: 1 MiB load+verify, best of %d\n", rounds);
    std::printf("  host CPU      %.2f ms per MiB (target < 20)\n", bestCpu * 1000.0);
    std::printf("  wall          %.2f ms per MiB\n", bestWall * 1000.0);
    std::printf("  commands      %llu, answer polls %llu\n", static_cast<unsigned long long>(commandsPerRound),
                static_cast<unsigned long long>(pollsPerRound));
    std::printf("  bulk bytes    %llu (ideal %.0f, ratio %.4f)\n", static_cast<unsigned long long>(bulkPerRound), ideal,
                static_cast<double>(bulkPerRound) / ideal);
    std::printf("  modelled wire %.1f ms vs ideal bulk %.1f ms (ratio %.3f, target <= 1.25)\n", modelWireMs,
                idealWireMs, modelWireMs / idealWireMs);
    ZAMCloseAll();
    DevHostStop();
    return 0;
}
