#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISDIR(mode)) return "a directory";
    return "not a plain file";
}

// Opens without blocking (a FIFO without a writer would wait forever otherwise) and
// keeps the descriptor only for a regular file.
int OpenRegular(const char* path, int* fd, struct stat* st, FileFailure* failure) {
    *fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (*fd < 0) {
        failure->error = static_cast<unsigned long>(errno);
        // A socket cannot be opened at all: say what it is rather than why open failed.
        if (stat(path, st) == 0 && !S_ISREG(st->st_mode)) {
            failure->kind = KindOf(st->st_mode);
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
        failure->kind = KindOf(st->st_mode);
        close(*fd);
        *fd = -1;
        return FILE_NOT_REGULAR;
    }
    // O_NONBLOCK means nothing for a regular file: reads wait for the disk as always.
    return FILE_READ_OK;
}

void Clear(SafeOutput* o) {
    o->file = nullptr;
    o->temp[0] = '\0';
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
    uint8_t* block = static_cast<uint8_t*>(std::malloc(want + extra));
    if (block == nullptr) {
        close(fd);
        return FILE_NO_MEMORY;
    }
    size_t got = 0;
    int error = 0;
    while (got < want) {
        const ssize_t n = read(fd, block + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got < want) {
        std::free(block);
        failure->error = static_cast<unsigned long>(error ? error : EIO);
        return FILE_READ_FAILED;
    }
    *bytes = block;
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

const char* NotRegularFileText(const FileFailure& failure) {
    static char text[80];
    std::snprintf(text, sizeof text, "Is %s, not a regular file", failure.kind);
    return text;
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

int Refuse(FileFailure* failure, int refusal, const char* link, const char* kind) {
    failure->refusal = refusal;
    failure->kind = kind;
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

// Copies everything of `from` (from its start) over `to` (from its start, cut to the
// copied length) and syncs `to`. False with errno set on any failure.
bool CopyWhole(int from, int to) {
    if (lseek(from, 0, SEEK_SET) != 0 || lseek(to, 0, SEEK_SET) != 0 || ftruncate(to, 0) != 0) return false;
    char block[65536];
    for (;;) {
        const ssize_t n = read(from, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (!WriteAll(to, block, static_cast<size_t>(n))) return false;
    }
    return fsync(to) == 0 || errno == EINVAL || errno == EROFS;
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

}  // namespace

int CheckOutputTarget(const char* name, bool devicesInPlace, char* path, size_t room, bool* exists, struct stat* st,
                      FileFailure* failure) {
    *exists = false;
    if (name == nullptr || name[0] == '\0') return OpenFailed(failure, ENOENT);
    std::string current = name;
    int links = 0;
    for (;;) {
        if (lstat(current.c_str(), st) != 0) {
            if (errno != ENOENT) return OpenFailed(failure, errno);
            break;  // a new file (also at the end of a dangling link)
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = true;
            break;
        }
        if (!MayFollow(current, *st)) return Refuse(failure, LINK_PLANTED, current.c_str(), "");
        if (++links > 40) return OpenFailed(failure, ELOOP);
        char target[PATH_MAX];
        const ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
        if (n < 0) return OpenFailed(failure, errno);
        target[n] = '\0';
        // A relative link is relative to the folder the link is in.
        current = target[0] == '/' ? std::string(target) : FolderOf(current) + target;
    }
    if (*exists && !S_ISREG(st->st_mode)) {
        if (links > 0) return Refuse(failure, LINK_NOT_REGULAR, name, KindOf(st->st_mode));
        if (!devicesInPlace || !(S_ISCHR(st->st_mode) || S_ISFIFO(st->st_mode))) {
            failure->kind = KindOf(st->st_mode);
            return FILE_NOT_REGULAR;
        }
    }
    if (*exists && access(current.c_str(), W_OK) != 0) return OpenFailed(failure, errno);
    if (current.size() + 1 > room) return OpenFailed(failure, ENAMETOOLONG);
    std::memcpy(path, current.c_str(), current.size() + 1);
    return FILE_READ_OK;
}

int SafeOutputOpen(SafeOutput* o, const char* name, SafeOutputMode mode, FileFailure* failure, bool devicesInPlace) {
    Clear(o);
    o->mode = mode;
    o->oldLength = -1;
    o->direct = false;
    o->keep[0] = '\0';
    o->keepFd = -1;
    o->path[0] = '\0';
    struct stat st {};
    bool exists = false;
    const int checked = CheckOutputTarget(name, devicesInPlace, o->path, sizeof o->path, &exists, &st, failure);
    if (checked != FILE_READ_OK) {
        o->path[0] = '\0';
        return checked;
    }
    if (exists && mode == SAFE_CREATE) {
        o->path[0] = '\0';
        return OpenFailed(failure, EEXIST);
    }
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
        // The last link was resolved above: the name itself is never followed again.
        const int fd = open(o->path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0) return OpenFailed(failure, errno);
        struct stat now {};
        if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) {
            const int error = errno ? errno : EINVAL;
            close(fd);
            return OpenFailed(failure, error);
        }
        o->oldLength = exists ? static_cast<int64_t>(now.st_size) : -1;
        o->file = fdopen(fd, "ab");
        if (o->file == nullptr) {
            const int error = errno;
            close(fd);
            return OpenFailed(failure, error);
        }
        return FILE_READ_OK;
    }

    if (exists && st.st_nlink > 1) {
        // Every name of the file must see the new image: written in place, after a
        // complete copy of the old contents has been made beside it.
        const int fd = open(o->path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
        if (fd < 0) return OpenFailed(failure, errno);
        struct stat now {};
        if (fstat(fd, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            close(fd);
            return OpenFailed(failure, EAGAIN);  // changed while it was looked at
        }
        // A second descriptor puts the copy back after the stream has been closed.
        o->keepFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        const int keep = o->keepFd < 0 ? -1 : MakeBeside(o->path, "keep", o->keep, sizeof o->keep);
        if (keep < 0) {
            const int error = errno;
            close(fd);
            SafeOutputAbandon(o);
            return OpenFailed(failure, error);
        }
        const bool copied = CopyWhole(fd, keep);
        int error = errno;
        if (close(keep) != 0 && copied) error = errno;
        if (!copied) {
            // Nothing of the file was touched: only the partial copy goes.
            unlink(o->keep);
            o->keep[0] = '\0';
            close(fd);
            SafeOutputAbandon(o);
            return OpenFailed(failure, error);
        }
        o->file = ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "wb") : nullptr;
        if (o->file == nullptr) {
            error = errno;
            close(fd);
            SafeOutputAbandon(o);
            return OpenFailed(failure, error);
        }
        return FILE_READ_OK;
    }

    // Create and replace: a temporary file beside the final one (same file system for
    // the rename).
    const int fd = MakeBeside(o->path, "write", o->temp, sizeof o->temp);
    if (fd < 0) return OpenFailed(failure, errno);
    ProcessSetTemporary(o->temp);  // a signal or an exit before commit removes it
    // The new file keeps the old one's owner and permissions, or gets those of a new file.
    if (exists)
        TakeOwnerAndMode(fd, st);
    else
        fchmod(fd, NewFileMode());
    o->file = fdopen(fd, "wb");
    if (o->file == nullptr) {
        const int error = errno;
        close(fd);
        unlink(o->temp);
        ProcessClearTemporary(o->temp);
        o->temp[0] = '\0';
        return OpenFailed(failure, error);
    }
    return FILE_READ_OK;
}

unsigned long SafeOutputCommit(SafeOutput* o) {
    if (o->file == nullptr) return EBADF;
    int error = 0;
    if (std::fflush(o->file) != 0) error = errno ? errno : EIO;
    if (error == 0 && !o->direct && fsync(fileno(o->file)) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    // Stop the abandon below from closing the stream a second time.
    FILE* f = o->file;
    o->file = nullptr;
    if (std::fclose(f) != 0 && error == 0) error = errno ? errno : EIO;
    if (error == 0 && o->temp[0] != '\0') {
        if (o->mode == SAFE_CREATE) {
            // Never over a file that appeared meanwhile.
            if (link(o->temp, o->path) == 0) {
                unlink(o->temp);
            } else if (errno == EEXIST) {
                error = EEXIST;
            } else {
                // A file system without hard links: check, then rename.
                struct stat st {};
                if (lstat(o->path, &st) == 0)
                    error = EEXIST;
                else if (rename(o->temp, o->path) != 0)
                    error = errno;
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
    if (o->keep[0] != '\0') {
        unlink(o->keep);
        o->keep[0] = '\0';
    }
    if (o->keepFd >= 0) {
        close(o->keepFd);
        o->keepFd = -1;
    }
    return 0;
}

void SafeOutputAbandon(SafeOutput* o) {
    if (o->file != nullptr) {
        std::fclose(o->file);
        o->file = nullptr;
    }
    if (o->mode == SAFE_APPEND && !o->direct && o->path[0] != '\0') {
        // Cut back after the close, so no data still in the stream lands after the cut.
        if (o->oldLength >= 0) {
            if (truncate(o->path, static_cast<off_t>(o->oldLength)) != 0) {
                // Nothing more to do: the failure of the write has been reported already.
            }
        } else {
            unlink(o->path);
        }
    }
    if (o->keep[0] != '\0') {
        // Written in place: the old contents go back; the copy stays on disk only when
        // they could not be put back.
        const int keep = open(o->keep, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        const bool restored = keep >= 0 && o->keepFd >= 0 && CopyWhole(keep, o->keepFd);
        if (keep >= 0) close(keep);
        if (restored) unlink(o->keep);
        o->keep[0] = '\0';
    }
    if (o->keepFd >= 0) {
        close(o->keepFd);
        o->keepFd = -1;
    }
    if (o->temp[0] != '\0') {
        unlink(o->temp);
        ProcessClearTemporary(o->temp);
        o->temp[0] = '\0';
    }
}
