// libFuzzer target: LoadImage of an arbitrary file on a 64 KB virtual unit. The first
// 12 input bytes choose the request (start, length, target, width, mode); the rest is
// the file. Output goes to a library-sized caller buffer, so an overrun shows up.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "link/link.h"

namespace {

constexpr uint32_t kDevSize = 0x10000;

struct Setup {
    uint32_t handle = 0;
    std::string path;
    Setup() {
        if (ZAMInit(&handle, SELECT_VIRTUAL, 0, kDevSize, 0) != 0) std::abort();
        char name[] = "/tmp/pelmo-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        path = name;
    }
    ~Setup() { unlink(path.c_str()); }
};

uint32_t Take(const uint8_t*& data, size_t& size, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes && size > 0; ++i, ++data, --size) v = v << 8 | *data;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    ImageRequest request;
    request.DevSize = kDevSize;
    // Small values mostly, so that the window and width paths are reached.
    request.Start = Take(data, size, 2);
    request.Length = Take(data, size, 3) & 0x1FFFF;
    request.Target = Take(data, size, 3) & 0x1FFFF;
    request.Width = Take(data, size, 2) & 0x1FF;
    request.LoadVerify = Take(data, size, 1) % 3;
    std::strcpy(request.FileName, setup.path.c_str());
    FILE* f = std::fopen(setup.path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    UnitLink link;
    link.handle = setup.handle;
    UnitSet set;
    set.DevSize = kDevSize;
    set.settings[0] = &request;
    set.links[0] = &link;
    char* text = static_cast<char*>(std::malloc(1000));  // exact size: ASan sees any overrun
    CallerBufferOutput out(text, 1000);
    const uint32_t result = LoadImage(out, set);
    if (result != 0 && result != 2) std::abort();
    if (std::strlen(text) >= 1000) std::abort();
    std::free(text);
    return 0;
}
