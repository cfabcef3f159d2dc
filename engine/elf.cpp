// ELF executables: the program headers' loadable file images, placed at their physical
// (load) addresses as if each segment were one run of data records. No sections, no
// relocation, no zero fill of p_memsz beyond p_filesz: a ROM holds what the file holds.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "engine/internal.h"

using namespace engine_detail;

namespace {

constexpr uint32_t PT_LOAD_TYPE = 1;
constexpr uint32_t PN_XNUM_COUNT = 0xFFFF;  // the real count is in section header 0

// Field readers; the caller has checked that the field lies in the file.
struct Fields {
    const uint8_t* bytes;
    bool big;
    uint64_t U(uint64_t at, unsigned width) const {
        uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) {
            const uint64_t b = bytes[at + i];
            v |= big ? b << (8 * (width - 1 - i)) : b << (8 * i);
        }
        return v;
    }
};

// True when [offset, offset + length) lies in a file of `size` bytes (no wrap).
bool Inside(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

const char* Fail(ElfImage& image, const char* format, ...) __attribute__((format(printf, 2, 3)));
const char* Fail(ElfImage& image, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(image.message, sizeof image.message, format, args);
    va_end(args);
    return image.message;
}

}  // namespace

bool IsElf(const uint8_t* bytes, uint64_t size) {
    return size >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F';
}

const char* ReadElf(const uint8_t* bytes, uint64_t size, ElfImage& image) {
    image.segments.clear();
    image.message[0] = '\0';
    if (size < 5) return Fail(image, "TRUNCATED ELF HEADER (%X OF 34 BYTES)", static_cast<unsigned>(size));
    if (bytes[4] != 1 && bytes[4] != 2) return Fail(image, "UNKNOWN ELF FILE CLASS %02X", bytes[4]);
    image.is64 = bytes[4] == 2;
    const uint64_t headerSize = image.is64 ? 64 : 52;
    if (size < 6)
        return Fail(image, "TRUNCATED ELF HEADER (%X OF %X BYTES)", static_cast<unsigned>(size),
                    static_cast<unsigned>(headerSize));
    if (bytes[5] != 1 && bytes[5] != 2) return Fail(image, "UNKNOWN ELF BYTE ORDER %02X", bytes[5]);
    image.bigEndian = bytes[5] == 2;
    if (size < headerSize)
        return Fail(image, "TRUNCATED ELF HEADER (%X OF %X BYTES)", static_cast<unsigned>(size),
                    static_cast<unsigned>(headerSize));

    const Fields f{bytes, image.bigEndian};
    const bool w = image.is64;
    const unsigned addr = w ? 8 : 4;
    image.entry = f.U(24, addr);
    const uint64_t phoff = f.U(w ? 32 : 28, addr);
    const uint64_t shoff = f.U(w ? 40 : 32, addr);
    const uint64_t phentsize = f.U(w ? 54 : 42, 2);
    uint64_t phnum = f.U(w ? 56 : 44, 2);
    const uint64_t shentsize = f.U(w ? 58 : 46, 2);
    const uint64_t phMin = w ? 56 : 32, shMin = w ? 64 : 40;

    if (phnum == PN_XNUM_COUNT) {
        // More program headers than the field holds: the count is section 0's sh_info.
        if (shoff == 0 || shentsize < shMin || !Inside(shoff, shMin, size))
            return Fail(image, "ELF PROGRAM HEADER COUNT MISSING (SECTION HEADER 0 PAST END OF FILE)");
        phnum = f.U(shoff + (w ? 44 : 28), 4);
    }
    if (phnum != 0 && phentsize < phMin)
        return Fail(image, "ELF PROGRAM HEADER SIZE %X TOO SMALL", static_cast<unsigned>(phentsize));
    // phnum < 2^32 and phentsize < 2^16: the product cannot wrap.
    if (!Inside(phoff, phnum * phentsize, size)) return Fail(image, "ELF PROGRAM HEADERS PAST END OF FILE");

    // The address space of the class: a segment may end at its very top, not beyond.
    const uint64_t lastAddress = w ? ~0ull : 0xFFFFFFFFull;
    for (uint64_t i = 0; i < phnum; ++i) {
        const uint64_t h = phoff + i * phentsize;
        if (f.U(h, 4) != PT_LOAD_TYPE) continue;
        ElfSegment s;
        s.index = static_cast<uint32_t>(i);
        s.offset = f.U(h + (w ? 8 : 4), addr);
        s.address = f.U(h + (w ? 24 : 12), addr);
        s.size = f.U(h + (w ? 32 : 16), addr);
        if (s.size == 0) continue;  // only zero fill (a .bss): nothing a ROM holds
        if (!Inside(s.offset, s.size, size)) return Fail(image, "ELF SEGMENT #%u DATA PAST END OF FILE", s.index);
        if (s.address > lastAddress || s.size - 1 > lastAddress - s.address)
            return Fail(image, "ELF SEGMENT #%u RUNS PAST THE END OF THE ADDRESS SPACE", s.index);
        image.segments.push_back(s);
    }
    if (image.segments.empty()) return Fail(image, "NO LOADABLE SEGMENTS IN ELF FILE");

    // Overlapping segments must agree on every shared byte. In address order, once the
    // segments so far agree, comparing each with the one reaching furthest covers every
    // earlier segment it meets.
    std::vector<const ElfSegment*> order;
    order.reserve(image.segments.size());
    for (const ElfSegment& s : image.segments) order.push_back(&s);
    std::sort(order.begin(), order.end(), [](const ElfSegment* a, const ElfSegment* b) {
        return a->address != b->address ? a->address < b->address : a->index < b->index;
    });
    const ElfSegment* reach = order[0];
    for (size_t k = 1; k < order.size(); ++k) {
        const ElfSegment* s = order[k];
        const uint64_t reachLast = reach->address + (reach->size - 1);
        const uint64_t last = s->address + (s->size - 1);
        if (reachLast >= s->address) {
            const uint64_t n = std::min(last, reachLast) - s->address + 1;
            const uint8_t* mine = bytes + s->offset;
            const uint8_t* theirs = bytes + reach->offset + (s->address - reach->address);
            if (std::memcmp(mine, theirs, static_cast<size_t>(n)) != 0) {
                uint64_t at = 0;
                while (mine[at] == theirs[at]) ++at;
                return Fail(image, "ELF SEGMENTS #%u AND #%u OVERLAP WITH DIFFERENT BYTES AT %llX",
                            std::min(s->index, reach->index), std::max(s->index, reach->index),
                            static_cast<unsigned long long>(s->address + at));
            }
        }
        if (last > reachLast) reach = s;
    }
    return nullptr;
}

