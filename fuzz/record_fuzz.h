#pragma once
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/engine.h"

// Reads records from arbitrary text until the reader gives a message or the text ends,
// and checks what must hold for every accepted record.
inline void ReadAll(const uint8_t* data, size_t size, RecordSyntax syntax) {
    if (size == 0) return;
    const bool probe = (data[0] & 1) != 0;  // first byte picks the mode
    const uint32_t n = static_cast<uint32_t>(size - 1);
    RecordReader reader(syntax, {data + 1, n});
    for (uint32_t i = 0; i < n + 2; ++i) {
        const bool ok = reader.Next(probe);
        if (reader.position() > n) std::abort();  // never past the end of the text
        if (!ok) {
            if (reader.message() == RecordMessage::None || reader.MessageText().empty()) std::abort();
            return;
        }
        const Record& r = reader.record();
        if (r.length > 255 || r.kind > RecordKind::Count24) std::abort();
        if (!probe && r.kind == RecordKind::Other) std::abort();
        if (r.kind == RecordKind::End) return;
    }
    std::abort();  // every call consumes at least one character
}
