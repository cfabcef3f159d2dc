// Runs one image-engine operation on a virtual 27080 (1 MiB) and prints its time.
//   engine_bench load <image file>          load HEX/S/binary into the unit
//   engine_bench write-hex|write-s37 <out>  write the whole unit (random contents)
//   engine_bench idle                        nothing (the process's own footprint)
// Output: "<operation> <milliseconds> ms" on stdout; exit status 0 on success.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "link/link.h"

namespace {

class Quiet : public EngineOutput {
public:
    void Error(EngineArg, const char* text) override { std::fputs(text, stderr); }
    void Inform(const char*) override {}
    void Always(const char*) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: engine_bench load FILE | write-hex FILE | write-s37 FILE | idle\n");
        return 2;
    }
    const std::string op = argv[1];
    if (op == "idle") return 0;
    if (argc < 3) return 2;
    constexpr uint32_t kSize = 0x100000;
    uint32_t handle = 0;
    if (ZAMInit(&handle, SELECT_VIRTUAL, 0, kSize, 0) != 0) return 1;
    ImageRequest request;
    request.DevSize = kSize;
    UnitLink link;
    link.handle = handle;
    UnitSet set;
    set.DevSize = kSize;
    set.settings[0] = &request;
    set.links[0] = &link;
    Quiet out;

    uint32_t result = 2;
    std::chrono::steady_clock::time_point t0;
    if (op == "load") {
        std::strncpy(request.FileName, argv[2], sizeof request.FileName - 1);
        t0 = std::chrono::steady_clock::now();
        result = LoadImage(out, set);
    } else if (op == "write-hex" || op == "write-s37") {
        std::vector<uint8_t> image(kSize);
        uint32_t x = 12345;
        for (auto& b : image) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        }
        ZAMWrite(handle, 0, image.data(), kSize);
        std::vector<uint8_t>().swap(image);
        WriteRequest w;
        w.FileName = argv[2];
        w.Mode = WRITE_REPLACE;
        w.Format = op == "write-hex" ? FORMAT_HEX32 : FORMAT_S37;
        w.EOFOption = 1;
        w.RecLen = 32;
        w.FillValue = 0x100;
        t0 = std::chrono::steady_clock::now();
        result = WriteImage(out, set, w);
    } else {
        return 2;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s %.2f ms\n", op.c_str(), ms);
    ZAMClose(handle);
    return result == 0 ? 0 : 1;
}
