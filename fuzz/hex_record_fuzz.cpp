// libFuzzer target: the Intel HEX reader on arbitrary text.
#include "fuzz/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAll(data, size, RecordSyntax::Hex);
    return 0;
}
