#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/files_internal.h"
#include "platform/process.h"

namespace {

struct FreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
};

int TypeOf(mode_t mode) {
    if (S_ISFIFO(mode)) return FILE_TYPE_FIFO;
    if (S_ISSOCK(mode)) return FILE_TYPE_SOCKET;
    if (S_ISCHR(mode)) return FILE_TYPE_CHARACTER_DEVICE;
    if (S_ISBLK(mode)) return FILE_TYPE_BLOCK_DEVICE;
    if (S_ISDIR(mode)) return FILE_TYPE_DIRECTORY;
    return FILE_TYPE_OTHER;
}

// What stands there, as a type and in words.
void NoteKind(FileFailure* failure, mode_t mode) {
    static const char* const kWords[] = {
        "", "a FIFO", "a socket", "a character device", "a block device", "a directory", "not a plain file"};
    failure->type = TypeOf(mode);
    failure->kind = kWords[failure->type];
}

// Opens without blocking (a FIFO without a writer would wait forever otherwise) and
// keeps the descriptor only for a regular file.
int OpenRegular(const char* path, int* fd, struct stat* st, FileFailure* failure) {
    *fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (*fd < 0) {
        failure->error = static_cast<unsigned long>(errno);
        // A socket cannot be opened at all: say what it is rather than why open failed.
        if (stat(path, st) == 0 && !S_ISREG(st->st_mode)) {
            NoteKind(failure, st->st_mode);
            return FILE_NOT_REGULAR;
        }
        return FILE_OPEN_FAILED;
    }
    if (fstat(*fd, st) != 0) {
        failure->error = static_cast<unsigned long>(errno);
        close(*fd);
        *fd = -1;
        return FILE_OPEN_FAILED;
    }
    if (!S_ISREG(st->st_mode)) {
        NoteKind(failure, st->st_mode);
        close(*fd);
        *fd = -1;
        return FILE_NOT_REGULAR;
    }
    // O_NONBLOCK means nothing for a regular file: reads wait for the disk as always.
    return FILE_READ_OK;
}

// The permissions a new file gets (what fopen would have given it).
mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

int ReadRegularFile(const char* path, uint64_t maxSize, uint32_t extra, uint8_t** bytes, uint32_t* size,
                    FileFailure* failure) {
    *bytes = nullptr;
    *size = 0;
    int fd = -1;
    struct stat st {};
    const int opened = OpenRegular(path, &fd, &st, failure);
    if (opened != FILE_READ_OK) return opened;
    if (st.st_size <= 0) {
        close(fd);
        return FILE_EMPTY;
    }
    const uint64_t want64 = static_cast<uint64_t>(st.st_size);
    if (want64 > maxSize || want64 + extra > SIZE_MAX || want64 > UINT32_MAX) {
        close(fd);
        return FILE_TOO_BIG;
    }
    const size_t want = static_cast<size_t>(want64);
    // malloc'ed, as the caller frees it; owned here until it is handed over.
    std::unique_ptr<uint8_t, FreeBlock> block(static_cast<uint8_t*>(std::malloc(want + extra)));
    if (block == nullptr) {
        close(fd);
        return FILE_NO_MEMORY;
    }
    size_t got = 0;
    int error = 0;
    while (got < want) {
        const ssize_t n = read(fd, block.get() + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got < want) {
        failure->error = static_cast<unsigned long>(error ? error : EIO);
        return FILE_READ_FAILED;
    }
    *bytes = block.release();
    *size = static_cast<uint32_t>(want);
    return FILE_READ_OK;
}

FILE* OpenRegularFile(const char* path, int* result, FileFailure* failure) {
    int fd = -1;
    struct stat st {};
    *result = OpenRegular(path, &fd, &st, failure);
    if (*result != FILE_READ_OK) return nullptr;
    FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        failure->error = static_cast<unsigned long>(errno);
        close(fd);
        *result = FILE_OPEN_FAILED;
    }
    return f;
}

bool FileExists(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0;
}

unsigned long FileReadableError(const char* path) {
    return access(path, R_OK) == 0 ? 0 : static_cast<unsigned long>(errno);
}

