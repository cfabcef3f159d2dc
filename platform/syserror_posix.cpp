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

unsigned long SystemErrorCode(SystemErrorKind kind) {
    switch (kind) {
    case SYSERR_NOT_FOUND: return ENOENT;
    case SYSERR_EXISTS: return EEXIST;
    case SYSERR_DISK_FULL: return ENOSPC;
    case SYSERR_IS_FOLDER: return EISDIR;
    case SYSERR_INVALID: return EINVAL;
    case SYSERR_NAME_TOO_LONG: return ENAMETOOLONG;
    case SYSERR_NO_MEMORY: return ENOMEM;
    }
    return EIO;
}

bool SystemErrorIs(unsigned long code, SystemErrorKind kind) {
    if (kind == SYSERR_DISK_FULL) return code == ENOSPC || code == EDQUOT;
    return code == SystemErrorCode(kind);
}

bool StreamErrorIsDiskFull(int error) { return error == ENOSPC || error == EDQUOT; }
