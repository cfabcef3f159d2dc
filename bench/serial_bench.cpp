// Loads and verifies 32 KB on a simulated serial unit (`pelmosim serial`, paced at
// the line's baud rate) through the RAM layer, the serial transport and a pty, and
// prints the wall time against the wire time of every byte the protocol moved
// (headers, payloads, CRCs, answers) and against the image bytes alone, with the
// host's CPU time (this process only; the unit is another process).
// Usage: serial_bench [rounds] (default 3), from the build tree (finds bin/pelmosim).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/lane_setup.h"
#include "link/errors.h"
#include "link/link.h"
#include "link/ram.h"
#include "link/serial.h"

namespace {

double CpuSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Starts the simulated unit; returns its pid and the pty path in *path.
pid_t StartUnit(std::string* path) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDERR_FILENO);
        const char* program = PELMO_BIN_DIR "/pelmosim";
        execl(program, program, "serial", "ram=32", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    while (text.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    size_t nl = text.find('\n');
    *path = nl == std::string::npos ? "" : text.substr(0, nl);
    return pid;
}

void StopUnit(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

int Run(uint32_t baud, int rounds) {
    std::string path;
    pid_t pid = StartUnit(&path);
    if (path.empty()) {
        std::fprintf(stderr, "serial_bench: cannot start %s/pelmosim\n", PELMO_BIN_DIR);
        StopUnit(pid);
        return 2;
    }
    setenv("ZAMCOM1", path.c_str(), 1);
    setenv("ZAMBPS", std::to_string(baud).c_str(), 1);
    uint32_t h = 0;
    if (uint32_t code = ZAMInit(&h, SELECT_SERIAL | 1, 0, 0, 0)) {
        std::fprintf(stderr, "serial_bench: open failed with %u\n", code);
        StopUnit(pid);
        return 2;
    }
    const SerialRecord* rec = static_cast<const SerialRecord*>(ZAMLookup(h)->impl);
    const uint32_t size = 0x8000;
    const std::vector<uint8_t> image = bench::Image(size);
    bench::OneLane lane(h, 32, size);

    double bestWall = 1e9, cpuOfBest = 0;
    uint64_t moved = 0;
    for (int r = 0; r < rounds; ++r) {
        uint64_t sent0 = rec->bytesSent, received0 = rec->bytesReceived;
        double cpu0 = CpuSeconds();
        auto wall0 = std::chrono::steady_clock::now();
        uint32_t corrected = 0, done = 0;
        RamWriteJob job;
        uint32_t code = job.Begin(lane.set, 0, size, LOAD_VERIFY);
        if (code == LINK_OK) code = job.WriteBlock(image.data(), size, &corrected, &done);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        double cpu = CpuSeconds() - cpu0;
        if (code != LINK_OK || done != size) {
            std::fprintf(stderr, "serial_bench: load failed with %u after %u bytes\n", code, done);
            ZAMCloseAll();
            StopUnit(pid);
            return 1;
        }
        moved = (rec->bytesSent - sent0) + (rec->bytesReceived - received0);
        if (wall < bestWall) {
            bestWall = wall;
            cpuOfBest = cpu;
        }
    }
    const double wire = static_cast<double>(moved) * 10.0 / baud;  // 8N1: 10 bits a byte
    const double raw = static_cast<double>(size) * 10.0 / baud;
    std::printf("serial_bench: 32 KB load+verify at %u baud, best of %d\n", baud, rounds);
    std::printf("  wall          %8.1f ms\n", bestWall * 1000.0);
    std::printf("  protocol wire %8.1f ms (%llu bytes both ways)  wall/wire  %.3f%s\n", wire * 1000.0,
                static_cast<unsigned long long>(moved), bestWall / wire, baud == 115200 ? " (target <= 1.15)" : "");
    std::printf("  image alone   %8.1f ms (%u bytes once)         wall/image %.3f\n", raw * 1000.0, size,
                bestWall / raw);
    std::printf("  host CPU      %8.1f ms = %.2f %% of wall (target < 5 %%)\n", cpuOfBest * 1000.0,
                100.0 * cpuOfBest / bestWall);
    ZAMCloseAll();
    StopUnit(pid);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    if (rounds < 1) rounds = 1;
    for (uint32_t baud : {115200u, 921600u})
        if (int r = Run(baud, rounds)) return r;
    return 0;
}
