// Files on Windows: names are the programs' single-byte strings (the ANSI code page),
// opened through their wide form. A file is regular when GetFileType calls it a disk
// file; the safe write goes to a temporary beside the target, flushed with
// FlushFileBuffers, and is put in place with MoveFileExW (write-through). Error codes
// are Win32 codes, their texts FormatMessageA's.
#include "platform/files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files_internal.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace {

std::wstring Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

constexpr const char* kWords[] = {
    "", "a FIFO", "a socket", "a character device", "a block device", "a directory", "not a plain file"};

void NoteType(FileFailure* failure, int type) {
    failure->type = type;
    failure->kind = kWords[type];
}

// What GetFileType says stands there, as our type (FILE_TYPE_NONE for a disk file).
int TypeOfHandle(HANDLE h) {
    switch (GetFileType(h)) {
    case FILE_TYPE_DISK: return FILE_TYPE_NONE;
    case FILE_TYPE_CHAR: return FILE_TYPE_CHARACTER_DEVICE;
    case FILE_TYPE_PIPE: return FILE_TYPE_FIFO;
    default: return FILE_TYPE_OTHER;
    }
}

bool IsFolder(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens for reading only a regular file: a folder, a device or a pipe is refused
// (a pipe is opened without waiting for a writer: CreateFileW never waits).
int OpenRegular(const char* path, HANDLE* handle, FileFailure* failure) {
    *handle = INVALID_HANDLE_VALUE;
    const std::wstring wide = Wide(path);
    if (IsFolder(wide)) {
        NoteType(failure, FILE_TYPE_DIRECTORY);
        return FILE_NOT_REGULAR;
    }
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        failure->error = GetLastError();
        return FILE_OPEN_FAILED;
    }
    const int type = TypeOfHandle(h);
    if (type != FILE_TYPE_NONE) {
        NoteType(failure, type);
        CloseHandle(h);
        return FILE_NOT_REGULAR;
    }
    *handle = h;
    return FILE_READ_OK;
}

// A stream over the handle (which it then owns), or null with the handle closed.
FILE* StreamOf(HANDLE h, int flags, const char* mode) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = _fdopen(fd, mode);
    if (f == nullptr) _close(fd);
    return f;
}

HANDLE HandleOf(FILE* f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))); }

int OpenFailed(FileFailure* failure, unsigned long error) {
    failure->error = error;
    return FILE_OPEN_FAILED;
}

// The folder part of a path with its separator, or "" for a name in the current folder.
std::string FolderOf(const std::string& path) {
    const size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A new file beside `path`: "<folder>.pelmo-<what>-<unique>", made here and now.
HANDLE MakeBeside(const char* path, const char* what, char* temp, size_t room, DWORD* error) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char unique[32];
        std::snprintf(unique, sizeof unique, "%lx%lx", GetCurrentProcessId(), ++counter * 7919ul + GetTickCount());
        const std::string name = FolderOf(path) + ".pelmo-" + what + "-" + unique;
        if (name.size() + 1 > room) {
            *error = ERROR_FILENAME_EXCED_RANGE;
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h = CreateFileW(Wide(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            std::memcpy(temp, name.c_str(), name.size() + 1);
            return h;
        }
        *error = GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) break;
    }
    temp[0] = '\0';
    return INVALID_HANDLE_VALUE;
}

bool CutTo(HANDLE h, int64_t length) {
    LARGE_INTEGER at;
    at.QuadPart = length;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

}  // namespace

int ReadRegularFile(const char* path, uint64_t maxSize, uint32_t extra, uint8_t** bytes, uint32_t* size,
                    FileFailure* failure) {
    *bytes = nullptr;
    *size = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    const int opened = OpenRegular(path, &h, failure);
    if (opened != FILE_READ_OK) return opened;
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(h, &length)) {
        failure->error = GetLastError();
        CloseHandle(h);
        return FILE_READ_FAILED;
    }
    if (length.QuadPart <= 0) {
        CloseHandle(h);
        return FILE_EMPTY;
    }
    const uint64_t want64 = static_cast<uint64_t>(length.QuadPart);
    if (want64 > maxSize || want64 + extra > SIZE_MAX || want64 > UINT32_MAX) {
        CloseHandle(h);
        return FILE_TOO_BIG;
    }
    const size_t want = static_cast<size_t>(want64);
    uint8_t* block = static_cast<uint8_t*>(std::malloc(want + extra));
    if (block == nullptr) {
        CloseHandle(h);
        return FILE_NO_MEMORY;
    }
    size_t got = 0;
    DWORD error = 0;
    while (got < want) {
        const size_t left = want - got;
        const DWORD piece = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!ReadFile(h, block + got, piece, &n, nullptr)) {
            error = GetLastError();
            break;
        }
        if (n == 0) break;
        got += n;
    }
    CloseHandle(h);
    if (got < want) {
        std::free(block);
        failure->error = error ? error : ERROR_HANDLE_EOF;
        return FILE_READ_FAILED;
    }
    *bytes = block;
    *size = static_cast<uint32_t>(want);
    return FILE_READ_OK;
}