const char* FileFailureText(int result, const FileFailure& failure) {
    static char text[4096 + 120];
    if (result == FILE_NOT_REGULAR) return NotRegularFileText(failure);
    if (result == FILE_LINK_REFUSED && failure.refusal == LINK_PLANTED) {
        std::snprintf(text, sizeof text, "%s is a link in a shared sticky folder, owned by another user: not followed",
                      failure.link);
        return text;
    }
    if (result == FILE_LINK_REFUSED) {
        std::snprintf(text, sizeof text, "%s is a link to %s, not to a regular file", failure.link, failure.kind);
        return text;
    }
    return std::strerror(static_cast<int>(failure.error ? failure.error : EIO));
}

namespace {

// The folder part of a path with its '/', or "" for a name in the current folder.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The kernel's rule for following a link in a shared folder (fs.protected_symlinks):
// in a sticky world-writable folder, only a link of the user's own or of the folder's
// owner is followed.
bool MayFollow(const std::string& link, const struct stat& linkStat) {
    const std::string folder = FolderOf(link);
    struct stat dir {};
    if (stat(folder.empty() ? "." : folder.c_str(), &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || linkStat.st_uid == geteuid() || linkStat.st_uid == dir.st_uid;
}

// `what` is the mode of what the link leads to (LINK_NOT_REGULAR), or 0.
int Refuse(FileFailure* failure, int refusal, const char* link, mode_t what) {
    failure->refusal = refusal;
    if (what != 0) NoteKind(failure, what);
    else failure->kind = "";
    std::snprintf(failure->link, sizeof failure->link, "%s", link);
    return FILE_LINK_REFUSED;
}

int OpenFailed(FileFailure* failure, int error) {
    failure->error = static_cast<unsigned long>(error);
    return FILE_OPEN_FAILED;
}

bool WriteAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// fsync, where the file system can: one that cannot sync (EINVAL, EROFS) counts as
// done. False with errno set on a real failure.
bool SyncFile(int fd) { return fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

// The descriptor of a file written in place, closed once.
void CloseInPlace(SafeOutput* o) {
    if (o->inPlaceFd >= 0) {
        close(o->inPlaceFd);
        o->inPlaceFd = -1;
    }
}

// Copies everything of `from` (from its start) over `to` (from its start), cuts `to`
// to the copied length and, with `sync`, syncs it. Written over rather than emptied
// first, so that putting old contents back never needs more room than they had.
// False with errno set on any failure.
bool CopyOver(int from, int to, bool sync) {
    if (lseek(from, 0, SEEK_SET) != 0 || lseek(to, 0, SEEK_SET) != 0) return false;
    char block[65536];
    off_t copied = 0;
    for (;;) {
        const ssize_t n = read(from, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (!WriteAll(to, block, static_cast<size_t>(n))) return false;
        copied += n;
    }
    if (ftruncate(to, copied) != 0) return false;
    return !sync || SyncFile(to);
}

// A temporary file beside `path`: "<folder>.pelmo-<what>-XXXXXX".
int MakeBeside(const char* path, const char* what, char* temp, size_t room) {
    const std::string name = FolderOf(path) + ".pelmo-" + what + "-XXXXXX";
    if (name.size() + 1 > room) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(temp, name.c_str(), name.size() + 1);
    const int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) temp[0] = '\0';
    return fd;
}

// The new file gets the old one's owner and group where the process may give them
// (root; or a group of the user's own), then the old permissions (after the owner,
// which would clear set-id bits).
void TakeOwnerAndMode(int fd, const struct stat& old) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // Kept as the process's own: all a user can give.
    }
    fchmod(fd, old.st_mode & 07777);
}

// A file without a name in the folder of `path` (gone with its descriptor, whatever
// way the process ends); where the file system has none, one made beside it and
// unlinked at once (with the ending signals held, so nothing can come in between).
int AnonymousBeside(const char* path) {
    const std::string folder = FolderOf(path);
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    char name[4096];
    const int named = MakeBeside(path, "keep", name, sizeof name);
    if (named >= 0) unlink(name);
    return named;
}

// The commit of a file with several hard links: the complete new contents (in the
// temporary `fresh`) are copied into the file in place, after a copy of its old
// contents has been made; a failed copy puts them back. 0 or the error of the copy.
int CopyInPlace(SafeOutput* o, int fresh) {
    ProcessHoldOutput();
    int error = 0;
    const int old = AnonymousBeside(o->path);
    if (old < 0 || !CopyOver(o->inPlaceFd, old, false)) {
        // The file was not touched: only the commit fails.
        error = errno ? errno : EIO;
    } else if (!CopyOver(fresh, o->inPlaceFd, true)) {
        error = errno ? errno : EIO;
        if (CopyOver(old, o->inPlaceFd, true)) {
            o->undo = SAFE_UNDO_RESTORED;
        } else {
            // Not even the old contents fit back: they are given a name rather than lost.
            const int kept = MakeBeside(o->path, "keep", o->keep, sizeof o->keep);
            const bool saved = kept >= 0 && CopyOver(old, kept, true);
            if (kept >= 0) close(kept);
            if (!saved && o->keep[0] != '\0') unlink(o->keep);
            if (!saved) o->keep[0] = '\0';
            o->undo = saved ? SAFE_UNDO_KEPT : SAFE_UNDO_LOST;
        }
    }
    if (old >= 0) close(old);
    ProcessReleaseOutput();
    return error;
}

}  // namespace

int CheckOutputTarget(const char* name, bool devicesInPlace, char* path, size_t room, bool* exists, struct stat* st,
                      FileFailure* failure) {
    *exists = false;
    if (name == nullptr || name[0] == '\0') return OpenFailed(failure, ENOENT);
    // The path is walked one name at a time, as the kernel does: `done` is the part
    // resolved so far (real folders only, ending in '/', or empty for the current
    // folder) and `rest` what is still to walk, a link's text put in front of it.
    std::string done = name[0] == '/' ? "/" : "";
    std::string rest = name;
    std::string current;
    int links = 0;
    bool throughLink = false;   // the last name came from a link's text
    bool folderWanted = false;  // the path ends in '/'
    for (;;) {
        const size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            // Nothing (more) to walk: "/" itself, or a name ending in '/' at its folder.
            current = done.empty() ? "." : done;
            if (lstat(current.c_str(), st) != 0) return OpenFailed(failure, errno);
            *exists = true;
            break;
        }
        const size_t end = rest.find('/', start);
        const std::string part = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        rest = end == std::string::npos ? std::string() : rest.substr(end);
        const bool last = rest.find_first_not_of('/') == std::string::npos;
        current = done + part;
        if (current.size() + rest.size() >= PATH_MAX) return OpenFailed(failure, ENAMETOOLONG);
        if (lstat(current.c_str(), st) != 0) {
            if (errno != ENOENT || !last) return OpenFailed(failure, errno);
            folderWanted = !rest.empty();
            break;  // a new file (also at the end of a dangling link)
        }
        if (S_ISLNK(st->st_mode)) {
            if (!MayFollow(current, *st)) return Refuse(failure, LINK_PLANTED, current.c_str(), 0);
            if (++links > 40) return OpenFailed(failure, ELOOP);
            char target[PATH_MAX];
            const ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
            if (n < 0) return OpenFailed(failure, errno);
            if (n == 0) return OpenFailed(failure, ENOENT);
            target[n] = '\0';
            if (last) throughLink = true;
            // A relative link is relative to the folder the link is in.
            if (target[0] == '/') done = "/";
            rest.insert(0, target, static_cast<size_t>(n));
            continue;
        }
        if (last) {
            *exists = true;
            folderWanted = !rest.empty();
            break;
        }
        if (!S_ISDIR(st->st_mode)) return OpenFailed(failure, ENOTDIR);
        done = current + "/";
    }
    if (folderWanted && (!*exists || !S_ISDIR(st->st_mode))) return OpenFailed(failure, *exists ? ENOTDIR : EISDIR);
    if (*exists && !S_ISREG(st->st_mode)) {
        if (throughLink) return Refuse(failure, LINK_NOT_REGULAR, name, st->st_mode);
        if (!devicesInPlace || !(S_ISCHR(st->st_mode) || S_ISFIFO(st->st_mode))) {
            NoteKind(failure, st->st_mode);
            return FILE_NOT_REGULAR;
        }
    }
    if (*exists && access(current.c_str(), W_OK) != 0) return OpenFailed(failure, errno);
    if (current.size() + 1 > room) return OpenFailed(failure, ENAMETOOLONG);
    std::memcpy(path, current.c_str(), current.size() + 1);
    return FILE_READ_OK;
}

