#pragma once
#include <cstdint>
#include <vector>

// Hand-built ELF files: a header, the program headers right after it and the payload
// at file offset kElfPayload, so that a test states offsets and addresses directly.
namespace enginetest {

inline constexpr uint64_t kElfPayload = 0x200;

struct ElfPh {
    uint32_t type = 1;  // PT_LOAD
    uint64_t offset = 0, vaddr = 0, paddr = 0, filesz = 0, memsz = 0;
};

struct ElfLayout {
    bool is64 = false;
    bool big = false;
    uint64_t entry = 0;
    std::vector<ElfPh> ph;
    std::vector<uint8_t> payload;  // placed at kElfPayload
};

inline void ElfPut(std::vector<uint8_t>& v, uint64_t at, unsigned width, uint64_t value, bool big) {
    if (v.size() < at + width) v.resize(at + width);
    for (unsigned i = 0; i < width; ++i) v[at + (big ? width - 1 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
}

inline std::vector<uint8_t> BuildElf(const ElfLayout& s) {
    const bool w = s.is64, b = s.big;
    const unsigned a = w ? 8 : 4;
    const uint64_t ehsize = w ? 64 : 52, phentsize = w ? 56 : 32;
    std::vector<uint8_t> v(kElfPayload, 0);
    v[0] = 0x7F, v[1] = 'E', v[2] = 'L', v[3] = 'F';
    v[4] = w ? 2 : 1;
    v[5] = b ? 2 : 1;
    v[6] = 1;
    ElfPut(v, 16, 2, 2, b);   // ET_EXEC
    ElfPut(v, 18, 2, 40, b);  // EM_ARM (any will do)
    ElfPut(v, 20, 4, 1, b);
    ElfPut(v, 24, a, s.entry, b);
    ElfPut(v, w ? 32 : 28, a, ehsize, b);  // e_phoff
    ElfPut(v, w ? 52 : 40, 2, ehsize, b);
    ElfPut(v, w ? 54 : 42, 2, phentsize, b);
    ElfPut(v, w ? 56 : 44, 2, s.ph.size(), b);
    for (size_t i = 0; i < s.ph.size(); ++i) {
        const ElfPh& p = s.ph[i];
        const uint64_t h = ehsize + i * phentsize;
        ElfPut(v, h, 4, p.type, b);
        ElfPut(v, h + (w ? 8 : 4), a, p.offset, b);
        ElfPut(v, h + (w ? 16 : 8), a, p.vaddr, b);
        ElfPut(v, h + (w ? 24 : 12), a, p.paddr, b);
        ElfPut(v, h + (w ? 32 : 16), a, p.filesz, b);
        ElfPut(v, h + (w ? 40 : 20), a, p.memsz, b);
    }
    v.insert(v.end(), s.payload.begin(), s.payload.end());
    return v;
}

}  // namespace enginetest