FILE* OpenRegularFile(const char* path, int* result, FileFailure* failure) {
    HANDLE h = INVALID_HANDLE_VALUE;
    *result = OpenRegular(path, &h, failure);
    if (*result != FILE_READ_OK) return nullptr;
    FILE* f = StreamOf(h, _O_RDONLY | _O_BINARY, "rb");
    if (f == nullptr) {
        failure->error = ERROR_TOO_MANY_OPEN_FILES;
        *result = FILE_OPEN_FAILED;
    }
    return f;
}

bool FileExists(const char* path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

unsigned long FileReadableError(const char* path) {
    const std::wstring wide = Wide(path);
    if (IsFolder(wide)) return 0;
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return 0;
}

const char* FileFailureText(int result, const FileFailure& failure) {
    static char text[4096 + 120];
    if (result == FILE_NOT_REGULAR) return NotRegularFileText(failure);
    if (result == FILE_LINK_REFUSED) {
        std::snprintf(text, sizeof text, "%s is a link to %s, not to a regular file", failure.link, failure.kind);
        return text;
    }
    return SystemErrorText(failure.error ? failure.error : ERROR_GEN_FAILURE);
}

// Windows has no shared sticky folders: the rules of links in them do not arise, and
// the name is written as it is given. What stands there is classified as on POSIX.
int CheckOutputTarget(const char* name, bool devicesInPlace, char* path, size_t room, bool* exists, struct stat* st,
                      FileFailure* failure) {
    *exists = false;
    std::memset(st, 0, sizeof *st);
    if (name == nullptr || name[0] == '\0') return OpenFailed(failure, ERROR_FILE_NOT_FOUND);
    const std::wstring wide = Wide(name);
    const size_t length = std::strlen(name);
    const bool folderWanted = name[length - 1] == '\\' || name[length - 1] == '/';
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND && !folderWanted) {
            if (length + 1 > room) return OpenFailed(failure, ERROR_FILENAME_EXCED_RANGE);
            std::memcpy(path, name, length + 1);
            return FILE_READ_OK;  // a new file
        }
        // A device name (NUL, COM1) has no attributes on every system: open it to see.
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OpenFailed(failure, error);
        const int type = TypeOfHandle(h);
        CloseHandle(h);
        if (type == FILE_TYPE_NONE) return OpenFailed(failure, error);
        *exists = true;
        st->st_mode = type == FILE_TYPE_FIFO ? _S_IFIFO : _S_IFCHR;
        if (!devicesInPlace) {
            NoteType(failure, type);
            return FILE_NOT_REGULAR;
        }
    } else {
        *exists = true;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            st->st_mode = _S_IFDIR;
            NoteType(failure, FILE_TYPE_DIRECTORY);
            return FILE_NOT_REGULAR;
        }
        if (folderWanted) return OpenFailed(failure, ERROR_DIRECTORY);
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OpenFailed(failure, GetLastError());
        const int type = TypeOfHandle(h);
        LARGE_INTEGER size{};
        GetFileSizeEx(h, &size);
        CloseHandle(h);
        if (type != FILE_TYPE_NONE) {
            st->st_mode = type == FILE_TYPE_FIFO ? _S_IFIFO : _S_IFCHR;
            if (!devicesInPlace || (type != FILE_TYPE_CHARACTER_DEVICE && type != FILE_TYPE_FIFO)) {
                NoteType(failure, type);
                return FILE_NOT_REGULAR;
            }
        } else {
            st->st_mode = _S_IFREG;
            st->st_size = static_cast<decltype(st->st_size)>(size.QuadPart);
            st->st_nlink = 1;
        }
    }
    if (length + 1 > room) return OpenFailed(failure, ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(path, name, length + 1);
    return FILE_READ_OK;
}

