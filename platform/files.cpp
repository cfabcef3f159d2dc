#include "platform/files.h"

#include <cstdio>

#include "platform/files_internal.h"

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