uint32_t LoadElf(EngineOutput& out, const UnitSet& set, uint32_t loadVerify, const ElfImage& image,
                 const uint8_t* bytes, uint32_t start, uint32_t length, uint32_t target, uint32_t width) {
    const uint32_t mode = ModeOf(loadVerify);
    if (width == 0) width = 1;
    LoadBanner(out, "ELF", start, length, target, width, mode);
    Run run;
    run.mode = mode;
    // ELF64 addresses go beyond 32 bits: without a length the window has no end.
    run.window = MakeLoadWindow(start, length, target, width, set.DevSize, ~0ull);

    uint64_t all = 0, done = 0;
    for (const ElfSegment& s : image.segments) all += s.size;
    RamSink sink(set);
    sink.Begin(mode);
    bool cancelled = false;
    // Each segment goes in pieces, as records would.
    for (const ElfSegment& s : image.segments) {
        for (uint64_t at = 0; at < s.size && !cancelled; at += kMaxRun) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kMaxRun, s.size - at));
            const RunResult placed = PlaceRun(out, run, sink, s.address + at, bytes + s.offset + at, n);
            if (placed == RunResult::Outside) {
                out.ErrorF(ARG_NONE, "%s ATTEMPTED OUTSIDE OF EMULATED DEVICE (Segment #%u)\a\n",
                           mode == VERIFY_ONLY ? "VERIFY" : "LOAD", s.index);
                return ENGINE_FAILED;
            }
            if (placed == RunResult::Failed) return ENGINE_FAILED;
            done += n;
            out.Progress(done, all);
            cancelled = out.PollCancel();
        }
        if (cancelled) break;
    }
    if (!FinishRuns(out, run, sink, cancelled)) return ENGINE_FAILED;
    out.AlwaysF("Program Entry: %06llX\n", static_cast<unsigned long long>(image.entry));
    CompletionLine(out, mode, run.corrected, run.total);
    HighestLine(out, mode, run.highest);
    return ENGINE_OK;
}