int SafeOutputOpen(SafeOutput* o, const char* name, SafeOutputMode mode, FileFailure* failure, bool devicesInPlace) {
    struct stat st {};
    bool exists = false;
    const int started = SafeOutputStart(o, name, mode, failure, devicesInPlace, &exists, &st);
    if (started != FILE_READ_OK) return started;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe is written in place (a rename would replace it). Opened
        // without blocking: a FIFO nobody reads fails at once instead of hanging.
        const int fd = open(o->path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
        if (fd < 0) return OpenFailed(failure, errno);
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        o->file = fdopen(fd, "wb");
        if (o->file == nullptr) {
            const int error = errno;
            close(fd);
            return OpenFailed(failure, error);
        }
        o->direct = true;
        return FILE_READ_OK;
    }

    if (mode == SAFE_APPEND) {
        // Every link was resolved above: the name itself is never followed again. A new
        // file is made here and now (never one that appeared meanwhile, which a failure
        // would remove).
        const int fd = open(
            o->path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | (exists ? 0 : O_CREAT | O_EXCL), 0666);
        if (fd < 0) return OpenFailed(failure, errno);
        struct stat now {};
        if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) ||
            (exists && (now.st_ino != st.st_ino || now.st_dev != st.st_dev))) {
            const int error = errno ? errno : EAGAIN;  // changed while it was looked at
            close(fd);
            return OpenFailed(failure, error);
        }
        o->oldLength = exists ? static_cast<int64_t>(now.st_size) : -1;
        // A signal or an exit before commit cuts it back, or removes the new file.
        if (exists) ProcessSetCutBack(fd, now.st_size);
        else ProcessSetTemporary(o->path);
        o->file = fdopen(fd, "ab");
        if (o->file == nullptr) {
            const int error = errno;
            ProcessClearCutBack(fd);
            close(fd);
            if (!exists) {
                unlink(o->path);
                ProcessClearTemporary(o->path);
            }
            return OpenFailed(failure, error);
        }
        return FILE_READ_OK;
    }

    if (exists && st.st_nlink > 1) {
        // Every name of the file must see the new image, so it is written in place at
        // commit. Opened now (to read the old contents then, and to be sure it is the
        // file that was checked) but not touched before the new image is complete.
        const int fd = open(o->path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return OpenFailed(failure, errno);
        struct stat now {};
        if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            close(fd);
            return OpenFailed(failure, EAGAIN);  // changed while it was looked at
        }
        o->inPlaceFd = fd;
    }

    // Create and replace: a temporary file beside the final one (same file system for
    // the rename; for a file written in place, where the new image waits).
    const int fd = MakeBeside(o->path, "write", o->temp, sizeof o->temp);
    if (fd < 0) {
        const int error = errno;
        SafeOutputAbandon(o);
        return OpenFailed(failure, error);
    }
    ProcessSetTemporary(o->temp);  // a signal or an exit before commit removes it
    // The new file keeps the old one's owner and permissions, or gets those of a new
    // file. (Written in place, the file keeps its own; the temporary stays private.)
    if (exists && o->inPlaceFd < 0) TakeOwnerAndMode(fd, st);
    else if (!exists) fchmod(fd, NewFileMode());
    o->file = fdopen(fd, "wb");
    if (o->file == nullptr) {
        const int error = errno;
        close(fd);
        SafeOutputAbandon(o);
        return OpenFailed(failure, error);
    }
    return FILE_READ_OK;
}

