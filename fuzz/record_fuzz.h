#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/engine.h"

// Reads records from arbitrary text until the reader gives a message or the text ends,
// and checks what must hold for every accepted record.
template <typename Reader>
void ReadAll(const uint8_t* data, size_t size, Reader next) {
    if (size == 0) return;
    const int probe = data[0] & 1;  // first byte picks the mode
    std::vector<uint8_t> text(data + 1, data + size);
    text.push_back(TEXT_END);
    ParserBegin(text.data());
    for (uint32_t n = 0; n < text.size() + 1; ++n) {
        const char* message = next(probe);
        const ParserState& p = Parser();
        if (p.pos >= text.size()) std::abort();  // never past the end-of-text byte
        if (message != nullptr) {
            if (std::strlen(message) == 0 || std::strlen(message) >= sizeof p.message) std::abort();
            return;
        }
        if (p.length > 255 || p.status > REC_S6) std::abort();
        if (!probe && p.status == REC_OTHER) std::abort();
        if (p.status == REC_END) return;
    }
    std::abort();  // every call consumes at least one character
}
