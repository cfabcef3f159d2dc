// libFuzzer target: LoadImage of an arbitrary file on a small virtual unit. The first
// 11 input bytes choose the request (start, length, target, width, mode); the rest is
// the file. Output goes to a library-sized caller buffer, so an overrun shows up.
// Speed: one unit and one file for the whole run, the file on a memory file system
// when there is one, rewritten in place; the device is 4 KB so that a binary load or
// verify of the whole device stays cheap.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "link/link.h"

namespace {

constexpr uint32_t kDevSize = 0x1000;

struct Setup {
    uint32_t handle = 0;
    int fd = -1;
    std::string path;
    Setup() {
        if (ZAMInit(&handle, SELECT_VIRTUAL, 0, kDevSize, 0) != 0) std::abort();
        char shm[] = "/dev/shm/pelmo-fuzz-XXXXXX";
        char tmp[] = "/tmp/pelmo-fuzz-XXXXXX";
        fd = mkstemp(shm);
        path = shm;
        if (fd < 0) {
            fd = mkstemp(tmp);
            path = tmp;
        }
        if (fd < 0) std::abort();
    }
    ~Setup() {
        close(fd);
        unlink(path.c_str());
    }
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
    // Small values mostly, so that the window and width paths are reached; some just
    // beyond the device, so that the range checks are too.
    request.Start = Take(data, size, 2);
    request.Length = Take(data, size, 3) & 0x1FFF;
    request.Target = Take(data, size, 3) & 0x1FFF;
    request.Width = Take(data, size, 2) & 0x1FF;
    request.LoadVerify = Take(data, size, 1) % 3;
    std::strcpy(request.FileName, setup.path.c_str());
    if (size > 0 && pwrite(setup.fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    if (ftruncate(setup.fd, static_cast<off_t>(size)) != 0) std::abort();

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
