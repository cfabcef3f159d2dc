#include "platform/syserror.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
char g_text[301];
}

const char* SystemErrorText(unsigned long code) {
    // strerrordesc_np gives no text for unknown codes, unlike strerror,
    // which makes up an "Unknown error" line of its own.
    const char* desc = code <= 0x7FFFFFFFul ? strerrordesc_np(static_cast<int>(code)) : nullptr;
    if (desc == nullptr) {
        std::snprintf(g_text, sizeof g_text, "Unknown System Error #%lu", code);
        return g_text;
    }
    std::snprintf(g_text, sizeof g_text, "%s", desc);
    size_t n = std::strlen(g_text);
    while (n > 0 && static_cast<unsigned char>(g_text[n - 1]) < 0x20) g_text[--n] = '\0';
    return g_text;
}

unsigned long LastSystemError() { return static_cast<unsigned long>(errno); }

const char* LastSystemErrorText() { return SystemErrorText(LastSystemError()); }
