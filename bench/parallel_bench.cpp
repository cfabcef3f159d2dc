// Register accesses per byte written, read and compared on a simulated printer
// port, against the least the nibble protocol needs, and the host time per
// register access of the straight-line sets against the counted set.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/errors.h"
#include "link/link.h"
#include "sim/lpt_unit.h"

namespace {

constexpr uint32_t kBytes = 4096;

// The protocol's least register accesses for n bytes from address a at delay
// count c: timed writes c times, the data byte and the release's 0x0C once.
struct Minimum {
    uint64_t write, read;
};
Minimum ProtocolMinimum(uint32_t a, uint32_t n, uint64_t c) {
    uint64_t wraps = 0;
    for (uint32_t i = 1; i < n; ++i)
        if (((a + i) & 0xFF) == 0) ++wraps;
    const uint64_t start = c + 2 * 3 * c;                           // rest, two mode bytes (data, strobe, rest)
    const uint64_t address = 2 * 3 * c;                             // high and middle
    const uint64_t finish = 3 * c + 1 + c;                          // mode idle, 0x0C, data 0
    const uint64_t perWrite = 3 * c + (1 + 2 * c) + 3 * c + 3 * c;  // low, data, mode 7, mode 3
    const uint64_t perRead = 3 * c + 2 * c + 2;                     // low, two nibbles
    return {start + address * (1 + wraps) + n * perWrite + finish,
            start + address * (1 + wraps) + n * perRead + finish};
}

uint32_t Open(uint32_t option) {
    uint32_t h = 0;
    if (ZAMInit(&h, 0x378, 0, 0, option) != LINK_OK) {
        std::fprintf(stderr, "cannot open the simulated unit\n");
        std::exit(1);
    }
    return h;
}

}  // namespace

int main() {
    std::string error;
    if (!sim::AttachLptUnits("port=378,unit=0,ram=1024", &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    sim::LptPortModel* port = sim::FindLptPort(0x378);
    std::vector<uint8_t> data(kBytes), back(kBytes);
    for (uint32_t i = 0; i < kBytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);

    std::printf("Register accesses for %u bytes from 0x1FF80 (simulated port)\n", kBytes);
    std::printf("%-6s %-8s %12s %12s %10s %8s\n", "delay", "op", "measured", "minimum", "per byte", "extra");
    int excess = 0;
    for (int32_t option : {0, 2, 5, 7}) {
        uint32_t h = Open(static_cast<uint32_t>(option));
        int32_t delay = static_cast<int32_t>(ZAMGetDelay(h));
        uint64_t c = static_cast<uint64_t>(delay < 0 ? -delay : delay) + 1;
        Minimum m = ProtocolMinimum(0x1FF80, kBytes, c);
        struct {
            const char* name;
            uint64_t minimum;
        } ops[] = {{"write", m.write}, {"read", m.read}, {"compare", m.read}};
        for (auto& op : ops) {
            port->resetCounters();
            uint32_t equal = 0;
            if (op.name[0] == 'w') ZAMWrite(h, 0x1FF80, data.data(), kBytes);
            if (op.name[0] == 'r') ZAMRead(h, back.data(), 0x1FF80, kBytes);
            if (op.name[0] == 'c') ZAMCompare(&equal, nullptr, h, 0x1FF80, data.data(), kBytes);
            uint64_t measured = port->writes() + port->reads();
            std::printf("%-6d %-8s %12llu %12llu %10.2f %8lld\n", delay, op.name,
                        static_cast<unsigned long long>(measured), static_cast<unsigned long long>(op.minimum),
                        static_cast<double>(measured) / kBytes,
                        static_cast<long long>(measured) - static_cast<long long>(op.minimum));
            if (measured != op.minimum) excess = 1;
        }
        if (back != data) {
            std::fprintf(stderr, "data read back differs at delay %d\n", delay);
            return 1;
        }
        ZAMClose(h);
    }

    std::printf("\nHost time per register access, straight-line set against counted set (same delay)\n");
    std::printf("%-6s %14s %14s\n", "d", "fixed ns", "counted ns");
    for (int32_t d = 0; d <= 5; ++d) {
        double ns[2] = {};
        for (int k = 0; k < 2; ++k) {
            // d = 0 has no counted twin with the same count; -0 is 0, so the counted set runs at -1 there.
            int32_t option = k == 0 ? d : (d == 0 ? -1 : -d);
            uint32_t h = Open(static_cast<uint32_t>(option));
            ZAMWrite(h, 0, data.data(), kBytes);  // warm up
            port->resetCounters();
            auto t0 = std::chrono::steady_clock::now();
            for (int round = 0; round < 8; ++round) ZAMWrite(h, 0, data.data(), kBytes);
            auto t1 = std::chrono::steady_clock::now();
            ns[k] = std::chrono::duration<double, std::nano>(t1 - t0).count() /
                    static_cast<double>(port->writes() + port->reads());
            ZAMClose(h);
        }
        std::printf("%-6d %14.2f %14.2f%s\n", d, ns[0], ns[1], d == 0 ? "  (counted at -1)" : "");
    }
    std::printf("\n%s\n", excess ? "EXTRA ACCESSES FOUND" : "every operation used exactly the protocol's minimum");
    return excess;
}
