// libFuzzer target: the console program's command language on arbitrary text. The
// first input byte chooses what runs:
//   0: the expression evaluator (Evaluate), with $0..$9 set from the next bytes;
//   1: the argument parser (ParseArguments) with one of the command table's formats;
//   2: %-references (ExpandReferences) after defining a function key from the input.
// Nothing runs a command: no file, shell or unit is touched. Error reports go to a
// captured string that is dropped after each input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zam32/lang.h"
#include "zam32/screen.h"

namespace {

// The argument formats of the command table, plus the repeating and rest-of-line forms.
const char* const kFormats[] = {"Ww",         "K", "kk", "Vvvk", "fvvvvk", "vvv", "vv", "vd*", "Fk",
                                "Fvvkkvvvvs", "k", "f*", "ks",   "v*",     "s",   "F",  ""};
constexpr size_t kFormatCount = sizeof kFormats / sizeof kFormats[0];

std::string g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool captured = [] {
        CaptureOutput(&g_sink);
        return true;
    }();
    (void)captured;
    if (size < 2) return 0;
    const uint8_t mode = data[0] % 3;
    const uint8_t pick = data[1];
    data += 2;
    size -= 2;
    // Lines live in the console's line buffer (its guard byte in front stops error
    // reports that scan back), at most LINE_SIZE - 1 characters, ended by the first NUL.
    char* line = LineBuffer();
    const size_t n = size < LINE_SIZE - 1 ? size : LINE_SIZE - 1;
    std::memcpy(line, data, n);
    line[n] = '\0';
    g_sink.clear();

    switch (mode) {
    case 0: {
        for (int v = 0; v < 10; ++v)
            SetVariable(v, static_cast<uint32_t>(pick) * 0x01010101u + static_cast<uint32_t>(v));
        uint32_t value = 0;
        const char* stop = nullptr;
        const bool ok = Evaluate(line, &value, &stop);
        if (stop != nullptr && (stop < line || stop > line + n)) std::abort();
        (void)ok;
        break;
    }
    case 1: {
        std::vector<ArgRecord> records;
        const char* after = ParseArguments(line, kFormats[pick % kFormatCount], &records);
        if (after != nullptr && (after < line || after > line + n)) std::abort();
        const Args args(records);
        for (int i = 0; i < args.Count(); ++i) {
            const ArgRecord* a = args.Get(i);
            if (a == nullptr || a->kind > KIND_ABSENT) std::abort();
            if (std::strlen(a->raw) >= ARG_TEXT || std::strlen(a->processed) >= ARG_TEXT) std::abort();
            if (a->kind != KIND_ABSENT && (a->position < line || a->position > line + n)) std::abort();
        }
        break;
    }
    default: {
        // The text after the first newline defines one key; the part before is the line.
        FunctionKey* keys = FunctionKeyTable();
        FunctionKey& key = keys[pick % FUNCTION_KEYS];
        char* split = std::strchr(line, '\n');
        key.current[0] = '\0';
        if (split != nullptr) {
            *split = '\0';
            std::strncpy(key.current, split + 1, KEY_TEXT - 1);
            key.current[KEY_TEXT - 1] = '\0';
        }
        // A refused expansion (too many, too long) is not run by the caller; either way
        // the line must stay inside its buffer.
        const int result = ExpandReferences(line, LINE_SIZE);
        if (std::strlen(line) >= LINE_SIZE) std::abort();
        if (result < EXPAND_TOO_LONG || result > 101) std::abort();
        key.current[0] = '\0';
        break;
    }
    }
    return 0;
}
