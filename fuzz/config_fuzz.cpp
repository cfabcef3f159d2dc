// libFuzzer target: the console program's configuration reader on arbitrary bytes, as
// the file "ZAM32.CFG" would hold them: the session block, then the function-key
// records. What must hold for every input:
// - a refused file changes neither the block nor the keys handed in;
// - an accepted one has key texts of at most KEY_TEXT_LIMIT characters, only on keys
//   the key table names, and reads back the same after being written again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zam32/config.h"
#include "zam32/lang.h"
#include "zam32/session.h"

namespace {

// The block and keys a reader call starts from, recognisable if a refusal touched them.
void Sentinel(SessionBlock& block, ConfigKeys& keys) {
    block = SessionBlock{};
    block.DumpWidth = 0x5A5A;
    std::memset(&keys, 0x5A, sizeof keys);
}

bool Read(const uint8_t* data, size_t size, SessionBlock& block, ConfigKeys& keys) {
    // fmemopen refuses a zero-sized buffer: an empty file is a file of one byte less.
    static const uint8_t kNothing = 0;
    std::FILE* f = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb")
                            : fmemopen(const_cast<uint8_t*>(&kNothing), 1, "rb");
    if (f == nullptr) std::abort();
    if (size == 0) std::fgetc(f);
    const bool ok = ReadConfiguration(f, block, keys);
    std::fclose(f);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SessionBlock block, untouched;
    static ConfigKeys keys, untouchedKeys;
    Sentinel(block, keys);
    Sentinel(untouched, untouchedKeys);
    if (!Read(data, size, block, keys)) {
        uint8_t a[SESSION_BLOCK_SIZE], b[SESSION_BLOCK_SIZE];
        EncodeSessionBlock(block, a);
        EncodeSessionBlock(untouched, b);
        if (std::memcmp(a, b, sizeof a) != 0 || std::memcmp(&keys, &untouchedKeys, sizeof keys) != 0) std::abort();
        return 0;
    }
    // Accepted: every text ends within the limit.
    for (const auto& text : keys.text)
        if (std::memchr(text, 0, KEY_TEXT_LIMIT + 1) == nullptr) std::abort();

    // Written again and read back: the same block and the same texts.
    static FunctionKey table[FUNCTION_KEYS];
    const FunctionKey* real = FunctionKeyTable();
    for (int i = 0; i < FUNCTION_KEYS; ++i) {
        table[i].code = real[i].code;
        std::strcpy(table[i].current, keys.text[i]);
    }
    std::vector<int> skipped;
    const std::vector<uint8_t> bytes = EncodeConfiguration(block, table, &skipped);
    if (!skipped.empty()) std::abort();
    static SessionBlock again;
    static ConfigKeys againKeys;
    if (!Read(bytes.data(), bytes.size(), again, againKeys)) std::abort();
    uint8_t a[SESSION_BLOCK_SIZE], b[SESSION_BLOCK_SIZE];
    EncodeSessionBlock(block, a);
    EncodeSessionBlock(again, b);
    if (std::memcmp(a, b, sizeof a) != 0) std::abort();
    for (int i = 0; i < FUNCTION_KEYS; ++i)
        if (std::strcmp(keys.text[i], againKeys.text[i]) != 0) std::abort();
    return 0;
}