int SafeOutputOpen(SafeOutput* o, const char* name, SafeOutputMode mode, FileFailure* failure, bool devicesInPlace) {
    struct stat st {};
    bool exists = false;
    const int started = SafeOutputStart(o, name, mode, failure, devicesInPlace, &exists, &st);
    if (started != FILE_READ_OK) return started;
    const std::wstring wide = Wide(o->path);
    if (exists && (st.st_mode & _S_IFMT) != _S_IFREG) {
        // A device or a pipe is written in place (a rename would replace nothing).
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OpenFailed(failure, GetLastError());
        o->file = StreamOf(h, _O_WRONLY | _O_BINARY, "wb");
        if (o->file == nullptr) return OpenFailed(failure, ERROR_TOO_MANY_OPEN_FILES);
        o->direct = true;
        return FILE_READ_OK;
    }

    if (mode == SAFE_APPEND) {
        // A new file is made here and now (never one that appeared meanwhile, which a
        // failure would remove).
        HANDLE h = CreateFileW(wide.c_str(), FILE_APPEND_DATA | GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               exists ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OpenFailed(failure, GetLastError());
        LARGE_INTEGER size{};
        if (TypeOfHandle(h) != FILE_TYPE_NONE || !GetFileSizeEx(h, &size)) {
            CloseHandle(h);
            return OpenFailed(failure, ERROR_INVALID_HANDLE);  // changed while it was looked at
        }
        o->oldLength = exists ? static_cast<int64_t>(size.QuadPart) : -1;
        o->file = StreamOf(h, _O_WRONLY | _O_APPEND | _O_BINARY, "ab");
        if (o->file == nullptr) {
            if (!exists) DeleteFileW(wide.c_str());
            return OpenFailed(failure, ERROR_TOO_MANY_OPEN_FILES);
        }
        // An ending event or an exit before commit cuts it back, or removes the new file.
        if (exists) ProcessSetCutBack(_fileno(o->file), size.QuadPart);
        else ProcessSetTemporary(o->path);
        return FILE_READ_OK;
    }

    // Create and replace: a temporary file beside the final one (same volume for the move).
    DWORD error = 0;
    HANDLE h = MakeBeside(o->path, "write", o->temp, sizeof o->temp, &error);
    if (h == INVALID_HANDLE_VALUE) {
        SafeOutputAbandon(o);
        return OpenFailed(failure, error);
    }
    ProcessSetTemporary(o->temp);  // an ending event or an exit before commit removes it
    o->file = StreamOf(h, _O_WRONLY | _O_BINARY, "wb");
    if (o->file == nullptr) {
        SafeOutputAbandon(o);
        return OpenFailed(failure, ERROR_TOO_MANY_OPEN_FILES);
    }
    return FILE_READ_OK;
}

unsigned long SafeOutputCommit(SafeOutput* o) {
    if (o->file == nullptr) return ERROR_INVALID_HANDLE;
    unsigned long error = 0;
    if (std::fflush(o->file) != 0) error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    if (error == 0 && !o->direct && !FlushFileBuffers(HandleOf(o->file))) error = GetLastError();
    if (error != 0) {
        SafeOutputAbandon(o);
        return error;
    }
    if (o->mode == SAFE_APPEND) {
        // Complete: no longer cut back or removed on the way out.
        ProcessClearCutBack(_fileno(o->file));
        ProcessClearTemporary(o->path);
    }
    FILE* f = o->file;
    o->file = nullptr;
    if (std::fclose(f) != 0) error = ERROR_WRITE_FAULT;
    if (error == 0 && o->temp[0] != '\0') {
        // Create never replaces a file that appeared meanwhile; replace does, in one step
        // that has reached the disk when it returns.
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (o->mode == SAFE_CREATE ? 0 : MOVEFILE_REPLACE_EXISTING);
        if (!MoveFileExW(Wide(o->temp).c_str(), Wide(o->path).c_str(), flags)) error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) error = ERROR_FILE_EXISTS;
        if (error == 0) {
            ProcessClearTemporary(o->temp);
            o->temp[0] = '\0';
        }
    }
    if (error != 0) {
        SafeOutputAbandon(o);
        return error;
    }
    return 0;
}

void SafeOutputAbandon(SafeOutput* o) {
    const bool appended = o->mode == SAFE_APPEND && !o->direct && o->path[0] != '\0';
    if (o->file != nullptr) {
        if (appended) {
            // What the stream still holds goes out first and is then cut off with the
            // rest (the C runtime has no way to drop it).
            std::fflush(o->file);
            if (o->oldLength >= 0) CutTo(HandleOf(o->file), o->oldLength);
            ProcessClearCutBack(_fileno(o->file));
        }
        std::fclose(o->file);
        o->file = nullptr;
    } else if (appended && o->oldLength >= 0) {
        // Closed already (a failed close at commit): cut back by name.
        HANDLE h = CreateFileW(Wide(o->path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CutTo(h, o->oldLength);
            CloseHandle(h);
        }
    }
    if (appended && o->oldLength < 0) {
        DeleteFileW(Wide(o->path).c_str());
        ProcessClearTemporary(o->path);
    }
    if (o->temp[0] != '\0') {
        DeleteFileW(Wide(o->temp).c_str());
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
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *result = OpenFailed(failure, GetLastError());
        return nullptr;
    }
    // Checked again once open: something other than a file that took the name meanwhile is refused.
    if (const int type = TypeOfHandle(h); type != FILE_TYPE_NONE) {
        NoteType(failure, type);
        *result = FILE_NOT_REGULAR;
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = StreamOf(h, _O_WRONLY | _O_APPEND, "a");
    if (f == nullptr) *result = OpenFailed(failure, ERROR_TOO_MANY_OPEN_FILES);
    return f;
}

unsigned long WriteAllFlushed(std::FILE* file, const void* bytes, size_t size) {
    SetLastError(0);
    if (std::fwrite(bytes, 1, size, file) == size && std::fflush(file) == 0) return 0;
    const DWORD error = GetLastError();
    return error ? error : ERROR_WRITE_FAULT;
}

// The move is written through: the folder needs no sync of its own.
void SyncFolderOf(const char*) {}
