#include "engine/output.h"

#include <cstdarg>
#include <cstdio>

namespace {
// Longest single engine message (a reader message inside LOAD FAILURE, a system
// error text inside CAN'T OPEN, a sign-on of 255 characters) fits comfortably.
constexpr size_t kLineMax = 1024;
}  // namespace

void EngineOutput::ErrorF(EngineArg arg, const char* format, ...) {
    char line[kLineMax];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    Error(arg, line);
}

void EngineOutput::InformF(const char* format, ...) {
    char line[kLineMax];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    Inform(line);
}

void EngineOutput::AlwaysF(const char* format, ...) {
    char line[kLineMax];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    Always(line);
}

CallerBufferOutput::CallerBufferOutput(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
    Reset();
}

void CallerBufferOutput::Reset() {
    pos_ = 0;
    any_ = false;
    if (buffer_ && capacity_ > 0) buffer_[0] = '\0';
}

void CallerBufferOutput::Error(EngineArg, const char* text) { Append(text); }
void CallerBufferOutput::Inform(const char* text) { Append(text); }
void CallerBufferOutput::Always(const char* text) { Append(text); }

void CallerBufferOutput::Append(const char* text) {
    if (!buffer_ || capacity_ == 0) return;
    // Room for characters: capacity less the terminating NUL.
    const size_t limit = capacity_ - 1;
    if (any_ && pos_ < limit) buffer_[pos_++] = '\r';
    any_ = true;
    for (const char* p = text; *p && pos_ < limit; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20) continue;
        buffer_[pos_++] = *p;
    }
    buffer_[pos_] = '\0';
}
