#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool Copy(char* to, size_t room, const char* from) {
    const size_t n = std::strlen(from);
    if (n >= room) return false;
    std::memcpy(to, from, n + 1);
    return true;
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

int SafeOutputOpen(SafeOutput* o, const char* name, SafeOutputMode mode, FileFailure* failure) {
    Clear(o);
    o->mode = mode;
    o->oldLength = -1;
    o->direct = false;
    if (!Copy(o->path, sizeof o->path, name)) {
        failure->error = ENAMETOOLONG;
        return FILE_OPEN_FAILED;
    }
    struct stat st {};
    const bool exists = stat(name, &st) == 0;
    if (exists && mode == SAFE_CREATE) {
        failure->error = EEXIST;
        return FILE_OPEN_FAILED;
    }
    if (exists && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        // A device or a pipe is written in place (a rename would replace it). Opened
        // without blocking: a FIFO nobody reads fails at once instead of hanging.
        const int fd = open(name, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            failure->error = static_cast<unsigned long>(errno);
            return FILE_OPEN_FAILED;
        }
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        o->file = fdopen(fd, "wb");
        if (o->file == nullptr) {
            failure->error = static_cast<unsigned long>(errno);
            close(fd);
            return FILE_OPEN_FAILED;
        }
        o->direct = true;
        return FILE_READ_OK;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        failure->kind = KindOf(st.st_mode);
        return FILE_NOT_REGULAR;
    }
    // Replace the file a symbolic link points to, not the link.
    if (exists) {
        char real[PATH_MAX];
        if (realpath(name, real) != nullptr) Copy(o->path, sizeof o->path, real);
    }

    if (mode == SAFE_APPEND) {
        const int fd = open(o->path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            failure->error = static_cast<unsigned long>(errno);
            return FILE_OPEN_FAILED;
        }
        struct stat now {};
        if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) {
            failure->error = static_cast<unsigned long>(errno ? errno : EINVAL);
            close(fd);
            return FILE_OPEN_FAILED;
        }
        o->oldLength = exists ? static_cast<int64_t>(now.st_size) : -1;
        o->file = fdopen(fd, "ab");
        if (o->file == nullptr) {
            failure->error = static_cast<unsigned long>(errno);
            close(fd);
            return FILE_OPEN_FAILED;
        }
        return FILE_READ_OK;
    }

    // Create and replace: a temporary file beside the final one.
    const char* slash = std::strrchr(o->path, '/');
    const size_t dirLength = slash ? static_cast<size_t>(slash - o->path + 1) : 0;
    static const char kPattern[] = ".pelmo-write-XXXXXX";
    if (dirLength + sizeof kPattern > sizeof o->temp) {
        failure->error = ENAMETOOLONG;
        return FILE_OPEN_FAILED;
    }
    std::memcpy(o->temp, o->path, dirLength);
    std::memcpy(o->temp + dirLength, kPattern, sizeof kPattern);
    const int fd = mkostemp(o->temp, O_CLOEXEC);
    if (fd < 0) {
        failure->error = static_cast<unsigned long>(errno);
        o->temp[0] = '\0';
        return FILE_OPEN_FAILED;
    }
    ProcessSetTemporary(o->temp);  // a signal or an exit before commit removes it
    // The new file keeps the old one's permissions, or gets those of a new file.
    fchmod(fd, exists ? (st.st_mode & 07777) : NewFileMode());
    o->file = fdopen(fd, "wb");
    if (o->file == nullptr) {
        failure->error = static_cast<unsigned long>(errno);
        close(fd);
        unlink(o->temp);
        ProcessClearTemporary(o->temp);
        o->temp[0] = '\0';
        return FILE_OPEN_FAILED;
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
    if (o->temp[0] != '\0') {
        unlink(o->temp);
        ProcessClearTemporary(o->temp);
        o->temp[0] = '\0';
    }
}
