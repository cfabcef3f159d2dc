#pragma once
// What the load benchmarks share: a reproducible image and one unit's single lane,
// the whole device loaded and verified, as the RAM layer takes it.
#include <cstdint>
#include <vector>

#include "link/ram.h"

namespace bench {

// `size` bytes from a fixed pseudo-random sequence, the same on every run.
inline std::vector<uint8_t> Image(uint32_t size) {
    std::vector<uint8_t> image(size);
    uint32_t x = 12345;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

// The unit opened as `handle` (with `maxK` KB of RAM) as the only lane of a device
// of `size` bytes, loaded with verify. `set` points into the object: not copied.
struct OneLane {
    OneLane(uint32_t handle, uint32_t maxK, uint32_t size) {
        settings.LoadVerify = LOAD_VERIFY;
        settings.DevSize = size;
        link.handle = handle;
        link.MaxK = maxK;
        RamPlaceLane(link, size, FOLD_NONE);
        set.count = 1;
        set.DevSize = size;
        set.settings[0] = &settings;
        set.links[0] = &link;
    }
    OneLane(const OneLane&) = delete;
    OneLane& operator=(const OneLane&) = delete;

    LaneSettings settings;
    UnitLink link;
    UnitSet set;
};

}  // namespace bench