unsigned long SafeOutputCommit(SafeOutput* o) {
    if (o->file == nullptr) return EBADF;
    int error = 0;
    if (std::fflush(o->file) != 0) error = errno ? errno : EIO;
    // The temporary of a file written in place is only read back: the file is synced.
    if (error == 0 && !o->direct && o->inPlaceFd < 0 && !SyncFile(fileno(o->file))) error = errno;
    if (error == 0 && o->inPlaceFd >= 0) error = CopyInPlace(o, fileno(o->file));
    if (error != 0) {
        SafeOutputAbandon(o);
        return static_cast<unsigned long>(error);
    }
    if (o->mode == SAFE_APPEND) {
        // Complete: no longer cut back or removed on the way out.
        ProcessClearCutBack(fileno(o->file));
        ProcessClearTemporary(o->path);
    }
    // Stop the abandon below from closing the stream a second time.
    FILE* f = o->file;
    o->file = nullptr;
    if (std::fclose(f) != 0) error = errno ? errno : EIO;
    if (error == 0 && o->temp[0] != '\0') {
        if (o->inPlaceFd >= 0) {
            unlink(o->temp);  // copied into the file
        } else if (o->mode == SAFE_CREATE) {
            // Never over a file that appeared meanwhile.
            if (link(o->temp, o->path) == 0) {
                unlink(o->temp);
            } else if (errno == EEXIST) {
                error = EEXIST;
            } else {
                // A file system without hard links: check, then rename.
                struct stat st {};
                if (lstat(o->path, &st) == 0) error = EEXIST;
                else if (rename(o->temp, o->path) != 0) error = errno;
            }
        } else if (rename(o->temp, o->path) != 0) {
            error = errno;
        }
        if (error == 0) {
            ProcessClearTemporary(o->temp);
            o->temp[0] = '\0';
        }
    }
    if (error != 0) {
        SafeOutputAbandon(o);
        return static_cast<unsigned long>(error);
    }
    CloseInPlace(o);
    return 0;
}

