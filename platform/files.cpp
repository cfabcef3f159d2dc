#include "platform/files.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform/files_internal.h"
#include "platform/syserror.h"

// The parts of the file service that are the same on every system.

void SafeOutputClear(SafeOutput* o) {
    o->file = nullptr;
    o->temp[0] = '\0';
    o->path[0] = '\0';
    o->keep[0] = '\0';
    o->inPlaceFd = -1;
    o->oldLength = -1;
    o->direct = false;
    o->undo = SAFE_UNDO_NONE;
}

const char* NotRegularFileText(const FileFailure& failure) {
    static char text[80];
    std::snprintf(text, sizeof text, "Is %s, not a regular file", failure.kind);
    return text;
}

const char* SafeOutputUndoText(const SafeOutput& o) {
    static char text[2 * 4096 + 120];
    switch (o.undo) {
    case SAFE_UNDO_RESTORED: std::snprintf(text, sizeof text, "%s has its old contents back", o.path); return text;
    case SAFE_UNDO_KEPT:
        std::snprintf(text, sizeof text, "%s is damaged: its old contents are in %s", o.path, o.keep);
        return text;
    case SAFE_UNDO_LOST:
        std::snprintf(text, sizeof text, "%s is damaged and its old contents could not be kept", o.path);
        return text;
    default: return "";
    }
}

int SafeOutputStart(SafeOutput* o, const char* name, SafeOutputMode mode, FileFailure* failure, bool devicesInPlace,
                    bool* exists, struct stat* st) {
    SafeOutputClear(o);
    o->mode = mode;
    int checked = CheckOutputTarget(name, devicesInPlace, o->path, sizeof o->path, exists, st, failure);
    if (checked == FILE_READ_OK && *exists && mode == SAFE_CREATE) {
        failure->error = SystemErrorCode(SYSERR_EXISTS);
        checked = FILE_OPEN_FAILED;
    }
    if (checked != FILE_READ_OK) o->path[0] = '\0';
    return checked;
}

bool FileReplaceWhole(const char* name, const void* bytes, size_t size, bool syncFolder, std::string* why) {
    SafeOutput output;
    FileFailure failure;
    const int opened = SafeOutputOpen(&output, name, SAFE_REPLACE, &failure, false);
    if (opened != FILE_READ_OK) {
        if (why) *why = FileFailureText(opened, failure);
        return false;
    }
    const unsigned long writeError = WriteAllFlushed(output.file, bytes, size);
    if (writeError != 0) {
        SafeOutputAbandon(&output);
        if (why) *why = SystemErrorText(writeError);
        return false;
    }
    const unsigned long error = SafeOutputCommit(&output);
    if (error != 0) {
        if (why) {
            *why = SystemErrorText(error);
            if (output.undo != SAFE_UNDO_NONE) *why += std::string(" (") + SafeOutputUndoText(output) + ")";
        }
        return false;
    }
    if (syncFolder) SyncFolderOf(output.path);
    return true;
}
