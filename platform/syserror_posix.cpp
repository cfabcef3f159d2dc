#include "platform/syserror.h"

#include <cerrno>
#include <cstring>

#include "platform/syserror_text.h"

const char* SystemErrorText(unsigned long code) {
    // strerrordesc_np gives no text for unknown codes, unlike strerror,
    // which makes up an "Unknown error" line of its own.
    const char* desc = code <= 0x7FFFFFFFul ? strerrordesc_np(static_cast<int>(code)) : nullptr;
    return SystemErrorTextOf(code, desc);
}

unsigned long LastSystemError() { return static_cast<unsigned long>(errno); }

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
