#include "platform/syserror.h"

#include <windows.h>

#include <cerrno>

#include "platform/syserror_text.h"

const char* SystemErrorText(unsigned long code) {
    char text[1024];
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    return SystemErrorTextOf(code, n == 0 ? nullptr : text);
}

unsigned long LastSystemError() { return GetLastError(); }

unsigned long SystemErrorCode(SystemErrorKind kind) {
    switch (kind) {
    case SYSERR_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case SYSERR_EXISTS: return ERROR_FILE_EXISTS;
    case SYSERR_DISK_FULL: return ERROR_DISK_FULL;
    case SYSERR_IS_FOLDER: return ERROR_DIRECTORY;
    case SYSERR_INVALID: return ERROR_INVALID_PARAMETER;
    case SYSERR_NAME_TOO_LONG: return ERROR_FILENAME_EXCED_RANGE;
    case SYSERR_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_GEN_FAILURE;
}

bool SystemErrorIs(unsigned long code, SystemErrorKind kind) {
    switch (kind) {
    case SYSERR_NOT_FOUND: return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    case SYSERR_EXISTS: return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    case SYSERR_DISK_FULL: return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
    default: return code == SystemErrorCode(kind);
    }
}

bool StreamErrorIsDiskFull(int error) { return error == ENOSPC; }
