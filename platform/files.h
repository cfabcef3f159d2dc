#pragma once
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <string>

struct stat;

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
    FILE_LINK_REFUSED,  // output only: a symbolic link that is not followed; `link` names it
};

// Why a link was not followed for a write (FILE_LINK_REFUSED).
enum : int {
    LINK_PLANTED = 1,      // in a sticky world-writable folder, owned by someone else
    LINK_NOT_REGULAR = 2,  // leads to a device, FIFO, socket or folder (`kind` names it)
};

// What stands where a regular file was wanted (FILE_NOT_REGULAR, LINK_NOT_REGULAR), for
// callers that word it in texts of their own.
enum FileType : int {
    FILE_TYPE_NONE = 0,
    FILE_TYPE_FIFO,
    FILE_TYPE_SOCKET,
    FILE_TYPE_CHARACTER_DEVICE,
    FILE_TYPE_BLOCK_DEVICE,
    FILE_TYPE_DIRECTORY,
    FILE_TYPE_OTHER,
};

// What a failed open, read or write found.
struct FileFailure {
    // System error code (FILE_OPEN_FAILED, FILE_READ_FAILED). With FILE_NOT_REGULAR it is
    // the open's error when the open itself failed (a socket cannot be opened), else 0.
    unsigned long error = 0;
    const char* kind = "";      // FILE_NOT_REGULAR: "a FIFO", "a socket", "a character device", ...
    int type = FILE_TYPE_NONE;  // the same as a FileType
    int refusal = 0;            // FILE_LINK_REFUSED: LINK_PLANTED or LINK_NOT_REGULAR
    char link[4096] = {};       // FILE_LINK_REFUSED: the link, as it was named
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

// True when something is there under `path`, links followed (a dangling link is not).
bool FileExists(const char* path);
// 0 when the user may read `path`, else the system error code (ENOENT when nothing is
// there), as the access check says.
unsigned long FileReadableError(const char* path);

// "Is a FIFO, not a regular file" and the like, for FILE_NOT_REGULAR.
const char* NotRegularFileText(const FileFailure& failure);
// The reason of any failed open in words: the text above, the refused link and why,
// or the system's text for the error code.
const char* FileFailureText(int result, const FileFailure& failure);

// ---- Writing an output file safely ----

// Every write and save of a named file (image files, the console configuration, the
// windowed application's settings, the library's debug stream) goes through these
// rules first:
// - every symbolic link met on the way, in a folder of the path as well as at its end,
//   is followed only where the kernel's rule for shared folders would follow it: not
//   when it sits in a sticky world-writable folder (such as /tmp) and belongs neither
//   to the user nor to the folder's owner;
// - through a link, only a regular file is written: a link to a device, FIFO, socket
//   or folder is refused (a rename would otherwise replace the device node itself);
// - an existing file is written only when the user may write it (access W_OK): a
//   writable folder is not enough to replace a file its owner protected.
// On FILE_READ_OK, `path` holds the name to write with every link resolved (folders
// too, so nothing on the way is a link any more), `*exists` says whether something is
// there and `st` what (lstat of it). An existing file that is not regular, named
// directly (not through a link), is FILE_NOT_REGULAR unless `devicesInPlace` allows a
// character device or FIFO to be written in place.
int CheckOutputTarget(const char* name, bool devicesInPlace, char* path, size_t room, bool* exists, struct stat* st,
                      FileFailure* failure);

enum SafeOutputMode : int {
    SAFE_CREATE = 0,   // the file must not exist; on failure no file is left
    SAFE_APPEND = 1,   // added to the end; on failure cut back to its old length
    SAFE_REPLACE = 2,  // written beside the old file and renamed over it on success
};

// An output file in the making. Create and replace write a temporary file in the same
// folder (so the rename stays on one file system); append writes the file itself. The
// temporary is registered with the process (platform/process.h), so that an ending
// signal or an exit removes it; an append is registered to be cut back.
// A replaced file keeps its mode and, where the process may give them (as root), its
// owner and group. A file with more than one hard link is not replaced by a rename
// (its other names would keep the old contents): the new contents go to the temporary
// like any replace, the file itself is not touched until they are complete, and only
// then are they copied into it in place (same inode, owner, mode and links). Should
// that copy fail, the old contents are put back (from a copy without a name, which no
// way out can leave behind) and `undo` says so.
enum : int {
    SAFE_UNDO_NONE = 0,      // nothing was copied in place
    SAFE_UNDO_RESTORED = 1,  // the copy in place failed; the old contents were put back
    SAFE_UNDO_KEPT = 2,      // ... and could not be put back: they are in `keep`
    SAFE_UNDO_LOST = 3,      // ... and could not be kept either
};

struct SafeOutput {
    FILE* file = nullptr;
    SafeOutputMode mode = SAFE_CREATE;
    char path[4096] = {};       // the final name (symbolic links resolved)
    char temp[4096] = {};       // the temporary file, or empty
    int inPlaceFd = -1;         // a file with several hard links: the file itself, written at commit
    int64_t oldLength = -1;     // append: the length before, -1 when the file was new
    bool direct = false;        // an existing device or FIFO, written in place
    int undo = SAFE_UNDO_NONE;  // after a failed commit of a file written in place
    char keep[4096] = {};       // SAFE_UNDO_KEPT: where the old contents are
};

// Opens the output: FILE_READ_OK, FILE_OPEN_FAILED (`failure.error`: EEXIST for create
// mode on an existing name, EACCES for a file the user may not write, or why the file
// or its temporary could not be made), FILE_NOT_REGULAR (an existing directory, socket
// or block device; with `devicesInPlace` false also a character device or FIFO) or
// FILE_LINK_REFUSED. With `devicesInPlace`, an existing character device or FIFO named
// directly is written in place, opened without blocking.
int SafeOutputOpen(SafeOutput* output, const char* name, SafeOutputMode mode, FileFailure* failure,
                   bool devicesInPlace = true);
// Flushes, syncs to the disk and closes; then puts the file in place. 0, or the system
// error code after which the output has been abandoned as by SafeOutputAbandon (and,
// for a file written in place, `undo` says what became of its old contents).
unsigned long SafeOutputCommit(SafeOutput* output);
// Closes and undoes: the temporary file is removed, an appended file is cut back. A
// file with several hard links was never touched.
void SafeOutputAbandon(SafeOutput* output);
// After a failed commit: what became of a file written in place, in words ("" when
// nothing was written in place).
const char* SafeOutputUndoText(const SafeOutput& output);

// The whole of a small file (a configuration, a settings store) put in place of `name`:
// SafeOutputOpen with SAFE_REPLACE and no device or FIFO written in place, the bytes,
// SafeOutputCommit. With `syncFolder`, the folder of the file is synced after the rename
// too, so that the rename itself reaches the disk. False with the reason in words in
// `why` (when not null): FileFailureText of a failed open, the system's text of a failed
// write or commit, the latter followed by " (" SafeOutputUndoText ")" for a file written
// in place.
bool FileReplaceWhole(const char* name, const void* bytes, size_t size, bool syncFolder, std::string* why);

// Opens `name` to append lines to (a log), under the rules of CheckOutputTarget: only a
// regular file, created when missing, opened without blocking and never through a
// planted link. Null with `result` (FILE_OPEN_FAILED, FILE_NOT_REGULAR or
// FILE_LINK_REFUSED) and `failure` set; FileFailureText tells why.
FILE* OpenLogFile(const char* name, int* result, FileFailure* failure);