void SafeOutputAbandon(SafeOutput* o) {
    const bool appended = o->mode == SAFE_APPEND && !o->direct && o->path[0] != '\0';
    if (o->file != nullptr) {
        const int fd = fileno(o->file);
        if (appended) {
            // What the stream still holds never reaches the file; the cut comes before
            // the registration that would otherwise make it on the way out goes.
            __fpurge(o->file);
            if (o->oldLength >= 0 && ftruncate(fd, static_cast<off_t>(o->oldLength)) != 0) {
                // Nothing more to do: the failure of the write has been reported already.
            }
            ProcessClearCutBack(fd);
        }
        std::fclose(o->file);
        o->file = nullptr;
    } else if (appended && o->oldLength >= 0) {
        // Closed already (a failed close at commit): cut back by name.
        if (truncate(o->path, static_cast<off_t>(o->oldLength)) != 0) {
            // As above.
        }
    }
    if (appended && o->oldLength < 0) {
        unlink(o->path);
        ProcessClearTemporary(o->path);
    }
    CloseInPlace(o);
    if (o->temp[0] != '\0') {
        unlink(o->temp);
        ProcessClearTemporary(o->temp);
        o->temp[0] = '\0';
    }
}

FILE* OpenLogFile(const char* name, int* result, FileFailure* failure) {
    char path[4096];
    bool exists = false;
    struct stat st {};
    *result = CheckOutputTarget(name, false, path, sizeof path, &exists, &st, failure);
    if (*result != FILE_READ_OK) return nullptr;
    // Without blocking, and checked again once open: a FIFO that took the name
    // meanwhile is refused, not waited on.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        *result = OpenFailed(failure, errno);
        return nullptr;
    }
    struct stat now {};
    if (fstat(fd, &now) != 0) {
        *result = OpenFailed(failure, errno);
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(now.st_mode)) {
        NoteKind(failure, now.st_mode);
        *result = FILE_NOT_REGULAR;
        close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) {
        *result = OpenFailed(failure, errno);
        close(fd);
    }
    return f;
}

unsigned long WriteAllFlushed(std::FILE* file, const void* bytes, size_t size) {
    errno = 0;
    if (std::fwrite(bytes, 1, size, file) == size && std::fflush(file) == 0) return 0;
    return errno ? static_cast<unsigned long>(errno) : EIO;
}

void SyncFolderOf(const char* path) {
    const std::string folder = FolderOf(path);
    const int dfd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}
