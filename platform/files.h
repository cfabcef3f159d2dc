#pragma once
#include <cstdint>
#include <cstdio>

// Files the programs read whole (images, configuration, command files) and image files
// they write. Reading never blocks on something that is not a plain file; writing never
// leaves a destroyed or half-written file behind when the write fails.

// ---- Reading a regular file whole ----

enum : int {
    FILE_READ_OK = 0,
    FILE_OPEN_FAILED,   // could not open; `error` holds the system error code
    FILE_NOT_REGULAR,   // a FIFO, socket, device or directory; `kind` names it
    FILE_EMPTY,         // size 0
    FILE_TOO_BIG,       // larger than the caller's limit
    FILE_NO_MEMORY,     // the buffer could not be allocated
    FILE_READ_FAILED,   // read error or short read; `error` holds the system error code
};

// What a failed open, read or write found.
struct FileFailure {
    unsigned long error = 0;  // system error code (FILE_OPEN_FAILED, FILE_READ_FAILED)
    const char* kind = "";    // FILE_NOT_REGULAR: "a FIFO", "a socket", "a character device", ...
};

// Reads the regular file `path` whole into a new malloc'ed block of size + `extra` bytes
// (the extra bytes are left for the caller, e.g. an end mark). The file is opened
// without blocking and checked with fstat before anything is read, so a FIFO without a
// writer, a socket or a terminal is refused at once. On FILE_READ_OK the caller frees
// `*bytes`; on any other result nothing is allocated.
int ReadRegularFile(const char* path, uint64_t maxSize, uint32_t extra, uint8_t** bytes, uint32_t* size,
                    FileFailure* failure);

// Opens `path` for reading only if it is a regular file (same checks as above) and
// returns a blocking stream positioned at its start, or null with `result` set to one
// of FILE_OPEN_FAILED / FILE_NOT_REGULAR and `failure` filled.
FILE* OpenRegularFile(const char* path, int* result, FileFailure* failure);

// "Is a FIFO, not a regular file" and the like, for FILE_NOT_REGULAR.
const char* NotRegularFileText(const FileFailure& failure);

// ---- Writing an output file safely ----

enum SafeOutputMode : int {
    SAFE_CREATE = 0,   // the file must not exist; on failure no file is left
    SAFE_APPEND = 1,   // added to the end; on failure cut back to its old length
    SAFE_REPLACE = 2,  // written beside the old file and renamed over it on success
};

// An output file in the making. Create and replace write a temporary file in the same
// folder (so the rename stays on one file system); append writes the file itself.
struct SafeOutput {
    FILE* file = nullptr;
    SafeOutputMode mode = SAFE_CREATE;
    char path[4096] = {};  // the final name (symbolic links resolved)
    char temp[4096] = {};  // the temporary file, or empty
    int64_t oldLength = -1;  // append: the length before, -1 when the file was new
    bool direct = false;     // an existing device or FIFO, written in place
};

// Opens the output: FILE_READ_OK, FILE_OPEN_FAILED (`failure.error`: EEXIST for create
// mode on an existing name, or why the file or its temporary could not be made) or
// FILE_NOT_REGULAR (an existing directory, socket or block device). An existing
// character device or FIFO is written in place, opened without blocking.
int SafeOutputOpen(SafeOutput* output, const char* name, SafeOutputMode mode, FileFailure* failure);
// Flushes, syncs to the disk and closes; then puts the file in place. 0, or the system
// error code after which the output has been abandoned as by SafeOutputAbandon.
unsigned long SafeOutputCommit(SafeOutput* output);
// Closes and undoes: the temporary file is removed, an appended file is cut back.
void SafeOutputAbandon(SafeOutput* output);
