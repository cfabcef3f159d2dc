#include <cstdio>
#include <cstring>

#include "platform/syserror.h"
#include "platform/syserror_text.h"

namespace {
char g_text[301];
}

const char* SystemErrorTextOf(unsigned long code, const char* description) {
    if (description == nullptr) {
        std::snprintf(g_text, sizeof g_text, "Unknown System Error #%lu", code);
        return g_text;
    }
    std::snprintf(g_text, sizeof g_text, "%s", description);
    size_t n = std::strlen(g_text);
    while (n > 0 && static_cast<unsigned char>(g_text[n - 1]) < 0x20) g_text[--n] = '\0';
    return g_text;
}

const char* LastSystemErrorText() { return SystemErrorText(LastSystemError()); }
