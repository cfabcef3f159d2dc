// libFuzzer target: the ELF reader on arbitrary files. Every segment it accepts must lie
// in the file and in its class's address space, and overlapping segments must agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The file with its magic, so that the header fields are what gets explored.
    uint8_t* file = static_cast<uint8_t*>(std::malloc(size + 4));  // exact size: ASan sees any overrun
    if (file == nullptr) return 0;
    file[0] = 0x7F, file[1] = 'E', file[2] = 'L', file[3] = 'F';
    if (size > 0) std::memcpy(file + 4, data, size);
    const uint64_t n = size + 4;
    ElfImage image;
    const char* message = ReadElf(file, n, image);
    if (message != nullptr) {
        if (std::strlen(message) == 0 || std::strlen(message) >= sizeof image.message) std::abort();
    } else {
        if (image.segments.empty()) std::abort();
        const uint64_t top = image.is64 ? ~0ull : 0xFFFFFFFFull;
        for (const ElfSegment& s : image.segments) {
            if (s.size == 0 || s.offset > n || s.size > n - s.offset) std::abort();
            if (s.address > top || s.size - 1 > top - s.address) std::abort();
        }
        // Shared addresses hold the same byte in every segment (small inputs: pairwise).
        for (size_t i = 0; i < image.segments.size() && i < 64; ++i)
            for (size_t j = i + 1; j < image.segments.size() && j < 64; ++j) {
                const ElfSegment &a = image.segments[i], &b = image.segments[j];
                const uint64_t lo = a.address > b.address ? a.address : b.address;
                const uint64_t aLast = a.address + (a.size - 1), bLast = b.address + (b.size - 1);
                const uint64_t hi = aLast < bLast ? aLast : bLast;
                for (uint64_t x = lo; lo <= hi && x <= hi; ++x)
                    if (file[a.offset + (x - a.address)] != file[b.offset + (x - b.address)]) std::abort();
            }
    }
    std::free(file);
    return 0;
}
